// Looks at what really reached the registry, through the platform's own
// wide-character calls, independently of the library under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kx::test {

using WString = std::basic_string<kx::tchar>;

struct StoredValue {
  int32_t rc = 0;  // 0, or the query's error code
  uint32_t type = 0;
  std::vector<uint8_t> bytes;
};

// The value under Software\Kelmix\<store> (ASCII store names).
StoredValue stored(const std::string& store, const WString& name);
// Every value name of the store, in the registry's order.
std::vector<WString> stored_names(const std::string& store);
// The number of values in the store, or -1.
int stored_count(const std::string& store);
bool store_exists(const std::string& store);
// Writes a value directly, bypassing the library.
int32_t store_raw(const std::string& store, const WString& name, uint32_t type,
                  const std::vector<uint8_t>& bytes);

std::vector<uint8_t> bytes_of(std::initializer_list<int> list);

}  // namespace kx::test
