// Time conversion and the text routines.
#include <gtest/gtest.h>

#include "platform/platform_test_helper.h"
#include "tests/platform/helpers.h"

namespace kx::test {
namespace {

using plat::SystemTime;

uint64_t file_time(SystemTime t) {
  uint64_t ft = 0;
  EXPECT_TRUE(plat::system_time_to_file_time(t, &ft));
  return ft;
}

TEST(Time, FileTimeCountsFrom1601) {
  EXPECT_EQ(file_time({1601, 1, 0, 1, 0, 0, 0, 0}), 0u);
  EXPECT_EQ(file_time({1601, 1, 0, 1, 0, 0, 0, 1}), 10000u);
  EXPECT_EQ(file_time({1970, 1, 4, 1, 0, 0, 0, 0}), 116444736000000000u);
  // day_of_week is not looked at.
  EXPECT_EQ(file_time({1970, 1, 6, 1, 0, 0, 0, 0}), 116444736000000000u);
  // 2000-02-29 23:59:59.999: a leap day of a year divisible by 400.
  EXPECT_EQ(file_time({2000, 2, 0, 29, 23, 59, 59, 999}), 125963423999990000u);
  EXPECT_EQ(file_time({2024, 3, 0, 1, 12, 0, 0, 0}) - file_time({2024, 2, 0, 28, 12, 0, 0, 0}),
            2 * 864000000000u);
  EXPECT_EQ(file_time({30827, 12, 0, 31, 23, 59, 59, 999}), 0x7FFF35F4F06C58F0u);
}

// February 29 of a common year is left out: Windows refuses it, Wine takes it.
TEST(Time, OutOfRangeFieldsAreRefused) {
  const SystemTime bad[] = {
      {1600, 12, 0, 31, 0, 0, 0, 0}, {2023, 0, 0, 1, 0, 0, 0, 0},    {2023, 13, 0, 1, 0, 0, 0, 0},
      {2023, 4, 0, 31, 0, 0, 0, 0},  {2023, 6, 0, 31, 0, 0, 0, 0},   {2023, 2, 0, 30, 0, 0, 0, 0},
      {2023, 1, 0, 0, 0, 0, 0, 0},   {2023, 1, 0, 1, 24, 0, 0, 0},   {2023, 1, 0, 1, 0, 60, 0, 0},
      {2023, 1, 0, 1, 0, 0, 60, 0},  {2023, 1, 0, 1, 0, 0, 0, 1000},
  };
  for (const SystemTime& t : bad) {
    uint64_t ft = 7;
    EXPECT_FALSE(plat::system_time_to_file_time(t, &ft))
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute << ":"
        << t.second << "." << t.milliseconds;
  }
}

TEST(Time, SystemTimeIsAValidUtcDateWithItsWeekday) {
  SystemTime now{};
  plat::get_system_time(&now);
  uint64_t ft = 0;
  ASSERT_TRUE(plat::system_time_to_file_time(now, &ft));
  EXPECT_GE(now.year, 2024);
  // 1601-01-01 was a Monday.
  uint64_t days = ft / 864000000000u;
  EXPECT_EQ(now.day_of_week, (days + 1) % 7);
}

void fixed_clock(SystemTime* now) { *now = SystemTime{2001, 2, 6, 3, 4, 5, 6, 7}; }

TEST(Time, ClockHookReplacesTheClock) {
  plat::testing::set_clock(fixed_clock);
  SystemTime now{};
  plat::get_system_time(&now);
  plat::testing::set_clock(nullptr);
  EXPECT_EQ(now.year, 2001);
  EXPECT_EQ(now.milliseconds, 7);
  plat::get_system_time(&now);
  EXPECT_NE(now.year, 2001);
}

TEST(Text, LengthAndSearch) {
  tstring hello = ascii("hello, world");
  EXPECT_EQ(plat::str_len(hello.c_str()), 12u);
  EXPECT_EQ(plat::str_len(ascii("").c_str()), 0u);

  EXPECT_EQ(plat::str_str(hello.c_str(), ascii("o").c_str()), hello.c_str() + 4);
  EXPECT_EQ(plat::str_str(hello.c_str(), ascii("world").c_str()), hello.c_str() + 7);
  EXPECT_EQ(plat::str_str(hello.c_str(), ascii("worlds").c_str()), nullptr);
  EXPECT_EQ(plat::str_str(hello.c_str(), ascii("").c_str()), nullptr);
  if (auto s = text(u"gr\u00FC\u00DFe")) {
    auto sub = text(u"\u00DFe");
    ASSERT_TRUE(sub.has_value());
    EXPECT_EQ(plat::str_str(s->c_str(), sub->c_str()), s->c_str() + s->size() - sub->size());
  }
}

}  // namespace
}  // namespace kx::test
