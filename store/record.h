// A variable, or a request about one, as it travels through a store.
#pragma once

#include <cstdint>

#include "platform/tchar.h"

namespace kx {

enum RecordType : int32_t {
  TYPE_STRING = 0,
  TYPE_VALUE = 1,  // signed 32-bit integer
  TYPE_DOUBLE = 2,
  TYPE_DELETE = 3,
};

// Owns name, and value.text when type is TYPE_STRING and it is not null.
// Registry data are written from and read into the start of value. Built only
// through the make_* functions, which return an empty record (no name) when
// memory runs out; a record moved from is empty too. Records travel by value:
// the pending queue holds them in place, with no allocation of their own.
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
  KXRECORD(KXRECORD&& other) noexcept;
  KXRECORD(const KXRECORD&) = delete;
  KXRECORD& operator=(const KXRECORD&) = delete;
  KXRECORD& operator=(KXRECORD&&) = delete;

  // False for an empty record: one that memory did not suffice for, or that
  // was moved from.
  bool complete() const noexcept { return name != nullptr; }

  // Replaces this record's contents with copies of other's. On failure (no
  // memory) returns false and leaves this record as it was.
  bool assign(const KXRECORD& other) noexcept;

 private:
  KXRECORD(int32_t record_type, tchar* owned_name) noexcept;
  friend KXRECORD make_record(const tchar*, int32_t) noexcept;
};

// A read request or a delete: value cleared to zero.
KXRECORD make_record(const tchar* name, int32_t type) noexcept;
KXRECORD make_value_record(const tchar* name, int32_t integer) noexcept;
KXRECORD make_double_record(const tchar* name, double number) noexcept;
// text may be null: the record then holds no string.
KXRECORD make_string_record(const tchar* name, const tchar* text) noexcept;

}  // namespace kx
