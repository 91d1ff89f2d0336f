#include "platform/time.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "platform/testing/test_clock.h"

namespace flowsentry::platform {
namespace {

TEST(TimeTest, ConvertsToAndFromLocalTime) {
  const testing::ScopedTimeZone zone("UTC0");
  const std::optional<LocalTime> epoch = ToLocalTime(0);
  ASSERT_TRUE(epoch);
  EXPECT_EQ(epoch->year, 70);
  EXPECT_EQ(epoch->month, 0);
  EXPECT_EQ(epoch->day, 1);
  EXPECT_EQ(epoch->weekday, 4);  // a Thursday

  // 2026-12-06 21:30:05 UTC.
  const int64_t t = 1796592605;
  const std::optional<LocalTime> local = ToLocalTime(t);
  ASSERT_TRUE(local);
  EXPECT_EQ(FormatTime("%d.%m.%y %H:%M:%S", *local), "06.12.26 21:30:05");
  EXPECT_EQ(FromLocalTime(*local), t);

  // One second before the epoch is a time like any other, not a failure.
  LocalTime before = *epoch;
  before.second = -1;
  EXPECT_EQ(FromLocalTime(before), -1);

  // Out-of-range fields are normalized: the 32nd of December is the 1st of January.
  LocalTime overflow = *local;
  overflow.day = 32;
  overflow.hour = 0;
  overflow.minute = 0;
  overflow.second = 0;
  const std::optional<int64_t> next = FromLocalTime(overflow);
  ASSERT_TRUE(next);
  EXPECT_EQ(FormatTime("%Y-%m-%d", *ToLocalTime(*next)), "2027-01-01");
}

TEST(TimeTest, FollowsTzChangesWithinTheProcess) {
  const int64_t t = 1796592605;  // 21:30:05 UTC
  {
    const testing::ScopedTimeZone zone("UTC0");
    EXPECT_EQ(ToLocalTime(t)->hour, 21);
  }
  {
    const testing::ScopedTimeZone zone("MSK-3");
    EXPECT_EQ(ToLocalTime(t)->hour, 0);
    EXPECT_EQ(ToLocalTime(t)->day, 7);
    EXPECT_EQ(FromLocalTime(*ToLocalTime(t)), t);
  }
}

TEST(TimeTest, FormatTimeBufferLimits) {
  const testing::ScopedTimeZone zone("UTC0");
  const LocalTime local = *ToLocalTime(1796592605);
  EXPECT_EQ(FormatTime("%d_%m_%Y_%H_%M_%S", local), "06_12_2026_21_30_05");
  EXPECT_EQ(FormatTime("%H:%M:%S", local, 9), "21:30:05");  // exactly fits with its zero
  EXPECT_EQ(FormatTime("%H:%M:%S", local, 8), "");          // does not fit: nothing
  EXPECT_EQ(FormatTime("%H:%M:%S", local, 0), "");
  EXPECT_EQ(FormatTime("", local), "");
}

TEST(TimeTest, NowIsTheClock) {
  const int64_t now = Now();
  EXPECT_GT(now, 1700000000);  // after November 2023
  EXPECT_LE(now - Now(), 0);
}

TEST(TimeTest, NowStandsWhereTheMachinesTestClockIsSet) {
  testing::TempRoot root;
  constexpr int64_t kSet = 4102444799;  // 2099-12-31 23:59:59 UTC, beyond the system clock
  {
    testing::TestClock clock(kSet);
    EXPECT_EQ(Now(), kSet);
    ASSERT_TRUE(clock.Advance(86400));
    EXPECT_EQ(Now(), kSet + 86400);
    // What a test clock cannot be taken for leaves the system clock in its place.
    for (const char* text : {"", "soon", "17965926O5"}) {
      SCOPED_TRACE(text);
      ASSERT_TRUE(root.WriteFile("/etc/flowsentry/testclock", text));
      EXPECT_GT(Now(), 1700000000);
      EXPECT_LT(Now(), kSet);
    }
  }
  EXPECT_LT(Now(), kSet) << "the clock outlived its test";
}

}  // namespace
}  // namespace flowsentry::platform
