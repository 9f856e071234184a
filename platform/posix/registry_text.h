// Names and text as the stand-in registry holds them: key paths split into
// components, names folded for lookup, and the build's text converted to the
// UTF-16 the database keeps (the only place the two widths differ).
//
// Included by registry.cc and name_fold.cc alone.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/unicode.h"

namespace kx::plat::posix {

constexpr size_t kMaxKeyNameUnits = 255;   // per path component, as Windows
constexpr size_t kMaxAnsiPathUnits = 260;  // the A functions convert key paths into this
constexpr size_t kMaxAnsiPathBytes = 32766;

// The UTF-16 units of stored names and string data, an odd trailing byte dropped.
inline std::u16string units_of(const std::string& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * 2);
  return units;
}

// The folded form, as big-endian units so that byte order is unit order.
inline std::string folded_key(std::u16string_view name) {
  std::u16string f = fold(name);
  std::string out(f.size() * 2, '\0');
  for (size_t i = 0; i < f.size(); ++i) {
    out[2 * i] = static_cast<char>(f[i] >> 8);
    out[2 * i + 1] = static_cast<char>(f[i] & 0xFF);
  }
  return out;
}

// A key path split into its components.
using Path = std::vector<std::u16string>;

// Splits a relative key path. Runs of backslashes separate components, one at
// the end is ignored; a leading backslash gives kErrBadPathname and a
// component longer than 255 units kErrInvalidParameter.
inline int32_t split_path(std::u16string_view text, Path* path) {
  if (!text.empty() && text[0] == u'\\') return kErrBadPathname;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > pos) {
      if (end - pos > kMaxKeyNameUnits) return kErrInvalidParameter;
      path->emplace_back(text.substr(pos, end - pos));
    }
    pos = end + 1;
  }
  return kOk;
}

// A key path in 8-bit text, converted as the A functions do: the whole path
// must fit in 260 UTF-16 units (kErrMoreData otherwise).
inline int32_t split_path_a(const char* text, Path* path) {
  if (!text) return kOk;
  size_t bytes = std::strlen(text);
  if (bytes > kMaxAnsiPathBytes) return kErrInvalidParameter;
  std::u16string units = utf8_to_utf16(std::string_view(text, bytes));
  if (units.size() > kMaxAnsiPathUnits) return kErrMoreData;
  return split_path(units, path);
}

// The build's text as the stand-in holds it. The wide build's tchar is a UTF-16 unit already; the
// narrow build's text is UTF-8, converted as Windows' A functions convert (a byte that is not UTF-8
// becomes U+DC80 + byte, and back).
#if defined(KX_WIDE)
inline std::u16string to_units(const tchar* text) { return text ? std::u16string(text) : u""; }
inline std::u16string from_units(const std::u16string& units) { return units; }
inline int32_t split_path_t(const tchar* text, Path* path) {
  return text ? split_path(text, path) : kOk;
}
// String data of a value, from the caller's bytes to the stored UTF-16, and back.
inline std::string text_to_stored(std::string_view bytes) { return std::string(bytes); }
inline std::string stored_to_text(const std::string& stored) { return stored; }
#else
inline std::u16string to_units(const tchar* text) { return text ? utf8_to_utf16(text) : u""; }
inline std::string from_units(const std::u16string& units) { return utf16_to_utf8(units); }
inline int32_t split_path_t(const tchar* text, Path* path) { return split_path_a(text, path); }
inline std::string text_to_stored(std::string_view bytes) {
  std::u16string units = utf8_to_utf16(bytes);
  return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}
inline std::string stored_to_text(const std::string& stored) {
  return utf16_to_utf8(units_of(stored));
}
#endif

}  // namespace kx::plat::posix
