#include "driver/runtime/frame_packet.h"

namespace flowsentry::ndis {

std::unique_ptr<FramePacket> FramePacket::Make(NDIS_HANDLE pool, std::vector<uint8_t> frame,
                                               const std::vector<size_t>& chunks) {
  std::unique_ptr<FramePacket> result(new FramePacket);
  NDIS_STATUS status;
  NdisAllocatePacket(&status, &result->packet_, pool);
  if (status != NDIS_STATUS_SUCCESS) return nullptr;
  result->bytes_ = std::move(frame);
  const size_t total = result->bytes_.size();
  if (chunks.empty()) {
    // The usual case, one buffer over the whole frame, without the list of pieces.
    result->buffers_.resize(1);
    NDIS_BUFFER& b = result->buffers_[0];
    b.VirtualAddress = result->bytes_.data();
    b.ByteCount = static_cast<uint32_t>(total);
    NdisChainBufferAtBack(result->packet_, &b);
    return result;
  }
  size_t offset = 0;
  std::vector<std::pair<size_t, size_t>> pieces;
  for (size_t chunk : chunks) {
    size_t take = std::min(chunk, total - offset);
    pieces.emplace_back(offset, take);
    offset += take;
  }
  if (offset < total || pieces.empty()) pieces.emplace_back(offset, total - offset);
  // The descriptors must not move once chained.
  result->buffers_.resize(pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    NDIS_BUFFER& b = result->buffers_[i];
    b.VirtualAddress = result->bytes_.data() + pieces[i].first;
    b.ByteCount = static_cast<uint32_t>(pieces[i].second);
    NdisChainBufferAtBack(result->packet_, &b);
  }
  return result;
}

FramePacket::~FramePacket() {
  if (packet_ != nullptr) NdisFreePacket(packet_);
}

std::vector<uint8_t> PacketBytes(NDIS_PACKET* packet) {
  uint32_t total = 0;
  NdisQueryPacket(packet, nullptr, nullptr, nullptr, &total);
  std::vector<uint8_t> bytes(total);
  bytes.resize(CopyFromPacket(packet, 0, bytes.data(), total));
  return bytes;
}

}  // namespace flowsentry::ndis
