// The same checks as C++ (extern "C", char16_t or wchar_t text).
#include "header_check.c"
