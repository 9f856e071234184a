// A variable, or a request about one, as it travels through a store.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/tchar.h"

namespace kx {

enum RecordType : int32_t {
  TYPE_STRING = 0,
  TYPE_VALUE = 1,  // signed 32-bit integer
  TYPE_DOUBLE = 2,
  TYPE_DELETE = 3,
};

// Owns name always, and value.text when type is TYPE_STRING and it is not
// null. Registry data are written from and read into the start of value.
// Built only through the make_* functions, which return null when memory runs
// out, so a record that exists is always complete.
class KXRECORD {
 public:
  int32_t type;
  tchar* name;
  union Value {
    tchar* text;
    int32_t integer;
    double number;
    unsigned char bytes[8];
  } value;

  ~KXRECORD();
  KXRECORD(const KXRECORD&) = delete;
  KXRECORD& operator=(const KXRECORD&) = delete;

  // Replaces this record's contents with copies of other's. On failure (no
  // memory) returns false and leaves this record as it was.
  bool assign(const KXRECORD& other) noexcept;

  static void* operator new(std::size_t bytes) noexcept;
  static void operator delete(void* p) noexcept;

 private:
  KXRECORD(int32_t record_type, tchar* owned_name) noexcept;
  friend std::unique_ptr<KXRECORD> make_record(const tchar*, int32_t) noexcept;
};

using RecordPtr = std::unique_ptr<KXRECORD>;

// A read request or a delete: value cleared to zero.
RecordPtr make_record(const tchar* name, int32_t type) noexcept;
RecordPtr make_value_record(const tchar* name, int32_t integer) noexcept;
RecordPtr make_double_record(const tchar* name, double number) noexcept;
// text may be null: the record then holds no string.
RecordPtr make_string_record(const tchar* name, const tchar* text) noexcept;

}  // namespace kx
