// A frame held as an NDIS packet: the bytes, the buffer descriptors over them, and the packet
// from a pool. Used for what the runtime's adapters (simulated, live, capture file), its host
// stack and the simulated protocol send or indicate; the packet goes back to its pool when the
// FramePacket is destroyed.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_FRAME_PACKET_H_
#define FLOWSENTRY_DRIVER_RUNTIME_FRAME_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/runtime/packet.h"

namespace flowsentry::ndis {

class FramePacket {
 public:
  // The frame in buffers of the sizes `chunks` gives (a zero makes an empty buffer), the rest
  // in one last buffer. Null when the pool has no packet left.
  static std::unique_ptr<FramePacket> Make(NDIS_HANDLE pool, std::vector<uint8_t> frame,
                                           const std::vector<size_t>& chunks = {});
  ~FramePacket();
  FramePacket(const FramePacket&) = delete;
  FramePacket& operator=(const FramePacket&) = delete;

  NDIS_PACKET* packet() const { return packet_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  FramePacket() = default;

  std::vector<uint8_t> bytes_;
  std::vector<NDIS_BUFFER> buffers_;
  NDIS_PACKET* packet_ = nullptr;
};

// The whole data of a packet's buffer chain.
std::vector<uint8_t> PacketBytes(NDIS_PACKET* packet);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_FRAME_PACKET_H_
