// The kelmix tool's readers of dumps (JSON) and registry files (.reg) on
// arbitrary bytes. Each gives values or a reason, never a crash; what it
// gives is only what the registry keeps as given, and written out again it
// reads back the same. Nothing here opens the registry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/kelmix/dump.h"
#include "tools/kelmix/regfile.h"

namespace {

using namespace kx::cli;

void require(bool ok) {
  if (!ok) std::abort();
}

bool same(const std::vector<NamedValue>& a, const std::vector<NamedValue>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value.type != b[i].value.type ||
        a[i].value.bytes != b[i].value.bytes) {
      return false;
    }
  }
  return true;
}

void dump(const std::string& bytes) {
  std::vector<NamedValue> values, again;
  std::string why;
  if (!from_json(bytes, &values, &why)) return require(!why.empty());
  for (const NamedValue& nv : values) require(!name_refusal(nv.name, kMaxValueNameUnits));
  require(from_json(to_json(WStr(), values), &again, &why) && same(values, again));
}

void reg(const std::string& bytes) {
  std::vector<RegSection> sections;
  RegError error;
  if (!from_reg(bytes, &sections, &error)) return require(error.line > 0 && !error.reason.empty());
  const WStr key = *widen("HKEY_CURRENT_USER\\Software\\Kelmix\\fuzz");
  for (const RegSection& s : sections) {
    std::vector<NamedValue> values;
    for (const RegEntry& e : s.entries) {
      require(!name_refusal(e.name, kMaxValueNameUnits));
      if (e.value) values.push_back({e.name, *e.value});
    }
    std::vector<RegSection> again;
    require(from_reg(to_reg(key, values), &again, &error) && again.size() == 1);
    std::vector<NamedValue> read;
    for (const RegEntry& e : again[0].entries)
      read.push_back({e.name, e.value.value_or(RawValue{})});
    require(same(values, read));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  dump(bytes);
  reg(bytes);
  return 0;
}
