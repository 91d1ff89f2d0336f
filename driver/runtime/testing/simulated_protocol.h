// A protocol bound above the virtual adapters, driven by a test: it sends frames down, issues
// queries and sets, and collects what the virtual adapters indicate up (frames by either
// receive path, with the rest of a frame fetched by transfer-data when the look-ahead is
// short; status indications; receive- and status-complete counts).
//
// Safe from any thread. Waits give up after ten seconds and say so.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_PROTOCOL_H_
#define FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_PROTOCOL_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/runtime/frame_packet.h"
#include "driver/runtime/runtime.h"

namespace flowsentry::ndis {

class SimulatedProtocol final : public UpperProtocol {
 public:
  struct SendOptions {
    std::vector<size_t> chunks;  // buffer sizes of the sent packet
    uint32_t flags = 0;
    NDIS_PACKET_OOB_DATA oob;  // MediaSpecificInformation is replaced by media_specific
    NDIS_PACKET_EXTENSION extension;
    std::vector<uint8_t> media_specific;
  };

  enum class Path { kLookahead, kPacket };

  struct Received {
    std::u16string adapter;
    Path path = Path::kPacket;
    std::vector<uint8_t> frame;
    NDIS_MEDIUM indicated_as = NdisMedium802_3;
    std::vector<uint8_t> address;  // FDDI indications
    bool transferred = false;      // the rest came by transfer-data
    NDIS_STATUS packet_status = NDIS_STATUS_SUCCESS;
    uint32_t header_size = 0;
  };

  struct StatusEvent {
    std::u16string adapter;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    std::vector<uint8_t> buffer;
  };

  SimulatedProtocol();
  ~SimulatedProtocol() override;

  // UpperProtocol.
  void BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) override;
  void UnbindAdapter(VirtualAdapterBinding& binding) override;
  void SendComplete(VirtualAdapterBinding& binding, NDIS_PACKET* packet,
                    NDIS_STATUS status) override;
  void RequestComplete(VirtualAdapterBinding& binding,
                       const std::shared_ptr<UpperRequest>& request) override;
  NDIS_STATUS Receive(VirtualAdapterBinding& binding, const UpperReceive& receive) override;
  void ReceiveComplete(VirtualAdapterBinding& binding) override;
  int32_t ReceivePacket(VirtualAdapterBinding& binding, NDIS_PACKET* packet) override;
  void TransferDataComplete(VirtualAdapterBinding& binding, NDIS_PACKET* packet, NDIS_STATUS status,
                            uint32_t bytes_transferred) override;
  void Status(VirtualAdapterBinding& binding, NDIS_STATUS status, const void* buffer,
              uint32_t size) override;
  void StatusComplete(VirtualAdapterBinding& binding) override;

  // Virtual adapters this protocol is bound to now.
  std::vector<std::u16string> Adapters() const;
  std::shared_ptr<VirtualAdapterBinding> Binding(std::u16string_view adapter) const;
  bool WaitForAdapter(std::u16string_view adapter);
  bool WaitForAdapterGone(std::u16string_view adapter);

  // Sends one frame; false if not bound to `adapter` (nothing is sent then). The result comes
  // through send completion; SendAndWait waits for it (NDIS_STATUS_ADAPTER_NOT_FOUND if
  // unbound).
  bool Send(std::u16string_view adapter, std::vector<uint8_t> frame, const SendOptions& options);
  bool Send(std::u16string_view adapter, std::vector<uint8_t> frame) {
    return Send(adapter, std::move(frame), SendOptions());
  }
  NDIS_STATUS SendAndWait(std::u16string_view adapter, std::vector<uint8_t> frame,
                          const SendOptions& options);
  NDIS_STATUS SendAndWait(std::u16string_view adapter, std::vector<uint8_t> frame) {
    return SendAndWait(adapter, std::move(frame), SendOptions());
  }
  size_t SendsOutstanding() const;
  bool WaitForSendsCompleted();
  std::vector<NDIS_STATUS> SendResults() const;  // in completion order

  // Queries and sets; the request is complete when Wait returns true.
  std::shared_ptr<UpperRequest> Query(std::u16string_view adapter, NDIS_OID oid,
                                      uint32_t buffer_length);
  std::shared_ptr<UpperRequest> Set(std::u16string_view adapter, NDIS_OID oid,
                                    std::vector<uint8_t> data);
  bool IsComplete(const std::shared_ptr<UpperRequest>& request) const;
  bool Wait(const std::shared_ptr<UpperRequest>& request);

  // Whole packets indicated with a status other than NDIS_STATUS_RESOURCES are kept until
  // ReturnHeldPackets while this is set.
  void SetHoldPackets(bool hold);
  size_t ReturnHeldPackets();
  size_t HeldPackets() const;

  std::vector<Received> ReceivedFrames() const;
  bool WaitForReceived(size_t count);
  size_t ReceiveCompletes() const;
  std::vector<StatusEvent> Statuses() const;
  size_t StatusCompletes() const;
  void ClearObservations();

 private:
  struct Held {
    VirtualAdapterBinding* binding;
    NDIS_PACKET* packet;
  };
  struct PendingTransfer {
    std::unique_ptr<FramePacket> target;
    size_t received_index;
  };

  bool WaitFor(const std::function<bool()>& ready) const;
  std::shared_ptr<UpperRequest> Issue(std::u16string_view adapter,
                                      std::shared_ptr<UpperRequest> request);

  NDIS_HANDLE pool_ = nullptr;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<std::u16string, std::shared_ptr<VirtualAdapterBinding>, std::less<>> bindings_;
  std::map<NDIS_PACKET*, std::unique_ptr<FramePacket>> sends_;
  std::map<NDIS_PACKET*, std::vector<uint8_t>> media_specific_;
  std::vector<NDIS_STATUS> send_results_;
  std::vector<std::shared_ptr<UpperRequest>> completed_;
  bool hold_packets_ = false;
  std::vector<Held> held_;
  std::map<NDIS_PACKET*, PendingTransfer> transfers_;
  std::vector<Received> received_;
  size_t receive_completes_ = 0;
  std::vector<StatusEvent> statuses_;
  size_t status_completes_ = 0;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_TESTING_SIMULATED_PROTOCOL_H_
