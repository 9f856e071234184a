#include "tests/library/api.h"

#include <gtest/gtest.h>

namespace kx::test {

std::u16string utf16_from_utf8(const std::string& utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ansi_from_utf8(const std::string& utf8) {
#if defined(_WIN32)
  std::u16string wide = utf16_from_utf8(utf8);
  std::wstring w(wide.begin(), wide.end());
  int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.c_str(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
#else
  return utf8;
#endif
}

#if defined(_WIN32)
const char* Wide::library() { return "kelmix2.dll"; }
const char* Narrow::library() { return "kelmix_x64.dll"; }
#else
const char* Wide::library() { return KX_TEST_WIDE_LIBRARY; }
const char* Narrow::library() { return KX_TEST_NARROW_LIBRARY; }
#endif

template <class W>
Api<typename W::Char>& api() {
  static Api<typename W::Char>* loaded = [] {
    auto* a = new Api<typename W::Char>();
    if (!a->load(W::library())) {
      ADD_FAILURE() << a->error;
      std::abort();
    }
    return a;
  }();
  return *loaded;
}

template Api<Wide::Char>& api<Wide>();
template Api<Narrow::Char>& api<Narrow>();

}  // namespace kx::test
