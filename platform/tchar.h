// The character unit of one build. KX_WIDE selects UTF-16 (kelmix2); without it
// the build works in 8-bit text of the system code page (kelmix_x64).
#pragma once

#include <cstddef>

namespace kx {

#if defined(KX_WIDE)
#if defined(_WIN32)
using tchar = wchar_t;  // 16 bits on Windows: the W functions take it directly.
#define KX_T(s) L##s
#else
using tchar = char16_t;
#define KX_T(s) u##s
#endif
#else
using tchar = char;
#define KX_T(s) s
#endif

static_assert(sizeof(tchar) == 1 || sizeof(tchar) == 2, "tchar is a byte or a UTF-16 unit");

}  // namespace kx
