#include "shared/control.h"

#include <gtest/gtest.h>

namespace flowsentry {
namespace {

TEST(ControlCodeTest, BuiltLikeWindowsCtlCode) {
  // A code from a different device type, method and access, to show each part's place.
  EXPECT_EQ(CtlCode(0x22, 0x800, 3, 0), 0x222003u);
  EXPECT_EQ(CtlCode(0x12, 0x201, 0, 3), IOCTL_ENUM_BINDINGS);
}

TEST(RecordTimeTest, SystemTimeBecomesUnixSecondsAndMicroseconds) {
  struct Case {
    uint64_t system_time;
    uint32_t seconds;
    uint32_t microseconds;
  };
  const Case cases[] = {
      // 1970-01-01 00:00:01.000002 UTC
      {(kSecondsFrom1601To1970 + 1) * kSystemTimeUnitsPerSecond + 20, 1, 2},
      // The epoch itself, and the last 100 ns unit of a second (rounded down to 999,999 us).
      {kSecondsFrom1601To1970 * kSystemTimeUnitsPerSecond, 0, 0},
      {kSecondsFrom1601To1970 * kSystemTimeUnitsPerSecond + 9'999'999, 0, 999'999},
      // 2106-02-07 06:28:16 UTC wraps to 0, as the driver's 32-bit sum does.
      {(kSecondsFrom1601To1970 + 0x100000000ull) * kSystemTimeUnitsPerSecond, 0, 0},
  };
  for (const Case& c : cases) {
    const RecordTime t = RecordTimeFromSystemTime(c.system_time);
    EXPECT_EQ(t.seconds, c.seconds) << c.system_time;
    EXPECT_EQ(t.microseconds, c.microseconds) << c.system_time;
  }
}

}  // namespace
}  // namespace flowsentry
