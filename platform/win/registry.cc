// Registry calls on Windows: thin wrappers of advapi32, W forms in the wide
// build and A forms in the narrow one.
#include <windows.h>

#include "platform/platform.h"

namespace kx::plat {

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

HKEY hkey(Key key) { return static_cast<HKEY>(key); }

}  // namespace

Key current_user() { return HKEY_CURRENT_USER; }

void reg_begin_batch() {}
int32_t reg_end_batch() { return kOk; }

int32_t reg_create_key_a(Key parent, const char* sub_key, Key* out) {
  HKEY result = nullptr;
  LONG rc =
      RegCreateKeyExA(hkey(parent), sub_key, 0, nullptr, 0, kReadWrite, nullptr, &result, nullptr);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_create_key(Key parent, const tchar* sub_key, Key* out) {
#if defined(KX_WIDE)
  HKEY result = nullptr;
  LONG rc =
      RegCreateKeyExW(hkey(parent), sub_key, 0, nullptr, 0, kReadWrite, nullptr, &result, nullptr);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
#else
  return reg_create_key_a(parent, sub_key, out);
#endif
}

int32_t reg_open_key_a(Key parent, const char* sub_key, Key* out) {
  HKEY result = nullptr;
  LONG rc = RegOpenKeyExA(hkey(parent), sub_key, 0, kReadWrite, &result);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_open_key(Key parent, const tchar* sub_key, Key* out) {
#if defined(KX_WIDE)
  HKEY result = nullptr;
  LONG rc = RegOpenKeyExW(hkey(parent), sub_key, 0, kReadWrite, &result);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
#else
  return reg_open_key_a(parent, sub_key, out);
#endif
}

int32_t reg_delete_key(Key parent, const tchar* sub_key) {
#if defined(KX_WIDE)
  return RegDeleteKeyW(hkey(parent), sub_key);
#else
  return RegDeleteKeyA(hkey(parent), sub_key);
#endif
}

int32_t reg_close_key(Key key) { return RegCloseKey(hkey(key)); }

int32_t reg_set_value(Key key, const tchar* name, uint32_t type, const void* data, uint32_t bytes) {
  auto* p = static_cast<const BYTE*>(data);
#if defined(KX_WIDE)
  return RegSetValueExW(hkey(key), name, 0, type, p, bytes);
#else
  return RegSetValueExA(hkey(key), name, 0, type, p, bytes);
#endif
}

int32_t reg_delete_value(Key key, const tchar* name) {
#if defined(KX_WIDE)
  return RegDeleteValueW(hkey(key), name);
#else
  return RegDeleteValueA(hkey(key), name);
#endif
}

int32_t reg_query_value(Key key, const tchar* name, uint32_t* type, void* data, uint32_t* bytes) {
  // Copied through so that whatever the call leaves untouched stays as it was.
  DWORD t = type ? *type : 0;
  DWORD size = bytes ? *bytes : 0;
  auto* p = static_cast<BYTE*>(data);
#if defined(KX_WIDE)
  LONG rc =
      RegQueryValueExW(hkey(key), name, nullptr, type ? &t : nullptr, p, bytes ? &size : nullptr);
#else
  LONG rc =
      RegQueryValueExA(hkey(key), name, nullptr, type ? &t : nullptr, p, bytes ? &size : nullptr);
#endif
  if (type) *type = t;
  if (bytes) *bytes = size;
  return rc;
}

int32_t reg_query_info_key(Key key, uint32_t* values, uint32_t* max_value_name_len) {
  DWORD count = 0, longest = 0;
#if defined(KX_WIDE)
  LONG rc = RegQueryInfoKeyW(hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             values ? &count : nullptr, max_value_name_len ? &longest : nullptr,
                             nullptr, nullptr, nullptr);
#else
  LONG rc = RegQueryInfoKeyA(hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             values ? &count : nullptr, max_value_name_len ? &longest : nullptr,
                             nullptr, nullptr, nullptr);
#endif
  if (rc == ERROR_SUCCESS) {
    if (values) *values = count;
    if (max_value_name_len) *max_value_name_len = longest;
  }
  return rc;
}

int32_t reg_enum_value(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  DWORD len = *name_len;
#if defined(KX_WIDE)
  LONG rc = RegEnumValueW(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
#else
  LONG rc = RegEnumValueA(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
#endif
  *name_len = len;
  return rc;
}

int32_t reg_enum_key(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  DWORD len = *name_len;
#if defined(KX_WIDE)
  LONG rc = RegEnumKeyExW(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
#else
  LONG rc = RegEnumKeyExA(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
#endif
  *name_len = len;
  return rc;
}

}  // namespace kx::plat
