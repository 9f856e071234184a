#include "tools/kelmix/text.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/names.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unicode/ustring.h>
#endif

namespace kx::cli {

#if defined(_WIN32)
std::optional<WStr> widen_code_page(const std::string& bytes, unsigned code_page) {
  if (bytes.empty()) return WStr();
  int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(),
                              static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  WStr out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                      out.data(), n);
  return out;
}
#endif

std::optional<WStr> widen(const std::string& utf8) {
#if defined(_WIN32)
  return widen_code_page(utf8, CP_UTF8);
#else
  if (utf8.empty()) return WStr();
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = 0;
  u_strFromUTF8(nullptr, 0, &n, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  WStr out(static_cast<std::size_t>(n), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), n, nullptr, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
#endif
}

WStr from_units(const std::string& bytes, uint32_t unit_bytes) {
  if (unit_bytes == 2) {
    WStr out(bytes.size() / 2, 0);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
  }
  return plat::widen_a(bytes);
}

std::string narrow(const WStr& wide) {
  if (wide.empty()) return std::string();
#if defined(_WIN32)
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
#else
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = 0;
  u_strToUTF8WithSub(nullptr, 0, &n, wide.data(), static_cast<int32_t>(wide.size()), 0xFFFD,
                     nullptr, &status);
  std::string out(static_cast<std::size_t>(n), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), n, nullptr, wide.data(), static_cast<int32_t>(wide.size()), 0xFFFD,
                     nullptr, &status);
  return U_FAILURE(status) ? std::string() : out;
#endif
}

bool is_valid_utf16(const WStr& wide) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    auto u = static_cast<uint16_t>(wide[i]);
    if (u >= 0xD800 && u < 0xDC00) {
      if (i + 1 == wide.size()) return false;
      auto next = static_cast<uint16_t>(wide[i + 1]);
      if (next < 0xDC00 || next >= 0xE000) return false;
      ++i;
    } else if (u >= 0xDC00 && u < 0xE000) {
      return false;
    }
  }
  return true;
}

std::string shown(const WStr& name) {
  // Cut only where that saves much: the key path of a usual store stays whole.
  constexpr std::size_t kWholeUnits = 100, kShownUnits = 60;
  std::size_t n = name.size() <= kWholeUnits ? name.size() : kShownUnits;
  if (n < name.size() && name[n - 1] >= 0xD800 && name[n - 1] < 0xDC00) --n;  // no half pair
  std::string out = "\"";
  for (std::size_t start = 0; start < n;) {
    std::size_t zero = std::min(name.find(tchar(0), start), n);
    out += narrow(name.substr(start, zero - start));
    if (zero < n) out += "\\0";
    start = zero + 1;
  }
  if (n == name.size()) return out + "\"";
  return out + "\xE2\x80\xA6\" (" + std::to_string(name.size()) + " units)";
}

std::string hex(const uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::optional<Bytes> unhex(const std::string& text) {
  if (text.size() % 2) return std::nullopt;
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return out;
}

std::optional<int32_t> parse_int(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return std::nullopt;
  }
  int32_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || first == last) return std::nullopt;
  return value;
}

std::optional<double> parse_double(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  bool negative = false;
  if (first != last && (*first == '+' || *first == '-')) negative = *first++ == '-';
  // from_chars takes no sign of its own here, so "--1" and "+-1" stay refused.
  if (first == last || *first == '+' || *first == '-') return std::nullopt;
  auto format = std::chars_format::general;
  if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X')) {
    first += 2;
    format = std::chars_format::hex;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(first, last, value, format);
  if (ec != std::errc() || end != last) return std::nullopt;
  return negative ? -value : value;
}

std::string format_double(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::string escape_cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void write_text(std::FILE* stream, const std::string& utf8) {
#if defined(_WIN32)
  HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
#endif
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

}  // namespace kx::cli
