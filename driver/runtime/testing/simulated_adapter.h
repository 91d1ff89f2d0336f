// A lower adapter driven by a test: its medium, address and description, its answers to
// OIDs, whether opens, closes, requests, sends and transfers complete at once or pend until
// the test completes them, and the frames, status and power events it indicates.
//
// Every method is safe from any thread. Waits give up after ten seconds and say so, so that a
// broken test fails instead of hanging.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_ADAPTER_H_
#define FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_ADAPTER_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/runtime/frame_packet.h"
#include "driver/runtime/runtime.h"

namespace flowsentry::ndis {

class SimulatedAdapter final : public LowerAdapter {
 public:
  struct Config {
    std::string name = "sim0";
    NDIS_MEDIUM medium = NdisMedium802_3;
    std::array<uint8_t, 6> mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
    std::string vendor_description = "Simulated Ethernet Adapter";
    uint32_t mac_options = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA |
                           NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;
  };

  enum class Completion { kImmediate, kPending };

  // How a query answer meets a short buffer: kExact fails it with NDIS_STATUS_INVALID_LENGTH
  // and the bytes needed; kTruncate succeeds with what fits.
  enum class Fit { kExact, kTruncate };

  enum class ReceiveKind {
    kLookahead,            // header + look-ahead, no packet behind it
    kLookaheadWithPacket,  // header + look-ahead with the packet behind it
    kPacket,               // a whole packet (receive-packet)
    kPacketResources,      // a whole packet marked NDIS_STATUS_RESOURCES: it cannot be kept
  };

  struct ReceiveOptions {
    ReceiveKind kind = ReceiveKind::kPacket;
    // Look-ahead bytes behind the header (the rest must be transferred); default: all.
    uint32_t lookahead_limit = UINT32_MAX;
    std::vector<size_t> chunks;  // buffer sizes of the indicated packet
    bool complete = true;        // indicate receive-complete afterwards
  };

  // What one send carried down, as the adapter saw it.
  struct SentPacket {
    std::vector<uint8_t> frame;
    uint32_t flags = 0;
    NDIS_PACKET_OOB_DATA oob;
    NDIS_PACKET_EXTENSION extension;
    std::vector<uint8_t> media_specific;
  };

  struct SetRecord {
    NDIS_OID oid = 0;
    std::vector<uint8_t> data;
  };

  explicit SimulatedAdapter(Config config);
  ~SimulatedAdapter() override;

  // LowerAdapter.
  const std::string& Name() const override { return config_.name; }
  NDIS_MEDIUM Medium() const override { return config_.medium; }
  NDIS_STATUS Open(const std::shared_ptr<AdapterEdge>& edge) override;
  NDIS_STATUS Close(AdapterEdge& edge) override;
  NDIS_STATUS Request(AdapterEdge& edge, NDIS_REQUEST* request) override;
  NDIS_STATUS Send(AdapterEdge& edge, NDIS_PACKET* packet) override;
  NDIS_STATUS TransferData(AdapterEdge& edge, ReceiveIndication* indication, uint32_t byte_offset,
                           uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                           uint32_t* bytes_transferred) override;
  void PacketReturned(NDIS_PACKET* packet) override;

  // Script.
  void SetOpenCompletion(Completion completion, NDIS_STATUS result = NDIS_STATUS_SUCCESS);
  void SetCloseCompletion(Completion completion, NDIS_STATUS result = NDIS_STATUS_SUCCESS);
  void SetRequestCompletion(Completion completion);
  void SetSendCompletion(Completion completion, NDIS_STATUS result = NDIS_STATUS_SUCCESS);
  void SetTransferCompletion(Completion completion);
  void SetOidAnswer(NDIS_OID oid, std::vector<uint8_t> data, Fit fit = Fit::kExact);
  void SetOidStatus(NDIS_OID oid, NDIS_STATUS status);  // the answer is this status

  // Pending operations, completed in the order they pended; each returns how many it finished.
  size_t CompletePendingOpens();
  size_t CompletePendingCloses();
  size_t CompletePendingRequests();
  size_t CompletePendingSends();
  size_t CompletePendingTransfers();
  bool WaitForPendingOpens(size_t count);
  bool WaitForPendingCloses(size_t count);
  bool WaitForPendingRequests(size_t count);
  bool WaitForPendingSends(size_t count);
  size_t PendingSends() const;
  size_t PendingRequests() const;

  // Indications. Each returns how many opens it reached.
  size_t Receive(const std::vector<uint8_t>& frame, const ReceiveOptions& options);
  size_t IndicateStatus(NDIS_STATUS status, std::vector<uint8_t> buffer = {});
  size_t MediaConnect() { return IndicateStatus(NDIS_STATUS_MEDIA_CONNECT); }
  size_t MediaDisconnect() { return IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT); }
  // A set-power PnP event to every open; returns the last status.
  NDIS_STATUS SetPower(NDIS_DEVICE_POWER_STATE state);

  // Observations.
  std::vector<SentPacket> Sent() const;
  std::vector<std::vector<uint8_t>> SentFrames() const;
  uint64_t FramesSent() const;  // sends taken, pending ones included
  uint64_t FramesReceived() const { return received_.load(); }  // received by one open at least
  std::vector<SetRecord> Sets() const;
  std::vector<NDIS_OID> Queries() const;
  size_t HeldPackets() const;  // indicated packets not yet given back
  size_t OpenEdges() const;
  uint32_t HeaderSize() const;

 private:
  struct Answer {
    std::vector<uint8_t> data;
    Fit fit = Fit::kExact;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  };
  struct PendingSend {
    AdapterEdge* edge;
    NDIS_PACKET* packet;
  };
  struct PendingRequest {
    AdapterEdge* edge;
    NDIS_REQUEST* request;
  };
  struct PendingTransfer {
    AdapterEdge* edge;
    NDIS_PACKET* packet;
    std::vector<uint8_t> bytes;
  };
  struct Indicated {
    std::unique_ptr<FramePacket> frame;
    ReceiveIndication indication;
    uint32_t header_size = 0;
  };

  NDIS_STATUS Answer(NDIS_REQUEST* request);
  bool WaitFor(const std::function<bool()>& ready) const;
  std::vector<std::shared_ptr<AdapterEdge>> Edges() const;

  const Config config_;
  NDIS_HANDLE pool_ = nullptr;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<std::shared_ptr<AdapterEdge>> edges_;
  Completion open_completion_ = Completion::kImmediate;
  NDIS_STATUS open_result_ = NDIS_STATUS_SUCCESS;
  Completion close_completion_ = Completion::kImmediate;
  NDIS_STATUS close_result_ = NDIS_STATUS_SUCCESS;
  Completion request_completion_ = Completion::kImmediate;
  Completion send_completion_ = Completion::kImmediate;
  NDIS_STATUS send_result_ = NDIS_STATUS_SUCCESS;
  Completion transfer_completion_ = Completion::kImmediate;
  std::map<NDIS_OID, struct Answer> answers_;
  std::deque<std::shared_ptr<AdapterEdge>> pending_opens_;
  std::deque<AdapterEdge*> pending_closes_;
  std::deque<PendingRequest> pending_requests_;
  std::deque<PendingSend> pending_sends_;
  std::deque<PendingTransfer> pending_transfers_;
  std::map<NDIS_PACKET*, std::unique_ptr<Indicated>> held_;
  std::vector<SentPacket> sent_;
  std::vector<SetRecord> sets_;
  std::vector<NDIS_OID> queries_;
  std::atomic<uint64_t> received_{0};
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_ADAPTER_H_
