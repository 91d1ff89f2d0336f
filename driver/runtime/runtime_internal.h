// The runtime's own objects behind the handles it gives a driver, shared by its files: the
// registration blocks (registration.cpp), the opens of lower adapters (adapter_open.cpp), the
// virtual adapters (virtual_adapter.cpp) and the host's side (runtime.cpp). Not for drivers,
// adapter sources or hosts.
//
// Runtime::Impl::mu guards the runtime's lists; each open and each virtual adapter has a lock
// of its own, taken after Impl::mu when both are held. An adapter's pnp lock serializes its
// binds and unbinds and is taken before either.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_INTERNAL_H_
#define FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_INTERNAL_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/runtime/ndis.h"
#include "driver/runtime/runtime.h"

namespace flowsentry::ndis {
namespace detail {

// Added to a packet's return count while it is being indicated, so that a holder returning it
// during the indication cannot bring the count to zero before the indicator has added the
// references the protocols took.
inline constexpr int32_t kIndicationBias = 1 << 20;

struct WrapperBlock {
  Runtime::Impl* rt = nullptr;
  ddk::DRIVER_OBJECT* driver_object = nullptr;
  DRIVER_UNLOAD unload = nullptr;
};

struct MiniportDriverBlock {
  Runtime::Impl* rt = nullptr;
  WrapperBlock* wrapper = nullptr;
  NDIS_MINIPORT_CHARACTERISTICS chars;
  NDIS_HANDLE associated_protocol = nullptr;
};

struct ProtocolBlock {
  Runtime::Impl* rt = nullptr;
  NDIS_PROTOCOL_CHARACTERISTICS chars;
  std::string name;
};

class OpenBlock;
class MiniportBlock;
class BindingImpl;

struct AdapterEntry {
  std::shared_ptr<LowerAdapter> adapter;
  OwnedNdisString device_name;
  std::mutex pnp;                                 // serializes binds and unbinds of this adapter
  bool removing = false;                          // guarded by Impl::mu
  std::vector<std::shared_ptr<OpenBlock>> opens;  // guarded by Impl::mu
};

// The runtime whose driver entry runs on this thread, for NdisRegisterProtocol, which names no
// wrapper. Null outside a driver entry.
Runtime::Impl* LoadingRuntime();

// Makes `rt` the loading runtime of this thread for the scope's life (nests).
class DriverEntryScope {
 public:
  explicit DriverEntryScope(Runtime::Impl* rt);
  ~DriverEntryScope();
  DriverEntryScope(const DriverEntryScope&) = delete;
  DriverEntryScope& operator=(const DriverEntryScope&) = delete;

 private:
  Runtime::Impl* previous_;
};

}  // namespace detail

struct Runtime::Impl {
  mutable std::mutex mu;
  ddk::DRIVER_OBJECT driver_object;
  OwnedNdisString registry_path;
  std::unique_ptr<detail::WrapperBlock> wrapper;
  bool loaded = false;
  std::vector<std::unique_ptr<detail::MiniportDriverBlock>> miniport_drivers;
  std::vector<std::unique_ptr<detail::ProtocolBlock>> protocols;
  std::vector<std::shared_ptr<detail::AdapterEntry>> adapters;
  std::vector<std::shared_ptr<detail::MiniportBlock>> instances;
  std::vector<UpperProtocol*> uppers;
  ddk::DeviceHost* device_host = nullptr;
  bool defer_initialization = false;
  std::vector<NDIS_MEDIUM> offered_media;

  // Opens of lower adapters (adapter_open.cpp).
  std::shared_ptr<detail::AdapterEntry> FindAdapterByDevice(std::u16string_view device_name);
  void ForgetOpen(detail::OpenBlock* open);
  // Every open of the adapter when `protocol` is null.
  std::vector<std::shared_ptr<detail::OpenBlock>> OpensOf(const detail::AdapterEntry& entry,
                                                          const detail::ProtocolBlock* protocol);
  // Bind and UnbindAll are called with the adapter's pnp lock held.
  void Bind(detail::ProtocolBlock* protocol, const std::shared_ptr<detail::AdapterEntry>& entry);
  void UnbindAll(const std::shared_ptr<detail::AdapterEntry>& entry);

  // Virtual adapters (virtual_adapter.cpp).
  std::shared_ptr<detail::MiniportBlock> FindInstance(const void* block);
  void ForgetInstance(const detail::MiniportBlock* block);
  NDIS_STATUS RunInitialize(const std::shared_ptr<detail::MiniportBlock>& block);
  void BindUpper(const std::shared_ptr<detail::MiniportBlock>& block, UpperProtocol* upper);

  // The host's side (runtime.cpp).
  std::vector<detail::ProtocolBlock*> Protocols();
};

namespace detail {

// One open of a lower adapter by a protocol: the binding handle the protocol gets, and the
// edge the adapter indicates on. Indications run only while the open is established, and a
// close waits for those in progress.
class OpenBlock final : public AdapterEdge, public std::enable_shared_from_this<OpenBlock> {
 public:
  enum class State { kOpening, kOpen, kClosing, kClosed };

  OpenBlock(Runtime::Impl* rt, ProtocolBlock* protocol, NDIS_HANDLE context,
            std::shared_ptr<AdapterEntry> entry)
      : rt_(rt), protocol_(protocol), context_(context), entry_(std::move(entry)) {}

  ProtocolBlock* protocol() const { return protocol_; }
  NDIS_HANDLE context() const { return context_; }
  LowerAdapter& adapter() const { return *entry_->adapter; }

