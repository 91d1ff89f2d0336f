#include "scmd/frame_io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/scm_wire.h"

namespace flowsentry::scmd {
namespace {

bool ReadExactly(int fd, uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t got = ::recv(fd, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool SendFrame(int fd, const std::vector<uint8_t>& frame) {
  size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t result = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    sent += static_cast<size_t>(result);
  }
  return true;
}

std::optional<std::vector<uint8_t>> ReadFrame(int fd) {
  uint8_t length_field[platform::scm_wire::kLengthField];
  if (!ReadExactly(fd, length_field, sizeof length_field)) return std::nullopt;
  const uint32_t length = platform::scm_wire::BodyLength(length_field);
  if (length == 0 || length > platform::scm_wire::kMaxBody) return std::nullopt;
  std::vector<uint8_t> body(length);
  if (!ReadExactly(fd, body.data(), body.size())) return std::nullopt;
  return body;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace flowsentry::scmd
