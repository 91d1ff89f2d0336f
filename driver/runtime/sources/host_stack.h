// The host's own network stack as the runtime sees it: a protocol bound above every virtual
// adapter. Frames the host sent (seen by a live capture, or recorded in a file as sent) enter
// the driver through it, down a virtual adapter's send path; what the virtual adapters indicate
// up is accepted and dropped, since the real host has those frames already.
//
// Safe from any thread.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_HOST_STACK_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_HOST_STACK_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "driver/runtime/frame_packet.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/source_adapter.h"

namespace flowsentry::ndis {

class HostStack final : public UpperProtocol {
 public:
  // `protocol` names the intermediate driver whose virtual adapters sit above the sources'
  // adapters: the virtual adapter above lower adapter A is the one its binding configuration's
  // "UpperBindings" value names (Runtime::ProtocolConfigurationKey), by default
  // Runtime::DefaultUpperBindings(protocol, A).
  explicit HostStack(std::string protocol);
  ~HostStack() override;
  HostStack(const HostStack&) = delete;
  HostStack& operator=(const HostStack&) = delete;

  // Passes the frame down the virtual adapter above `lower_adapter`; the driver's send path runs
  // on the calling thread. False (nothing is sent) when no virtual adapter is bound there.
  bool Send(std::string_view lower_adapter, const SourceFrame& frame);

  // Whether a virtual adapter above `lower_adapter` is bound, and its name.
  bool IsBound(std::string_view lower_adapter);
  std::u16string VirtualAdapterName(std::string_view lower_adapter);

  size_t SendsOutstanding() const;
  uint64_t SendsFailed() const;  // completed with a failing status

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

 private:
  // A frame on its way down a virtual adapter, or kept for a later send with its storage and
  // its packet; the packet's protocol-reserved space points back at it.
  struct SentFrame {
    std::vector<uint8_t> bytes;
    NDIS_BUFFER buffer;
    NDIS_PACKET* packet = nullptr;  // from pool_, once a send has had one
    SentFrame* next_free = nullptr;
  };
  // The virtual adapter above one lower adapter: its name, and its binding while bound.
  struct Upper {
    std::u16string name;
    std::shared_ptr<VirtualAdapterBinding> binding;
  };
  enum class Lookup { kUnknown, kUnbound, kBound };

  std::shared_ptr<VirtualAdapterBinding> BindingAbove(std::string_view lower_adapter);
  // Under mu_: the binding above a lower adapter whose name is known, and a frame to fill.
  Lookup ReserveLocked(std::string_view lower_adapter,
                       std::shared_ptr<VirtualAdapterBinding>& binding, SentFrame*& sent);
  void ReleaseLocked(SentFrame* sent);

  const std::string protocol_;
  NDIS_HANDLE pool_ = nullptr;
  mutable std::mutex mu_;
  std::map<std::u16string, std::shared_ptr<VirtualAdapterBinding>, std::less<>> bindings_;
  std::map<std::string, Upper, std::less<>> uppers_;  // by lower adapter
  std::vector<std::unique_ptr<SentFrame>> frames_;    // every frame ever made
  SentFrame* free_frames_ = nullptr;
  size_t sends_outstanding_ = 0;
  uint64_t sends_failed_ = 0;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_HOST_STACK_H_
