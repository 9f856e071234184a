// A variable, or a request about one, as it travels through a store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/tchar.h"
#include "store/memory.h"

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
// the pending queue holds them in place. A short name is kept inside the
// record, so most integer and double writes allocate nothing.
class KXRECORD {
 public:
  int32_t type;
  // name's length in units, without the end: the pending file and the queue
  // need it on every write, and the name was scanned once already. It sits
  // in what was padding.
  uint32_t name_units = 0;
  tchar* name;
  union Value {
    tchar* text;
    int32_t integer;
    double number;
    unsigned char bytes[8];
  } value;

  ~KXRECORD() {
    drop_name();
    if (type == TYPE_STRING) free_string(value.text);
  }
  KXRECORD(KXRECORD&& other)
  noexcept : type(other.type), name_units(other.name_units), name(other.name), value(other.value) {
    if (other.name_is_inline()) {
      std::memcpy(inline_name_, other.inline_name_, sizeof inline_name_);
      name = inline_name_;
    }
    other.name = nullptr;
    other.name_units = 0;
    if (other.type == TYPE_STRING) other.value.text = nullptr;
  }
  KXRECORD(const KXRECORD&) = delete;
  KXRECORD& operator=(const KXRECORD&) = delete;
  KXRECORD& operator=(KXRECORD&&) = delete;

  // False for an empty record: one that memory did not suffice for, or that
  // was moved from.
  bool complete() const noexcept { return name != nullptr; }

  // Frees the name and leaves the record empty.
  void drop_name() noexcept {
    if (!name_is_inline()) free_string(name);
    name = nullptr;
    name_units = 0;
  }

  // Names shorter than this many units need no allocation: the record is 56
  // bytes, no more than the 24 and a name's heap block it replaces, and a
  // deque block holds nine (31 narrow or 15 UTF-16 units). Before the name:
  // type, name_units and name, padded to the value's 8-byte alignment, and
  // the value.
  static constexpr std::size_t kInlineUnits =
      (56 - (8 + sizeof(void*) + 7) / 8 * 8 - 8) / sizeof(tchar);

 private:
  // Copies source_name; empty when a long name cannot be allocated.
  KXRECORD(int32_t record_type, const tchar* source_name) noexcept : type(record_type) {
    std::memset(value.bytes, 0, sizeof value.bytes);
    name = copy_name(source_name);
  }
  bool name_is_inline() const noexcept { return name == inline_name_; }
  // name for a copy of source: inline_name_ when it fits, else the heap.
  // Every write comes here, so the short case is a scan of at most
  // kInlineUnits and a copy, with no call.
  tchar* copy_name(const tchar* source) noexcept {
    for (std::size_t len = 0; len < kInlineUnits; ++len) {
      if (source[len] == 0) {
        std::memcpy(inline_name_, source, (len + 1) * sizeof(tchar));
        name_units = static_cast<uint32_t>(len);
        return inline_name_;
      }
    }
    tchar* copy = dup_string(source);
    if (copy) name_units = static_cast<uint32_t>(std::char_traits<tchar>::length(copy));
    return copy;
  }
  friend KXRECORD make_record(const tchar*, int32_t) noexcept;
  friend KXRECORD make_value_record(const tchar*, int32_t) noexcept;
  friend KXRECORD make_double_record(const tchar*, double) noexcept;

  tchar inline_name_[kInlineUnits];
};
static_assert(sizeof(KXRECORD) <= 56, "a record stays small");

// A record of type alone (a delete, or a string before its text is copied):
// value cleared to zero.
inline KXRECORD make_record(const tchar* name, int32_t type) noexcept {
  return KXRECORD(type, name);
}
inline KXRECORD make_value_record(const tchar* name, int32_t integer) noexcept {
  KXRECORD record(TYPE_VALUE, name);
  record.value.integer = integer;
  return record;
}
inline KXRECORD make_double_record(const tchar* name, double number) noexcept {
  KXRECORD record(TYPE_DOUBLE, name);
  record.value.number = number;
  return record;
}
// text may be null: the record then holds no string.
KXRECORD make_string_record(const tchar* name, const tchar* text) noexcept;

}  // namespace kx
