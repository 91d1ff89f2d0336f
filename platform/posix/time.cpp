#include "platform/time.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/root.h"

namespace flowsentry::platform {
namespace {

// localtime_r need not look at TZ again once the library has read it, so a changed TZ is read
// with tzset. Rather than call tzset (which takes the library's lock and reads the environment
// and the zone file's status) for every conversion, each thread keeps the TZ it last had tzset
// read and calls it again only when TZ differs: the per-packet path takes no lock of ours and
// makes no system call. The library serializes tzset, localtime_r and mktime itself.
struct SeenTimeZone {
  bool seen = false;  // tzset has run on this thread
  bool set = false;   // TZ was set then
  std::string value;  // and held this
};

void ReadTimeZoneIfChanged() {
  thread_local SeenTimeZone last;
  const char* tz = std::getenv("TZ");
  if (last.seen && last.set == (tz != nullptr) && (tz == nullptr || last.value == tz)) return;
  {
    // The library serializes tzset with a lock of its own that ThreadSanitizer cannot see; ours
    // makes the order plain to it, and is taken only when a thread meets a new TZ.
    static std::mutex tzset_turn;
    std::lock_guard turn(tzset_turn);
    tzset();
  }
  last.seen = true;
  last.set = tz != nullptr;
  last.value = tz != nullptr ? tz : "";
}

std::tm ToTm(const LocalTime& local) {
  std::tm tm{};
  tm.tm_year = local.year;
  tm.tm_mon = local.month;
  tm.tm_mday = local.day;
  tm.tm_hour = local.hour;
  tm.tm_min = local.minute;
  tm.tm_sec = local.second;
  tm.tm_wday = local.weekday;
  tm.tm_yday = local.yearday;
  tm.tm_isdst = local.is_dst;
  return tm;
}

#ifdef FLOWSENTRY_TEST_CLOCK
// The machine's clock is a file under the machine root, because every process of the machine
// (scmd, the service it starts, the setup tool the service starts) must read one clock, as they
// share the system clock on a real host. It is read at every call, so a clock a test sets
// reaches programs that run already; Now() is on no per-packet path.
std::optional<int64_t> TestClock() {
  std::FILE* file = std::fopen(LocationPath(Location::kTestClock).c_str(), "re");
  if (file == nullptr) return std::nullopt;
  char text[32] = {};
  const size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  char* end = nullptr;
  const long long seconds = std::strtoll(text, &end, 10);
  // Half written or not a number: the system clock, as if the file were not there.
  if (length == 0 || end == text || (*end != '\0' && *end != '\n')) return std::nullopt;
  return static_cast<int64_t>(seconds);
}
#endif

}  // namespace

int64_t Now() {
#ifdef FLOWSENTRY_TEST_CLOCK
  if (const std::optional<int64_t> set = TestClock()) return *set;
#endif
  return static_cast<int64_t>(std::time(nullptr));
}

std::optional<LocalTime> ToLocalTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ReadTimeZoneIfChanged();
  if (localtime_r(&t, &tm) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  LocalTime local;
  local.year = tm.tm_year;
  local.month = tm.tm_mon;
  local.day = tm.tm_mday;
  local.hour = tm.tm_hour;
  local.minute = tm.tm_min;
  local.second = tm.tm_sec;
  local.weekday = tm.tm_wday;
  local.yearday = tm.tm_yday;
  local.is_dst = tm.tm_isdst;
  return local;
}

std::optional<int64_t> FromLocalTime(const LocalTime& local) {
  std::tm tm = ToTm(local);
  // mktime answers -1 both for an error and for one second before the epoch; a sentinel in a
  // field mktime always sets tells them apart.
  tm.tm_wday = -1;
  // mktime reads TZ by itself, as if by tzset.
  const std::time_t t = mktime(&tm);
  if (t == static_cast<std::time_t>(-1) && tm.tm_wday == -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  return static_cast<int64_t>(t);
}

std::string FormatTime(std::string_view pattern, const LocalTime& local, size_t buffer_size) {
  if (buffer_size == 0) return {};
  const std::string terminated(pattern);
  const std::tm tm = ToTm(local);
  std::vector<char> buffer(buffer_size);
  const size_t length = std::strftime(buffer.data(), buffer.size(), terminated.c_str(), &tm);
  return std::string(buffer.data(), length);
}

}  // namespace flowsentry::platform
