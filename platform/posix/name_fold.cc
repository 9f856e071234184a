// The POSIX fold of key names: the stand-in registry's own.
#include <new>

#include "platform/names.h"
#include "platform/posix/registry_text.h"
#include "platform/posix/unicode.h"

namespace kx::plat {

bool fold_key_name(const tchar* name, std::u16string* folded) noexcept {
  try {
    *folded = posix::fold(posix::to_units(name));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

#if defined(KX_WIDE)
std::basic_string<tchar> widen_a(const std::string& text) { return posix::utf8_to_utf16(text); }

int compare_names(const tchar* a, std::size_t a_units, const tchar* b, std::size_t b_units) {
  for (std::size_t i = 0; i < a_units && i < b_units; ++i) {
    char16_t x = posix::fold_unit(a[i]), y = posix::fold_unit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a_units < b_units ? -1 : a_units > b_units ? 1 : 0;
}
#endif

}  // namespace kx::plat
