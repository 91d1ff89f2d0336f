// Frames of the manager's wire format over a stream socket. Blocking; retries on EINTR.
#ifndef FLOWSENTRY_SCMD_FRAME_IO_H_
#define FLOWSENTRY_SCMD_FRAME_IO_H_

#include <cstdint>
#include <optional>
#include <vector>

namespace flowsentry::scmd {

// Writes the whole frame; false when the peer is gone. Never raises SIGPIPE.
bool SendFrame(int fd, const std::vector<uint8_t>& frame);

// One frame's body; nullopt at the end of the stream, on an error, or for a body that is empty
// or longer than the wire format allows (nothing of it is read then).
std::optional<std::vector<uint8_t>> ReadFrame(int fd);

// Closes a descriptor when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_FRAME_IO_H_
