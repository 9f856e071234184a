// Time and text routines of the POSIX platform.
#include <time.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace kx::plat {

namespace {

std::atomic<ClockHook> g_clock{nullptr};

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kMsPerDay = 86400000;

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the given date of the proleptic Gregorian calendar.
int64_t days_since_1601(int year, int month, int day) {
  int64_t y = year - 1601;
  int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += days_in_month(year, m);
  return days + day - 1;
}

}  // namespace

void get_system_time(SystemTime* now) {
  if (ClockHook hook = g_clock.load()) {
    hook(now);
    return;
  }
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts;
  gmtime_r(&ts.tv_sec, &parts);
  now->year = static_cast<uint16_t>(parts.tm_year + 1900);
  now->month = static_cast<uint16_t>(parts.tm_mon + 1);
  now->day_of_week = static_cast<uint16_t>(parts.tm_wday);
  now->day = static_cast<uint16_t>(parts.tm_mday);
  now->hour = static_cast<uint16_t>(parts.tm_hour);
  now->minute = static_cast<uint16_t>(parts.tm_min);
  now->second = static_cast<uint16_t>(parts.tm_sec);
  now->milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

// False when a field is out of range: years 1601-30827, a day the month does not
// have, hour 24, minute or second 60, 1000 ms. day_of_week is not looked at.
bool system_time_to_file_time(const SystemTime& t, uint64_t* file_time) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > days_in_month(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      t.milliseconds > 999) {
    return false;
  }
  int64_t ms = days_since_1601(t.year, t.month, t.day) * kMsPerDay +
               ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.milliseconds;
  *file_time = static_cast<uint64_t>(ms * kTicksPerMs);
  return true;
}

void testing::set_clock(ClockHook hook) { g_clock.store(hook); }

uint32_t str_len(const tchar* s) {
  uint32_t n = 0;
  while (s[n]) ++n;
  return n;
}

// UTF-8 and UTF-16 never hide an ASCII byte inside a character.
bool is_lead_unit(tchar) { return false; }

const tchar* str_str(const tchar* s, const tchar* sub) {
  if (!s || !sub || !*sub) return nullptr;
  for (; *s; ++s) {
    const tchar* p = s;
    const tchar* q = sub;
    while (*q && *p == *q) ++p, ++q;
    if (!*q) return s;
  }
  return nullptr;
}

}  // namespace kx::plat
