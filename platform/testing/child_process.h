// For tests: a program run as a child process, its standard error collected as it comes.
#ifndef FLOWSENTRY_PLATFORM_TESTING_CHILD_PROCESS_H_
#define FLOWSENTRY_PLATFORM_TESTING_CHILD_PROCESS_H_

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace flowsentry::platform::testing {

class ChildProcess {
 public:
  // Runs argv[0] (a path) with the test's environment; standard input and output are
  // /dev/null. Null when the process cannot be made.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv);
  // Kills the process if it still runs, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits until standard error holds `text` (true), the process closed it, or `limit` passed.
  bool WaitForOutput(std::string_view text,
                     std::chrono::milliseconds limit = std::chrono::seconds(30));
  std::string Output() const;

  void Signal(int signal_number) const;
  // Waits for the end: the exit status, or 128 + the signal that ended it.
  int Wait();

 private:
  ChildProcess() = default;

  int pid_ = -1;
  int stderr_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::thread reader_;
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::string output_;
  bool closed_ = false;
};

// Runs a command to its end and returns its exit status (-1 when it cannot be run); its output
// goes to /dev/null.
int RunQuietly(const std::vector<std::string>& argv);

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_CHILD_PROCESS_H_
