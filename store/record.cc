#include "store/record.h"

#include <cstring>
#include <utility>

#include "store/memory.h"

namespace kx {

bool KXRECORD::assign(const KXRECORD& other) noexcept {
  if (this == &other) return true;
  tchar* new_text = nullptr;
  if (other.type == TYPE_STRING && other.value.text) {
    new_text = dup_string(other.value.text);
    if (!new_text) return false;
  }
  // A long name is copied before anything of this record is given up; a
  // short one cannot fail, and goes into the inline buffer after the old
  // name is gone, since that may be where it lived.
  tchar* long_name = nullptr;
  if (other.name_units >= kInlineUnits) {
    long_name = dup_string(other.name);
    if (!long_name) {
      free_string(new_text);
      return false;
    }
  }
  Value new_value;
  std::memcpy(new_value.bytes, other.value.bytes, sizeof new_value.bytes);
  if (other.type == TYPE_STRING) {
    new_value.text = new_text;
  } else if (other.type == TYPE_DELETE) {
    std::memset(new_value.bytes, 0, sizeof new_value.bytes);
  }
  drop_name();
  if (type == TYPE_STRING) free_string(value.text);
  if (long_name) {
    name = long_name;
    name_units = other.name_units;
  } else {
    name = copy_name(other.name);
  }
  type = other.type;
  value = new_value;
  return true;
}

KXRECORD make_string_record(const tchar* name, const tchar* text) noexcept {
  KXRECORD record = make_record(name, TYPE_STRING);
  if (record.complete() && text) {
    record.value.text = dup_string(text);
    if (!record.value.text) record.drop_name();
  }
  return record;
}

}  // namespace kx
