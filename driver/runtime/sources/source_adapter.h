// A lower adapter fed by an adapter source (a live interface, a capture file): it answers
// queries and sets from its profile, completes sends at once without transmitting (the frames
// it is given to send were already sent by the host, or were recorded in a file), and
// indicates received frames as whole packets on every open.
//
// Every method is safe from any thread.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SOURCE_ADAPTER_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SOURCE_ADAPTER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "driver/runtime/frame_packet.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_profile.h"

namespace flowsentry::ndis {

// One frame as a source got it: the bytes it has, and the frame's length on the wire (above
// the bytes' count when a capture cut the frame short).
struct SourceFrame {
  std::span<const uint8_t> bytes;
  uint32_t length = 0;
};

// The frame the runtime is handed: the bytes as captured, filled up with zeros to the length
// on the wire so that the frame keeps its length, all cut to kMaxFrameLength.
std::vector<uint8_t> FrameForRuntime(const SourceFrame& frame);
// The same into `bytes`, whose storage is reused.
void FrameForRuntime(const SourceFrame& frame, std::vector<uint8_t>& bytes);

class SourceAdapter final : public LowerAdapter {
 public:
  SourceAdapter(std::string name, AdapterProfile profile);
  ~SourceAdapter() override;

  // LowerAdapter.
  const std::string& Name() const override { return name_; }
  NDIS_MEDIUM Medium() const override { return medium_; }
  NDIS_STATUS Open(const std::shared_ptr<AdapterEdge>& edge) override;
  NDIS_STATUS Close(AdapterEdge& edge) override;
  NDIS_STATUS Request(AdapterEdge& edge, NDIS_REQUEST* request) override;
  NDIS_STATUS Send(AdapterEdge& edge, NDIS_PACKET* packet) override;
  NDIS_STATUS TransferData(AdapterEdge& edge, ReceiveIndication* indication, uint32_t byte_offset,
                           uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                           uint32_t* bytes_transferred) override;
  void PacketReturned(NDIS_PACKET* packet) override;

  // Indicates the frame on every open as a whole packet (the receive-packet path); returns how
  // many opens it reached. The capture step of a driver above runs on the calling thread.
  size_t IndicateFrame(const SourceFrame& frame);

  // Indicates media connect or disconnect on every open when the state changes.
  void SetConnected(bool connected);
  bool Connected() const;

  // A new current address (the interface's was changed).
  void SetMac(const MacAddress& mac);
  AdapterProfile Profile() const;
  AdapterCounters Counters() const;
  size_t OpenEdges() const;

 private:
  std::vector<std::shared_ptr<AdapterEdge>> Edges() const;
  AdapterCounters CountersLocked() const;  // under mu_

  const std::string name_;
  const NDIS_MEDIUM medium_;
  NDIS_HANDLE pool_ = nullptr;
  mutable std::mutex mu_;
  AdapterProfile profile_;
  AdapterCounters counters_;  // but for sent
  std::atomic<uint64_t> sent_{0};
  AdapterSettings settings_;
  std::vector<std::shared_ptr<AdapterEdge>> edges_;
  std::map<NDIS_PACKET*, std::unique_ptr<FramePacket>> held_;  // kept by a protocol above
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SOURCE_ADAPTER_H_
