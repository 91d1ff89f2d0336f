// For tests: the emulated machine's clock, in builds with the tests. Set, it is what Now()
// answers in every process of the machine under the current FLOWSENTRY_ROOT (the test's own and
// the programs it starts, also those that run already), and it stands still until set again.
// Destroyed, it gives the machine back the system clock.
#ifndef FLOWSENTRY_PLATFORM_TESTING_TEST_CLOCK_H_
#define FLOWSENTRY_PLATFORM_TESTING_TEST_CLOCK_H_

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/root.h"

namespace flowsentry::platform::testing {

class TestClock {
 public:
  explicit TestClock(int64_t now) : path_(LocationPath(Location::kTestClock)) { Set(now); }
  ~TestClock() { std::remove(path_.c_str()); }
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  // False when the file cannot be written.
  bool Set(int64_t now) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), error);
    // Written beside and renamed over, so that a reader never sees half a number.
    const std::string temporary = path_ + ".new";
    {
      std::ofstream file(temporary, std::ios::trunc);
      file << now << '\n';
      if (!file.flush()) return false;
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0) return false;
    now_ = now;
    return true;
  }
  bool Advance(int64_t seconds) { return Set(now_ + seconds); }
  int64_t now() const { return now_; }

 private:
  std::string path_;
  int64_t now_ = 0;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_TEST_CLOCK_H_
