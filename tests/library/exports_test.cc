// Exports that need no store, against a clock the test sets.
#include <gtest/gtest.h>

#include "kelmix.h"
#include "platform/platform.h"
#include "platform/platform_test_helper.h"

namespace kx {
namespace {

plat::SystemTime g_fake_now;
void fake_clock(plat::SystemTime* now) { *now = g_fake_now; }

int64_t unix_time_at(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                     uint16_t second, uint16_t ms) {
  g_fake_now = plat::SystemTime{year, month, 0, day, hour, minute, second, ms};
  plat::testing::set_clock(&fake_clock);
  int64_t t = UnixTime();
  plat::testing::set_clock(nullptr);
  return t;
}

TEST(UnixTime, WholeSecondsSince1970Utc) {
  EXPECT_EQ(unix_time_at(1970, 1, 1, 0, 0, 0, 999), 0);
  EXPECT_EQ(unix_time_at(1970, 1, 1, 0, 0, 1, 0), 1);
  EXPECT_EQ(unix_time_at(2038, 1, 19, 3, 14, 8, 500), 2147483648LL);  // past 32 bits
  EXPECT_EQ(unix_time_at(2026, 12, 8, 12, 0, 0, 0), 1796731200LL);
  EXPECT_EQ(unix_time_at(1601, 1, 1, 0, 0, 0, 0), -11644473600LL);
  // The system clock again, and no fraction of a second.
  int64_t now = UnixTime();
  EXPECT_GT(now, 1700000000LL);
}

}  // namespace
}  // namespace kx
