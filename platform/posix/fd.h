// Helpers of the POSIX implementation: an owned file descriptor and whole-file reads, writes
// and folder creation on host paths.
//
// Internal, through the target platform_posix: for the platform's own POSIX implementation and
// for the code that stands beside it as the operating system of the emulated machine (the
// driver runtime, which is the driver's platform, and scmd, the service control manager), and
// for tests that play one of those. Nothing above the platform layer uses it: programs reach
// files and sockets through the platform's facility headers.
#ifndef FLOWSENTRY_PLATFORM_POSIX_FD_H_
#define FLOWSENTRY_PLATFORM_POSIX_FD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace flowsentry::platform::posix {

// Closes the descriptor it owns when destroyed.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// open(2) that retries on EINTR and always sets O_CLOEXEC.
int OpenRetrying(const std::string& path, int flags, int mode = 0666);

// Reads the whole file; the Windows code of the failure (and errno-derived) otherwise. These do
// not touch the thread's last error: callers decide what to report.
Win32Error ReadWholeFile(const std::string& host_path, std::string& contents);

// Writes all of `bytes` at the descriptor's position.
Win32Error WriteAll(int fd, std::string_view bytes);

// Stream sockets: sends all of `bytes` (no SIGPIPE), or receives exactly `length` bytes,
// retrying after signals; false at the end of the stream or on an error.
bool SendAll(int fd, const uint8_t* bytes, size_t length);
bool ReceiveExactly(int fd, uint8_t* data, size_t length);

// Replaces the file with `contents` atomically: a temporary file beside it, flushed, then
// renamed over it, so that a reader sees either the old file or the new one.
Win32Error ReplaceFileAtomically(const std::string& host_path, std::string_view contents);

// mkdir -p of a host path.
Win32Error MakeDirectories(const std::string& host_path);

// The Windows code for a path that does not exist: ERROR_PATH_NOT_FOUND when its folder is
// missing too, else ERROR_FILE_NOT_FOUND.
Win32Error NotFoundError(const std::string& host_path);

}  // namespace flowsentry::platform::posix

#endif  // FLOWSENTRY_PLATFORM_POSIX_FD_H_
