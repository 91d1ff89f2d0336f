// For tests: a real `scmd` on the current machine root (FLOWSENTRY_ROOT, normally a TempRoot),
// and the test service program. Not for use by two threads at once.
#ifndef FLOWSENTRY_SCMD_TESTING_SCM_FIXTURE_H_
#define FLOWSENTRY_SCMD_TESTING_SCM_FIXTURE_H_

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <string>
#include <string_view>

namespace flowsentry::scmd::testing {

// Host paths of the programs built with the tests.
std::string ScmdPath();
std::string TestServicePath();

class ScmFixture {
 public:
  ScmFixture() = default;
  // Stop(), if it runs.
  ~ScmFixture();
  ScmFixture(const ScmFixture&) = delete;
  ScmFixture& operator=(const ScmFixture&) = delete;

  // Starts scmd with this process's environment, its standard error into a file under the
  // machine root ("/var/log/scmd.err"), and waits until its socket answers (up to a minute, for
  // loaded machines). False when it exits or does not answer in time.
  bool Start();
  // Sends SIGTERM and waits for the exit; the exit code, or -1 when scmd did not run or was
  // killed by a signal.
  int Stop();
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // What scmd wrote to its standard error so far.
  std::string Output() const;

  // Makes `machine_path` under the current root a link to `host_program` (by default the test
  // service), so it can serve as a service's program path. False on failure.
  static bool InstallProgram(std::string_view machine_path,
                             const std::string& host_program = TestServicePath());

 private:
  pid_t pid_ = -1;
  std::string error_path_;
};

// Waits until `predicate` holds, checking every 10 ms, for at most `limit`. For state another
// process changes (a file it writes, a status it reports), which cannot be waited on directly.
template <typename Predicate>
bool WaitFor(Predicate predicate,
             std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace flowsentry::scmd::testing

#endif  // FLOWSENTRY_SCMD_TESTING_SCM_FIXTURE_H_