  State state() const {
    std::lock_guard lock(mu_);
    return state_;
  }
  void SetState(State state) {
    std::lock_guard lock(mu_);
    state_ = state;
  }

  // Stops new indications and waits for those in progress.
  void BeginClose();

  void CompleteOpen(NDIS_STATUS status) override;
  void CompleteClose(NDIS_STATUS status) override;
  void CompleteRequest(NDIS_REQUEST* request, NDIS_STATUS status) override;
  void CompleteSend(NDIS_PACKET* packet, NDIS_STATUS status) override;
  void CompleteTransferData(NDIS_PACKET* packet, NDIS_STATUS status,
                            uint32_t bytes_transferred) override;
  bool IndicateReceive(ReceiveIndication* indication, const void* header_buffer,
                       uint32_t header_buffer_size, const void* lookahead_buffer,
                       uint32_t lookahead_buffer_size, uint32_t packet_size) override;
  bool IndicateReceiveComplete() override;
  bool IndicateReceivePacket(NDIS_PACKET* packet, bool* delivered) override;
  bool IndicateStatus(NDIS_STATUS status, const void* buffer, uint32_t size) override;
  bool IndicateStatusComplete() override;
  NDIS_STATUS IndicatePnPEvent(NET_PNP_EVENT* event) override;

 private:
  bool Enter();
  void Leave();

  Runtime::Impl* rt_;
  ProtocolBlock* protocol_;
  NDIS_HANDLE context_;
  std::shared_ptr<AdapterEntry> entry_;
  mutable std::mutex mu_;
  std::condition_variable drained_;
  State state_ = State::kOpening;
  int active_ = 0;
};

inline OpenBlock* OpenOf(NDIS_HANDLE handle) { return static_cast<OpenBlock*>(handle); }

// A virtual adapter of the driver's miniport edge (the miniport adapter handle), from its
// device instance to its halt. Requests from the protocols above reach the miniport one at a
// time; the halt waits for calls, sends and the request in progress.
class MiniportBlock final : public ReturnRoute {
 public:
  enum class State { kPending, kInitializing, kRunning, kHalting, kHalted };

  struct QueuedRequest {
    std::shared_ptr<BindingImpl> binding;
    std::shared_ptr<UpperRequest> request;
  };

  MiniportBlock(Runtime::Impl* rt, MiniportDriverBlock* driver, std::u16string name,
                NDIS_HANDLE device_context)
      : rt(rt), driver(driver), name(std::move(name)), device_context(device_context) {}

  Runtime::Impl* const rt;
  MiniportDriverBlock* const driver;
  const OwnedNdisString name;
  const NDIS_HANDLE device_context;
  // Set by NdisMSetAttributesEx and the initialize result, before the adapter runs.
  NDIS_HANDLE adapter_context = nullptr;
  uint32_t attribute_flags = 0;
  NDIS_MEDIUM medium = NdisMedium802_3;

  std::mutex mu;
  std::condition_variable idle;
  State state = State::kPending;
  int calls = 0;  // handler calls and upward deliveries in progress
  int sends = 0;  // packets handed to the send handler and not yet completed
  std::deque<QueuedRequest> requests;
  std::optional<QueuedRequest> current;
  bool current_returned = false;
  bool current_completed = false;
  std::vector<std::shared_ptr<BindingImpl>> bindings;

  bool Enter() {
    std::lock_guard lock(mu);
    if (state != State::kRunning) return false;
    ++calls;
    return true;
  }
  void Leave() {
    std::lock_guard lock(mu);
    if (--calls == 0) idle.notify_all();
  }
  std::vector<std::shared_ptr<BindingImpl>> Bindings() {
    std::lock_guard lock(mu);
    return bindings;
  }

  void PacketReturned(NDIS_PACKET* packet) override {
    driver->chars.ReturnPacketHandler(adapter_context, packet);
  }

  void StartRequests();
  void CompleteCurrent(NDIS_STATUS status);
  void Deliver(QueuedRequest finished);
  NDIS_STATUS DeInitialize();
};

inline MiniportBlock* BlockOf(NDIS_HANDLE handle) { return static_cast<MiniportBlock*>(handle); }

// One protocol bound above one virtual adapter.
class BindingImpl final : public VirtualAdapterBinding,
                          public std::enable_shared_from_this<BindingImpl> {
 public:
  BindingImpl(std::shared_ptr<MiniportBlock> block, UpperProtocol* upper)
      : block_(std::move(block)), upper_(upper) {}

  MiniportBlock& block() const { return *block_; }
  UpperProtocol* upper() const { return upper_; }

  const std::u16string& Name() const override { return block_->name.text(); }
  NDIS_MEDIUM Medium() const override { return block_->medium; }
  uint32_t AttributeFlags() const override { return block_->attribute_flags; }

  void SendPackets(NDIS_PACKET** packets, uint32_t count) override;
  void Request(const std::shared_ptr<UpperRequest>& request) override;
  NDIS_STATUS TransferData(NDIS_HANDLE receive_context, uint32_t byte_offset,
                           uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                           uint32_t* bytes_transferred) override;
  void ReturnPacket(NDIS_PACKET* packet) override { NdisReturnPackets(&packet, 1); }

 private:
  std::shared_ptr<MiniportBlock> block_;
  UpperProtocol* upper_;
};

}  // namespace detail
}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_RUNTIME_INTERNAL_H_
