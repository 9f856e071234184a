// Loads a built kelmix library at run time and resolves its nineteen exports,
// so one test program drives both deliverables, whichever platform it runs on.
#pragma once

#include <string>
#include <vector>

#include "kelmix.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kx::test {

#if defined(_WIN32)
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif

template <class C>
struct Api {
  using Str = const C*;
  KXHANDLE(KX_CALL* KXInit)(Str);
  int(KX_CALL* KXClose)(KXHANDLE);
  int(KX_CALL* KXString)(KXHANDLE, Str, Str);
  int(KX_CALL* KXValue)(KXHANDLE, Str, int);
  int(KX_CALL* KXDouble)(KXHANDLE, Str, double);
  int(KX_CALL* KXDel)(KXHANDLE, Str);
  Str(KX_CALL* KXGetString)(KXHANDLE, Str);
  int(KX_CALL* KXGetValue)(KXHANDLE, Str);
  double(KX_CALL* KXGetDouble)(KXHANDLE, Str);
  int(KX_CALL* KXExists)(KXHANDLE, Str);
  int(KX_CALL* KXCount)(KXHANDLE);
  Str(KX_CALL* KXGetKey)(KXHANDLE, int);
  int(KX_CALL* KXDelPref)(KXHANDLE, Str);
  int(KX_CALL* KXError)(KXHANDLE);
  int(KX_CALL* KXRelease)(KXHANDLE);
  int(KX_CALL* KXReleaseOne)(KXHANDLE, Str);
  int(KX_CALL* KXWipe)(Str);
  Str(KX_CALL* KXVersion)(void);
  KXINT64(KX_CALL* UnixTime)(void);

  void* module = nullptr;
  std::string error;

  // Loads the library from path; false (with error set) when it or an export
  // is missing.
  bool load(const std::string& path) {
#if defined(_WIN32)
    module = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!module) {
      error = "cannot load " + path;
      return false;
    }
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
#if defined(_WIN32)
      void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
      void* address = dlsym(module, name);
#endif
      if (!address) {
        error += std::string(" missing ") + name;
        ok = false;
      }
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(address);
    };
#define KX_BIND(name) bind(name, #name)
    KX_BIND(KXInit);
    KX_BIND(KXClose);
    KX_BIND(KXString);
    KX_BIND(KXValue);
    KX_BIND(KXDouble);
    KX_BIND(KXDel);
    KX_BIND(KXGetString);
    KX_BIND(KXGetValue);
    KX_BIND(KXGetDouble);
    KX_BIND(KXExists);
    KX_BIND(KXCount);
    KX_BIND(KXGetKey);
    KX_BIND(KXDelPref);
    KX_BIND(KXError);
    KX_BIND(KXRelease);
    KX_BIND(KXReleaseOne);
    KX_BIND(KXWipe);
    KX_BIND(KXVersion);
    KX_BIND(UnixTime);
#undef KX_BIND
    return ok;
  }

  void unload() {
    if (!module) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module));
#else
    dlclose(module);
#endif
    module = nullptr;
  }
};

// UTF-8 to the unit of C: UTF-16 for the wide library; for the narrow one the
// system's 8-bit code page (UTF-8 on Linux, the ANSI code page on Windows).
std::u16string utf16_from_utf8(const std::string& utf8);
std::string ansi_from_utf8(const std::string& utf8);

template <class C>
std::basic_string<C> text(const std::string& utf8) {
  if constexpr (sizeof(C) == 1) {
    return ansi_from_utf8(utf8);
  } else {
    std::u16string u = utf16_from_utf8(utf8);
    return std::basic_string<C>(u.begin(), u.end());
  }
}

// The two deliverables, as test type parameters.
struct Wide {
  using Char = WideChar;
  static const char* library();
  static const char* label() { return "kelmix2"; }
};
struct Narrow {
  using Char = char;
  static const char* library();
  static const char* label() { return "kelmix_x64"; }
};

// The loaded library of that width, loaded once per test program.
template <class W>
Api<typename W::Char>& api();

}  // namespace kx::test
