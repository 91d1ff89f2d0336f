// The platform's time functions: the current time, conversions to and from local time (the
// process's own time zone: TZ works as usual), and strftime-style formatting.
#ifndef FLOWSENTRY_PLATFORM_TIME_H_
#define FLOWSENTRY_PLATFORM_TIME_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace flowsentry::platform {

// Broken-down local time, as struct tm holds it (year since 1900, month 0..11, ...).
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int weekday = 0;
  int yearday = 0;
  int is_dst = -1;  // -1: let the conversion back decide by the time zone's rules
};

// Seconds since 1970-01-01 UTC.
//
// In builds with the tests, a test may set the emulated machine's clock instead: while the file
// LocationPath(Location::kTestClock) holds a number of seconds, Now() answers it in every process
// of the machine, and the clock stands there until it is set again (platform/testing/
// test_clock.h). Builds without the tests always read the system clock.
int64_t Now();

// localtime: nullopt (last error ERROR_INVALID_PARAMETER) when the time cannot be converted.
std::optional<LocalTime> ToLocalTime(int64_t seconds);

// mktime: normalizes out-of-range fields; nullopt (last error ERROR_INVALID_PARAMETER) when the
// time cannot be represented.
std::optional<int64_t> FromLocalTime(const LocalTime& local);

// strftime into a buffer of `buffer_size` characters; empty when formatting yields nothing.
std::string FormatTime(std::string_view pattern, const LocalTime& local, size_t buffer_size = 128);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_TIME_H_
