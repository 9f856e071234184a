#include "store/record.h"

#include <cstring>
#include <utility>

#include "store/memory.h"

namespace kx {

KXRECORD make_string_record(const tchar* name, const tchar* text) noexcept {
  KXRECORD record = make_record(name, TYPE_STRING);
  if (record.complete() && text) {
    record.value.text = dup_string(text);
    if (!record.value.text) record.drop_name();
  }
  return record;
}

}  // namespace kx
