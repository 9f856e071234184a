// ICU-backed text helpers of the POSIX stand-in.
#include "platform/posix/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <new>
#include <utility>

namespace kx::plat::posix {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

// The converted text cut to its length; empty when ICU failed, and
// std::bad_alloc when it ran out of memory.
template <class Text>
Text converted(Text out, int32_t length, UErrorCode status) {
  if (U_FAILURE(status)) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    return {};
  }
  out.resize(static_cast<size_t>(length));
  return out;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  if (text.empty()) return {};
  // At most one UTF-16 unit per byte.
  std::u16string out(text.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), kReplacement, nullptr, &status);
  return converted(std::move(out), length, status);
}

std::string utf16_to_utf8(std::u16string_view text) {
  if (text.empty()) return {};
  // At most three bytes per UTF-16 unit.
  std::string out(text.size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), kReplacement, nullptr, &status);
  return converted(std::move(out), length, status);
}

char16_t fold_unit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + 32) : unit;
  UChar32 lower = u_tolower(unit);
  if (lower == unit || lower > 0xFFFF || u_toupper(lower) != unit) return unit;
  return static_cast<char16_t>(lower);
}

std::u16string fold(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& unit : out) unit = fold_unit(unit);
  return out;
}

}  // namespace kx::plat::posix
