// The Windows fold of key names: the registry compares them upper-cased by
// the file system's casing table, unit by unit.
#include <windows.h>

#include <new>
#include <string>

#include "platform/names.h"

namespace kx::plat {

bool fold_key_name(const tchar* name, std::u16string* folded) noexcept {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units either way");
  try {
    folded->clear();
    if (!name || !*name) return true;
#if defined(KX_WIDE)
    const wchar_t* wide = name;
    int len = lstrlenW(name);
#else
    // Sized with the terminator, which the conversion writes too. A name
    // that does not convert folds to nothing, as it always has.
    int units = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (units <= 1) return true;
    std::wstring widened(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, widened.data(), units) != units) return false;
    const wchar_t* wide = widened.data();
    int len = units - 1;
#endif
    folded->resize(static_cast<std::size_t>(len));
    return LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide, len,
                         reinterpret_cast<wchar_t*>(folded->data()), len, nullptr, nullptr,
                         0) == len;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

#if defined(KX_WIDE)
// No MB_ERR_INVALID_CHARS: the same units the A functions make.
std::basic_string<tchar> widen_a(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The ordinal comparison that ignores case upper-cases by the table the
// registry uses.
int compare_names(const tchar* a, std::size_t a_units, const tchar* b, std::size_t b_units) {
  return CompareStringOrdinal(a, static_cast<int>(a_units), b, static_cast<int>(b_units), TRUE) -
         CSTR_EQUAL;
}

#endif

}  // namespace kx::plat
