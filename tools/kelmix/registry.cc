#include "tools/kelmix/registry.h"

#include <cstring>

#include "library/admin.h"
#include "platform/names.h"

namespace kx::cli {

namespace {

int32_t open_product(plat::ScopedKey* key) {
  return plat::reg_open_key_a(plat::current_user(), admin::kProductKey, key->out());
}

}  // namespace

int32_t list_stores(std::vector<WStr>* out) {
  plat::ScopedKey product;
  int32_t rc = open_product(&product);
  if (rc == kErrFileNotFound) return kOk;
  if (rc != kOk) return rc;
  std::vector<tchar> buffer(256);
  for (uint32_t index = 0;;) {
    auto length = static_cast<uint32_t>(buffer.size());
    rc = plat::reg_enum_key(product.get(), index, buffer.data(), &length);
    if (rc == kErrNoMoreItems) return kOk;
    if (rc == kErrMoreData) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != kOk) return rc;
    out->emplace_back(buffer.data(), length);
    ++index;
  }
}

// The registry itself compares the names, so the answer is the one opening
// would give.
int32_t store_exists(const WStr& name, bool* exists) {
  *exists = false;
  if (name.empty()) return kOk;  // the product key itself is no store
  plat::ScopedKey product;
  int32_t rc = open_product(&product);
  if (rc == kErrFileNotFound) return kOk;
  if (rc != kOk) return rc;
  plat::ScopedKey key;
  rc = plat::reg_open_key(product.get(), name.c_str(), key.out());
  *exists = rc == kOk;
  // A name no key can have is a store that does not exist.
  if (rc == kErrFileNotFound || rc == kErrInvalidParameter || rc == kErrBadPathname) return kOk;
  return rc;
}

std::optional<std::string> name_refusal(const WStr& name, std::size_t max_units) {
  if (name.size() > max_units) {
    return "longer than the " + std::to_string(max_units) +
           " units the registry takes: " + shown(name);
  }
  if (name.find(tchar(0)) != WStr::npos) return "with a zero unit (U+0000) inside: " + shown(name);
  return std::nullopt;
}

int compare_names(const WStr& a, const WStr& b) {
  return plat::compare_names(a.data(), a.size(), b.data(), b.size());
}

int32_t query_value(plat::Key key, const WStr& name, RawValue* out) {
  for (;;) {
    uint32_t size = 0;
    int32_t rc = plat::reg_query_value(key, name.c_str(), &out->type, nullptr, &size);
    if (rc != kOk) return rc;
    out->bytes.resize(size);
    rc = plat::reg_query_value(key, name.c_str(), &out->type, out->bytes.data(), &size);
    if (rc == kErrMoreData) continue;  // grew meanwhile
    out->bytes.resize(size);
    return rc;
  }
}

int32_t write_raw(plat::Key key, const WStr& name, const RawValue& value) {
  // The registry adds a terminator to text whose size leaves it out when one
  // follows in memory: a nonzero unit follows here.
  Bytes padded = value.bytes;
  padded.push_back(0xFF);
  padded.push_back(0xFF);
  return plat::reg_set_value(key, name.c_str(), value.type, padded.data(),
                             static_cast<uint32_t>(value.bytes.size()));
}

Kind classify(const RawValue& value) {
  std::size_t size = value.bytes.size();
  if (value.type == kRegDword && size == 4) return Kind::kInt;
  if (value.type == kRegBinary && size == 8) return Kind::kDouble;
  if (value.type != kRegSz || size < 2 || size % 2) return Kind::kRaw;
  WStr units(size / 2, 0);
  std::memcpy(units.data(), value.bytes.data(), size);
  if (units.back() != 0) return Kind::kRaw;
  units.pop_back();
  if (units.find(tchar(0)) != WStr::npos || !is_valid_utf16(units)) return Kind::kRaw;
  return Kind::kString;
}

WStr text_of(const RawValue& value) {
  WStr units(value.bytes.size() / 2, 0);
  std::memcpy(units.data(), value.bytes.data(), units.size() * 2);
  if (!units.empty() && units.back() == 0) units.pop_back();
  return units;
}

int32_t int_of(const RawValue& value) {
  int32_t v = 0;
  std::memcpy(&v, value.bytes.data(), sizeof v);
  return v;
}

uint64_t bits_of(const RawValue& value) {
  uint64_t v = 0;
  std::memcpy(&v, value.bytes.data(), sizeof v);
  return v;
}

double double_of(const RawValue& value) {
  uint64_t bits = bits_of(value);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace kx::cli
