// Text helpers of the POSIX stand-in: UTF-8 conversions and name folding.
#include "platform/posix/unicode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace kx::plat::posix {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
// A byte that starts no well-formed UTF-8 sequence is held as the lone low
// surrogate U+DC00 + byte (U+DC80..U+DCFF), which nothing else converts to,
// and becomes that byte again on the way out.
constexpr uint32_t kByteEscape = 0xDC00;

struct FoldPair {
  char16_t unit;
  char16_t folded;
};
// The folding is frozen in the project: the folded names in the database
// must not change with the installed ICU.
#include "platform/posix/fold_table.inc"

// The length of the well-formed UTF-8 sequence at p (Unicode table 3-7), or
// 0 when the byte there starts none.
size_t sequence_length(const unsigned char* p, size_t left) {
  unsigned char b = p[0];
  if (b < 0x80) return 1;
  auto cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < left && p[i] >= lo && p[i] <= hi;
  };
  if (b >= 0xC2 && b <= 0xDF) return cont(1) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = b == 0xED ? 0x9F : 0xBF;  // no surrogates
    return cont(1, lo, hi) && cont(2) ? 3 : 0;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
    return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());  // at most one UTF-16 unit per byte
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    size_t len = sequence_length(p + i, n - i);
    uint32_t c;
    switch (len) {
      case 0:
        out.push_back(static_cast<char16_t>(kByteEscape + p[i]));
        ++i;
        continue;
      case 1:
        c = p[i];
        break;
      case 2:
        c = ((p[i] & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
        break;
      case 3:
        c = ((p[i] & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
        break;
      default:
        c = ((p[i] & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
            (p[i + 3] & 0x3Fu);
        break;
    }
    i += len;
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);  // at most three bytes per UTF-16 unit
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF) {
      out.push_back(static_cast<char>(c - kByteEscape));  // a byte that was not UTF-8
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

char16_t fold_unit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + 32) : unit;
  const FoldPair* end = std::end(kFoldTable);
  const FoldPair* it = std::lower_bound(std::begin(kFoldTable), end, unit,
                                        [](const FoldPair& p, char16_t u) { return p.unit < u; });
  return it != end && it->unit == unit ? it->folded : unit;
}

const char* fold_unicode_version() { return kFoldUnicodeVersion; }

std::u16string fold(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& unit : out) unit = fold_unit(unit);
  return out;
}

}  // namespace kx::plat::posix
