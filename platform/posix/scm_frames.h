// The frames of the manager's socket and of a service's channel, read and written on a stream
// socket. Internal to platform/posix.
#ifndef FLOWSENTRY_PLATFORM_POSIX_SCM_FRAMES_H_
#define FLOWSENTRY_PLATFORM_POSIX_SCM_FRAMES_H_

#include <cstdint>
#include <optional>
#include <vector>

namespace flowsentry::platform::posix {

// Sends a whole frame (length field and body); false when the socket fails.
bool SendFrame(int fd, const std::vector<uint8_t>& frame);

// One frame's body; nullopt at the end of the stream, on an error or for an oversized body.
std::optional<std::vector<uint8_t>> ReadFrame(int fd);

}  // namespace flowsentry::platform::posix

#endif  // FLOWSENTRY_PLATFORM_POSIX_SCM_FRAMES_H_
