// What no export does: listing the stores, finding one without creating it,
// and reading or writing a value's registry type and exact bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/kelmix/text.h"

namespace kx::cli {

struct RawValue {
  uint32_t type = 0;
  Bytes bytes;
};

// The stores under the product key, in the registry's order; an error code
// when the key cannot be read (none yet is an empty list).
int32_t list_stores(std::vector<WStr>* out);
// Whether the store exists, comparing names as the registry does (letter
// case ignored).
int32_t store_exists(const WStr& name, bool* exists);

// The longest names the registry takes, in UTF-16 units.
constexpr std::size_t kMaxValueNameUnits = 16383;
constexpr std::size_t kMaxKeyNameUnits = 255;  // a store is one key
// Why the registry would not keep name as given ("longer than ...: \"name\""),
// or nothing. A zero unit would end it early: another name would be written.
std::optional<std::string> name_refusal(const WStr& name, std::size_t max_units);
// Below, equal to or above 0 as the registry matches names: letter case
// aside, by its own table.
int compare_names(const WStr& a, const WStr& b);
struct NameLess {
  bool operator()(const WStr& a, const WStr& b) const { return compare_names(a, b) < 0; }
};

int32_t query_value(plat::Key key, const WStr& name, RawValue* out);
// Writes type and bytes exactly as given (a text type without terminator
// stays without one).
int32_t write_raw(plat::Key key, const WStr& name, const RawValue& value);

// How a value reads: as one of the library's three types, or only raw.
enum class Kind { kInt, kDouble, kString, kRaw };
// kString only for what KXString writes back identically: UTF-16 with every
// surrogate paired, one terminator at the end and no other zero unit.
Kind classify(const RawValue& value);
// The text of a kString value, without its terminator.
WStr text_of(const RawValue& value);
int32_t int_of(const RawValue& value);
uint64_t bits_of(const RawValue& value);
double double_of(const RawValue& value);

}  // namespace kx::cli
