// For tests: sets TZ for the life of the object and restores it afterwards. The platform's time
// functions read TZ at every call, and POSIX zone strings ("CET-1CEST,M3.5.0,M10.5.0/3") need
// no zone database.
#ifndef FLOWSENTRY_PLATFORM_TESTING_SCOPED_TIME_ZONE_H_
#define FLOWSENTRY_PLATFORM_TESTING_SCOPED_TIME_ZONE_H_

#include <stdlib.h>

#include <string>

namespace flowsentry::platform::testing {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) {
      saved_ = old;
      had_ = true;
    }
    setenv("TZ", zone, 1);
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_SCOPED_TIME_ZONE_H_
