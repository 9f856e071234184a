#include "store/record.h"

#include <cstring>
#include <utility>

#include "store/memory.h"

namespace kx {

KXRECORD::KXRECORD(int32_t record_type, tchar* owned_name) noexcept
    : type(record_type), name(owned_name) {
  std::memset(value.bytes, 0, sizeof value.bytes);
}

KXRECORD::~KXRECORD() {
  free_string(name);
  if (type == TYPE_STRING) free_string(value.text);
}

KXRECORD::KXRECORD(KXRECORD&& other) noexcept : type(other.type), name(other.name) {
  value = other.value;
  other.name = nullptr;
  if (other.type == TYPE_STRING) other.value.text = nullptr;
}

bool KXRECORD::assign(const KXRECORD& other) noexcept {
  if (this == &other) return true;
  tchar* new_name = dup_string(other.name);
  if (!new_name) return false;
  Value new_value;
  std::memcpy(new_value.bytes, other.value.bytes, sizeof new_value.bytes);
  if (other.type == TYPE_STRING && other.value.text) {
    new_value.text = dup_string(other.value.text);
    if (!new_value.text) {
      free_string(new_name);
      return false;
    }
  } else if (other.type == TYPE_DELETE) {
    std::memset(new_value.bytes, 0, sizeof new_value.bytes);
  }
  free_string(name);
  if (type == TYPE_STRING) free_string(value.text);
  name = new_name;
  type = other.type;
  value = new_value;
  return true;
}

KXRECORD make_record(const tchar* name, int32_t type) noexcept {
  return KXRECORD(type, dup_string(name));
}

KXRECORD make_value_record(const tchar* name, int32_t integer) noexcept {
  KXRECORD record = make_record(name, TYPE_VALUE);
  record.value.integer = integer;
  return record;
}

KXRECORD make_double_record(const tchar* name, double number) noexcept {
  KXRECORD record = make_record(name, TYPE_DOUBLE);
  record.value.number = number;
  return record;
}

KXRECORD make_string_record(const tchar* name, const tchar* text) noexcept {
  KXRECORD record = make_record(name, TYPE_STRING);
  if (record.complete() && text) {
    record.value.text = dup_string(text);
    if (!record.value.text) free_string(std::exchange(record.name, nullptr));
  }
  return record;
}

}  // namespace kx
