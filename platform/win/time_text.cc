// Time and text routines on Windows: kernel32 and shlwapi.
#include <shlwapi.h>
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace kx::plat {

namespace {

std::atomic<ClockHook> g_clock{nullptr};

}  // namespace

void get_system_time(SystemTime* now) {
  if (ClockHook hook = g_clock.load()) {
    hook(now);
    return;
  }
  SYSTEMTIME st;
  GetSystemTime(&st);
  *now = SystemTime{st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                    st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
}

// False when a field is out of range (month 13, February 30, hour 24, ...).
bool system_time_to_file_time(const SystemTime& time, uint64_t* file_time) {
  SYSTEMTIME st{time.year, time.month,  time.day_of_week, time.day,
                time.hour, time.minute, time.second,      time.milliseconds};
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return false;
  *file_time = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return true;
}

void testing::set_clock(ClockHook hook) { g_clock.store(hook); }

#if defined(KX_WIDE)

uint32_t str_len(const tchar* s) { return static_cast<uint32_t>(lstrlenW(s)); }
const tchar* str_str(const tchar* s, const tchar* sub) {
  if (!sub || !*sub) return nullptr;
  return StrStrW(s, sub);
}
bool is_lead_unit(tchar) { return false; }

#else

uint32_t str_len(const tchar* s) { return static_cast<uint32_t>(lstrlenA(s)); }
const tchar* str_str(const tchar* s, const tchar* sub) {
  if (!sub || !*sub) return nullptr;
  return StrStrA(s, sub);
}
bool is_lead_unit(tchar c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != 0; }

#endif

}  // namespace kx::plat
