#include "platform/process.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/root.h"

extern char** environ;

namespace flowsentry::platform {
namespace {

// Windows' answer for a file that is not a program; errors.h has no name for it.
constexpr Win32Error kErrorBadExeFormat = 193;

// What the grandchild reports through the pipe when it cannot become the program.
enum Stage : int { kForkStage = 1, kDirectoryStage = 2, kExecStage = 3 };

struct ChildFailure {
  int stage;
  int error_number;
};

// Only async-signal-safe calls from here on: the caller may have other threads, and a forked
// child of a threaded process may not allocate or take locks.
[[noreturn]] void ReportAndExit(int pipe_fd, Stage stage, int error_number) {
  const ChildFailure failure{stage, error_number};
  ssize_t ignored = ::write(pipe_fd, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

// No descriptor of the caller is inherited but the standard streams (on /dev/null) and the
// report pipe, which closes itself at exec.
void CloseInheritedDescriptors(int keep) {
  const bool closed =
      (keep <= 3 || ::close_range(3, keep - 1, 0) == 0) && ::close_range(keep + 1, ~0U, 0) == 0;
  if (!closed) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    const int last = limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
    for (int fd = 3; fd < last; ++fd) {
      if (fd != keep) ::close(fd);
    }
  }
}

[[noreturn]] void BecomeProgram(int pipe_fd, const char* program, char* const argv[],
                                const char* directory) {
  if (directory != nullptr && ::chdir(directory) != 0) {
    ReportAndExit(pipe_fd, kDirectoryStage, errno);
  }
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    if (null_fd > 2) ::close(null_fd);
  }
  CloseInheritedDescriptors(pipe_fd);
  // The program starts as a fresh process would: no blocked signals, default handlers (ignored
  // signals would otherwise stay ignored across exec).
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    ::signal(signal_number, SIG_DFL);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(program, argv, environ);
  ReportAndExit(pipe_fd, kExecStage, errno);
}

std::string HostCurrentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return {};
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

// `path` with `root` taken off the front, or nullopt when it does not lie under it.
std::optional<std::string> BelowRoot(const std::string& path, const std::string& root) {
  if (root == "/") return path;
  if (path == root) return std::string("/");
  if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
      path[root.size()] == '/') {
    return path.substr(root.size());
  }
  return std::nullopt;
}

bool Fail(Win32Error error) {
  SetLastError(error);
  return false;
}

}  // namespace

bool CreateDetachedProcess(std::string_view machine_program,
                           const std::vector<std::string>& arguments,
                           std::string_view current_directory) {
  if (machine_program.empty()) return Fail(ERROR_INVALID_PARAMETER);

  // Everything the children need is made here, before fork, where allocating is allowed.
  std::string program = HostPath(machine_program);
  if (program.front() != '/') {
    // A relative program is found from the caller's directory, not from the new one.
    program = HostCurrentDirectory() + "/" + program;
  }
  std::vector<std::string> argument_copies = arguments;
  std::vector<char*> argv = {program.data()};
  for (std::string& argument : argument_copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string directory =
      current_directory.empty() ? std::string() : HostPath(current_directory);
  const char* directory_arg = directory.empty() ? nullptr : directory.c_str();

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  posix::Fd read_end(pipe_fds[0]);
  posix::Fd write_end(pipe_fds[1]);

  // Two forks: the middle child starts a session of its own and ends at once, so the program is
  // adopted by init (never left a zombie of ours) and has no controlling terminal.
  const pid_t middle = ::fork();
  if (middle < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (middle == 0) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) ReportAndExit(write_end.get(), kForkStage, errno);
    if (grandchild == 0) {
      BecomeProgram(write_end.get(), argv[0], argv.data(), directory_arg);
    }
    ::_exit(0);
  }
  write_end.Reset();
  int wait_status = 0;
  while (::waitpid(middle, &wait_status, 0) < 0 && errno == EINTR) {
  }

  // The pipe reaches its end when exec succeeded (close-on-exec) or when the grandchild wrote
  // its failure and ended.
  ChildFailure failure{};
  size_t got = 0;
  while (got < sizeof failure) {
    const ssize_t n =
        ::read(read_end.get(), reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof failure) {
    SetLastError(ERROR_SUCCESS);
    return true;
  }
  switch (failure.stage) {
    case kDirectoryStage:
      // CreateProcess names a current directory that cannot be entered ERROR_DIRECTORY; the
      // closest code the callers know is that the path was not found.
      if (failure.error_number == ENOENT || failure.error_number == ENOTDIR) {
        return Fail(ERROR_PATH_NOT_FOUND);
      }
      break;
    case kExecStage:
      if (failure.error_number == ENOENT) return Fail(posix::NotFoundError(program));
      if (failure.error_number == ENOEXEC) return Fail(kErrorBadExeFormat);
      break;
    default:
      break;
  }
  SetLastErrorFromErrno(failure.error_number);
  return false;
}

std::optional<std::string> GetCurrentMachineDirectory() {
  const std::string current = HostCurrentDirectory();
  if (current.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  const std::string root = MachineRoot();
  if (auto below = BelowRoot(current, root)) return below;
  // getcwd answers with symbolic links resolved; the root may be named through one.
  if (char* resolved = ::realpath(root.c_str(), nullptr); resolved != nullptr) {
    const std::string real_root = resolved;
    ::free(resolved);
    if (auto below = BelowRoot(current, real_root)) return below;
  }
  SetLastError(ERROR_PATH_NOT_FOUND);
  return std::nullopt;
}

uint32_t GetTickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace flowsentry::platform
