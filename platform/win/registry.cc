// Registry calls on Windows: thin wrappers of advapi32, W forms in the wide
// build and A forms in the narrow one.

// The one text switch: <windows.h> maps each generic Reg* name to the W or A
// function as UNICODE says, so the build's tchar picks the form here only.
#if defined(KX_WIDE)
#ifndef UNICODE
#define UNICODE
#endif
#else
#undef UNICODE
#endif
#include <windows.h>

#include "platform/platform.h"
#include "platform/registry_fault.h"

namespace kx::plat {

namespace {

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

HKEY hkey(Key key) { return static_cast<HKEY>(key); }

}  // namespace

Key current_user() { return HKEY_CURRENT_USER; }

// No transactions: every batch begins, and nothing is held.
int32_t reg_begin_batch() NO_THREAD_SAFETY_ANALYSIS { return kOk; }
int32_t reg_end_batch() NO_THREAD_SAFETY_ANALYSIS { return kOk; }

int32_t reg_create_key_a(Key parent, const char* sub_key, Key* out) {
  if (int32_t fault = injected_write_fault()) return fault;
  HKEY result = nullptr;
  LONG rc =
      RegCreateKeyExA(hkey(parent), sub_key, 0, nullptr, 0, kReadWrite, nullptr, &result, nullptr);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_create_key(Key parent, const tchar* sub_key, Key* out) {
  if (int32_t fault = injected_write_fault()) return fault;
  HKEY result = nullptr;
  LONG rc =
      RegCreateKeyEx(hkey(parent), sub_key, 0, nullptr, 0, kReadWrite, nullptr, &result, nullptr);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_open_key_a(Key parent, const char* sub_key, Key* out) {
  HKEY result = nullptr;
  LONG rc = RegOpenKeyExA(hkey(parent), sub_key, 0, kReadWrite, &result);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_open_key(Key parent, const tchar* sub_key, Key* out) {
  HKEY result = nullptr;
  LONG rc = RegOpenKeyEx(hkey(parent), sub_key, 0, kReadWrite, &result);
  if (rc == ERROR_SUCCESS) *out = result;
  return rc;
}

int32_t reg_delete_key(Key parent, const tchar* sub_key) {
  if (int32_t fault = injected_write_fault()) return fault;
  return RegDeleteKey(hkey(parent), sub_key);
}

int32_t reg_close_key(Key key) { return RegCloseKey(hkey(key)); }

int32_t reg_set_value(Key key, const tchar* name, uint32_t type, const void* data, uint32_t bytes) {
  if (int32_t fault = injected_write_fault()) return fault;
  return RegSetValueEx(hkey(key), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

int32_t reg_delete_value(Key key, const tchar* name) {
  if (int32_t fault = injected_write_fault()) return fault;
  return RegDeleteValue(hkey(key), name);
}

int32_t reg_set_value_in(Key key, uint32_t unit_bytes, const void* name, uint32_t type,
                         const void* data, uint32_t bytes) {
  if (int32_t fault = injected_write_fault()) return fault;
  const auto* d = static_cast<const BYTE*>(data);
  if (unit_bytes == 2) {
    return RegSetValueExW(hkey(key), static_cast<const wchar_t*>(name), 0, type, d, bytes);
  }
  return RegSetValueExA(hkey(key), static_cast<const char*>(name), 0, type, d, bytes);
}

int32_t reg_delete_value_in(Key key, uint32_t unit_bytes, const void* name) {
  if (int32_t fault = injected_write_fault()) return fault;
  if (unit_bytes == 2) return RegDeleteValueW(hkey(key), static_cast<const wchar_t*>(name));
  return RegDeleteValueA(hkey(key), static_cast<const char*>(name));
}

int32_t reg_query_value(Key key, const tchar* name, uint32_t* type, void* data, uint32_t* bytes) {
  // Copied through so that whatever the call leaves untouched stays as it was.
  DWORD t = type ? *type : 0;
  DWORD size = bytes ? *bytes : 0;
  LONG rc = RegQueryValueEx(hkey(key), name, nullptr, type ? &t : nullptr, static_cast<BYTE*>(data),
                            bytes ? &size : nullptr);
  if (type) *type = t;
  if (bytes) *bytes = size;
  return rc;
}

int32_t reg_query_info_key(Key key, uint32_t* values, uint32_t* max_value_name_len) {
  DWORD count = 0, longest = 0;
  LONG rc = RegQueryInfoKey(hkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            values ? &count : nullptr, max_value_name_len ? &longest : nullptr,
                            nullptr, nullptr, nullptr);
  if (rc == ERROR_SUCCESS) {
    if (values) *values = count;
    if (max_value_name_len) *max_value_name_len = longest;
  }
  return rc;
}

int32_t reg_enum_value(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  DWORD len = *name_len;
  LONG rc = RegEnumValue(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
  *name_len = len;
  return rc;
}

int32_t reg_enum_key(Key key, uint32_t index, tchar* name, uint32_t* name_len) {
  DWORD len = *name_len;
  LONG rc = RegEnumKeyEx(hkey(key), index, name, &len, nullptr, nullptr, nullptr, nullptr);
  *name_len = len;
  return rc;
}

}  // namespace kx::plat
