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

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_FRAME_IO_H_
