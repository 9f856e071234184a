#include "store/record.h"

#include <cstring>

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

void* KXRECORD::operator new(std::size_t bytes) noexcept { return mem_alloc(bytes); }
void KXRECORD::operator delete(void* p) noexcept { mem_free(p); }

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

RecordPtr make_record(const tchar* name, int32_t type) noexcept {
  tchar* copy = dup_string(name);
  if (!copy) return nullptr;
  RecordPtr record(new KXRECORD(type, copy));
  if (!record) free_string(copy);
  return record;
}

RecordPtr make_value_record(const tchar* name, int32_t integer) noexcept {
  RecordPtr record = make_record(name, TYPE_VALUE);
  if (record) record->value.integer = integer;
  return record;
}

RecordPtr make_double_record(const tchar* name, double number) noexcept {
  RecordPtr record = make_record(name, TYPE_DOUBLE);
  if (record) record->value.number = number;
  return record;
}

RecordPtr make_string_record(const tchar* name, const tchar* text) noexcept {
  tchar* text_copy = nullptr;
  if (text) {
    text_copy = dup_string(text);
    if (!text_copy) return nullptr;
  }
  RecordPtr record = make_record(name, TYPE_STRING);
  if (!record) {
    free_string(text_copy);
    return nullptr;
  }
  record->value.text = text_copy;
  return record;
}

}  // namespace kx
