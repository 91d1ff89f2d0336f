#include "platform/posix/scm_frames.h"

#include "platform/posix/fd.h"
#include "platform/scm_wire.h"

namespace flowsentry::platform::posix {

bool SendFrame(int fd, const std::vector<uint8_t>& frame) {
  return SendAll(fd, frame.data(), frame.size());
}

std::optional<std::vector<uint8_t>> ReadFrame(int fd) {
  uint8_t length_field[scm_wire::kLengthField];
  if (!ReceiveExactly(fd, length_field, sizeof length_field)) return std::nullopt;
  const uint32_t length = scm_wire::BodyLength(length_field);
  if (length == 0 || length > scm_wire::kMaxBody) return std::nullopt;
  std::vector<uint8_t> body(length);
  if (!ReceiveExactly(fd, body.data(), body.size())) return std::nullopt;
  return body;
}

}  // namespace flowsentry::platform::posix
