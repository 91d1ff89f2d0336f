#include "scmd/frame_io.h"

#include <sys/socket.h>

#include <cerrno>

#include "platform/posix/fd.h"
#include "platform/scm_wire.h"

namespace flowsentry::scmd {

bool SendFrame(int fd, const std::vector<uint8_t>& frame) {
  return platform::posix::SendAll(fd, frame.data(), frame.size());
}

std::optional<std::vector<uint8_t>> ReadFrame(int fd) {
  uint8_t length_field[platform::scm_wire::kLengthField];
  if (!platform::posix::ReceiveExactly(fd, length_field, sizeof length_field)) return std::nullopt;
  const uint32_t length = platform::scm_wire::BodyLength(length_field);
  if (length == 0 || length > platform::scm_wire::kMaxBody) return std::nullopt;
  std::vector<uint8_t> body(length);
  if (!platform::posix::ReceiveExactly(fd, body.data(), body.size())) return std::nullopt;
  return body;
}

}  // namespace flowsentry::scmd
