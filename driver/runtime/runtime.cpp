#include "driver/runtime/runtime.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/registry.h"
#include "shared/little_endian.h"

namespace flowsentry::ndis {

using Impl = Runtime::Impl;

namespace {

// Added to a packet's return count while it is being indicated, so that a holder returning it
// during the indication cannot bring the count to zero before the indicator has added the
// references the protocols took.
constexpr int32_t kIndicationBias = 1 << 20;

constexpr char16_t kDevicePrefix[] = u"\\Device\\";

// The runtime whose driver entry runs on this thread (see NdisRegisterProtocol).
thread_local Impl* loading_runtime = nullptr;
Impl* LoadingRuntime() { return loading_runtime; }

struct WrapperBlock {
  Impl* rt = nullptr;
  ddk::DRIVER_OBJECT* driver_object = nullptr;
  DRIVER_UNLOAD unload = nullptr;
};

struct MiniportDriverBlock {
  Impl* rt = nullptr;
  WrapperBlock* wrapper = nullptr;
  NDIS_MINIPORT_CHARACTERISTICS chars;
  NDIS_HANDLE associated_protocol = nullptr;
};

struct ProtocolBlock {
  Impl* rt = nullptr;
  NDIS_PROTOCOL_CHARACTERISTICS chars;
  std::string name;
};

struct DeviceBlock {
  ddk::DeviceHost* host = nullptr;
  ddk::DeviceObject* device = nullptr;
};

struct ConfigBlock {
  platform::RegistryKey key;
  std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> parameters;
  std::vector<std::unique_ptr<std::u16string>> strings;
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

}  // namespace

struct Runtime::Impl {
  mutable std::mutex mu;
  ddk::DRIVER_OBJECT driver_object;
  OwnedNdisString registry_path;
  std::unique_ptr<WrapperBlock> wrapper;
  bool loaded = false;
  std::vector<std::unique_ptr<MiniportDriverBlock>> miniport_drivers;
  std::vector<std::unique_ptr<ProtocolBlock>> protocols;
  std::vector<std::shared_ptr<AdapterEntry>> adapters;
  std::vector<std::shared_ptr<MiniportBlock>> instances;
  std::vector<UpperProtocol*> uppers;
  ddk::DeviceHost* device_host = nullptr;
  bool defer_initialization = false;
  std::vector<NDIS_MEDIUM> offered_media;

  std::shared_ptr<AdapterEntry> FindAdapterByDevice(std::u16string_view device_name);
  void ForgetOpen(OpenBlock* open);
  std::vector<std::shared_ptr<OpenBlock>> OpensOf(const AdapterEntry& entry,
                                                  const ProtocolBlock* protocol);
  std::vector<ProtocolBlock*> Protocols();
  void Bind(ProtocolBlock* protocol, const std::shared_ptr<AdapterEntry>& entry);
  void UnbindAll(const std::shared_ptr<AdapterEntry>& entry);
  std::shared_ptr<MiniportBlock> FindInstance(const void* block);
  void ForgetInstance(const MiniportBlock* block);
  NDIS_STATUS RunInitialize(const std::shared_ptr<MiniportBlock>& block);
  void BindUpper(const std::shared_ptr<MiniportBlock>& block, UpperProtocol* upper);
};

namespace {

// ----- Lower adapter opens -------------------------------------------------------------------

class OpenBlock final : public AdapterEdge, public std::enable_shared_from_this<OpenBlock> {
 public:
  enum class State { kOpening, kOpen, kClosing, kClosed };

  OpenBlock(Impl* rt, ProtocolBlock* protocol, NDIS_HANDLE context,
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
  void BeginClose() {
    std::unique_lock lock(mu_);
    state_ = State::kClosing;
    drained_.wait(lock, [this] { return active_ == 0; });
  }

  void CompleteOpen(NDIS_STATUS status) override {
    auto self = shared_from_this();
    SetState(status == NDIS_STATUS_SUCCESS ? State::kOpen : State::kClosed);
    if (status != NDIS_STATUS_SUCCESS) rt_->ForgetOpen(this);
    protocol_->chars.OpenAdapterCompleteHandler(context_, status, NDIS_STATUS_SUCCESS);
  }

  void CompleteClose(NDIS_STATUS status) override {
    auto self = shared_from_this();
    SetState(State::kClosed);
    rt_->ForgetOpen(this);
    protocol_->chars.CloseAdapterCompleteHandler(context_, status);
  }

  void CompleteRequest(NDIS_REQUEST* request, NDIS_STATUS status) override {
    protocol_->chars.RequestCompleteHandler(context_, request, status);
  }

  void CompleteSend(NDIS_PACKET* packet, NDIS_STATUS status) override {
    protocol_->chars.SendCompleteHandler(context_, packet, status);
  }

  void CompleteTransferData(NDIS_PACKET* packet, NDIS_STATUS status,
                            uint32_t bytes_transferred) override {
    if (protocol_->chars.TransferDataCompleteHandler != nullptr) {
      protocol_->chars.TransferDataCompleteHandler(context_, packet, status, bytes_transferred);
    }
  }

  bool IndicateReceive(ReceiveIndication* indication, const void* header_buffer,
                       uint32_t header_buffer_size, const void* lookahead_buffer,
                       uint32_t lookahead_buffer_size, uint32_t packet_size) override {
    if (!Enter()) return false;
    if (indication->packet != nullptr && NDIS_GET_ORIGINAL_PACKET(indication->packet) == nullptr) {
      NDIS_SET_ORIGINAL_PACKET(indication->packet, indication->packet);
    }
    protocol_->chars.ReceiveHandler(context_, indication, const_cast<void*>(header_buffer),
                                    header_buffer_size, const_cast<void*>(lookahead_buffer),
                                    lookahead_buffer_size, packet_size);
    Leave();
    return true;
  }

  bool IndicateReceiveComplete() override {
    if (!Enter()) return false;
    protocol_->chars.ReceiveCompleteHandler(context_);
    Leave();
    return true;
  }

  bool IndicateReceivePacket(NDIS_PACKET* packet, bool* delivered) override {
    if (delivered != nullptr) *delivered = false;
    if (!Enter()) return false;
    if (delivered != nullptr) *delivered = true;
    if (NDIS_GET_ORIGINAL_PACKET(packet) == nullptr) NDIS_SET_ORIGINAL_PACKET(packet, packet);
    const bool resources = NDIS_GET_PACKET_STATUS(packet) == NDIS_STATUS_RESOURCES;
    packet->Runtime.route = static_cast<ReturnRoute*>(entry_->adapter.get());
    packet->Runtime.return_references.store(kIndicationBias);
    int32_t kept = 0;
    if (protocol_->chars.ReceivePacketHandler != nullptr) {
      kept = protocol_->chars.ReceivePacketHandler(context_, packet);
    }
    Leave();
    if (resources) {
      packet->Runtime.return_references.store(0);
      return false;
    }
    int32_t delta = kept - kIndicationBias;
    return packet->Runtime.return_references.fetch_add(delta) + delta != 0;
  }

  bool IndicateStatus(NDIS_STATUS status, const void* buffer, uint32_t size) override {
    if (!Enter()) return false;
    protocol_->chars.StatusHandler(context_, status, const_cast<void*>(buffer), size);
    Leave();
    return true;
  }

  bool IndicateStatusComplete() override {
    if (!Enter()) return false;
    protocol_->chars.StatusCompleteHandler(context_);
    Leave();
    return true;
  }

  NDIS_STATUS IndicatePnPEvent(NET_PNP_EVENT* event) override {
    if (!Enter()) return NDIS_STATUS_FAILURE;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    if (protocol_->chars.PnPEventHandler != nullptr) {
      status = protocol_->chars.PnPEventHandler(context_, event);
    }
    Leave();
    return status;
  }

 private:
  bool Enter() {
    std::lock_guard lock(mu_);
    if (state_ != State::kOpen) return false;
    ++active_;
    return true;
  }
  void Leave() {
    std::lock_guard lock(mu_);
    if (--active_ == 0) drained_.notify_all();
  }

  Impl* rt_;
  ProtocolBlock* protocol_;
  NDIS_HANDLE context_;
  std::shared_ptr<AdapterEntry> entry_;
  mutable std::mutex mu_;
  std::condition_variable drained_;
  State state_ = State::kOpening;
  int active_ = 0;
};

OpenBlock* OpenOf(NDIS_HANDLE handle) { return static_cast<OpenBlock*>(handle); }

// ----- Virtual adapters ----------------------------------------------------------------------

class MiniportBlock final : public ReturnRoute {
 public:
  enum class State { kPending, kInitializing, kRunning, kHalting, kHalted };

  struct QueuedRequest {
    std::shared_ptr<BindingImpl> binding;
    std::shared_ptr<UpperRequest> request;
  };

  MiniportBlock(Impl* rt, MiniportDriverBlock* driver, std::u16string name,
                NDIS_HANDLE device_context)
      : rt(rt), driver(driver), name(std::move(name)), device_context(device_context) {}

  Impl* const rt;
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

  void SendPackets(NDIS_PACKET** packets, uint32_t count) override {
    bool running;
    {
      std::lock_guard lock(block_->mu);
      running = block_->state == MiniportBlock::State::kRunning;
      if (running) {
        block_->calls += 1;
        block_->sends += static_cast<int>(count);
      }
    }
    if (!running) {
      for (uint32_t i = 0; i < count; ++i)
        upper_->SendComplete(*this, packets[i], NDIS_STATUS_CLOSING);
      return;
    }
    for (uint32_t i = 0; i < count; ++i) packets[i]->Runtime.route = this;
    block_->driver->chars.SendPacketsHandler(block_->adapter_context, packets, count);
    block_->Leave();
  }

  void Request(const std::shared_ptr<UpperRequest>& request) override;

  NDIS_STATUS TransferData(NDIS_HANDLE receive_context, uint32_t byte_offset,
                           uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                           uint32_t* bytes_transferred) override {
    *bytes_transferred = 0;
    if (block_->driver->chars.TransferDataHandler == nullptr) return NDIS_STATUS_NOT_SUPPORTED;
    if (!block_->Enter()) return NDIS_STATUS_CLOSING;
    packet->Runtime.route = this;
    NDIS_STATUS status = block_->driver->chars.TransferDataHandler(
        packet, bytes_transferred, block_->adapter_context, receive_context, byte_offset,
        bytes_to_transfer);
    block_->Leave();
    return status;
  }

  void ReturnPacket(NDIS_PACKET* packet) override { NdisReturnPackets(&packet, 1); }

 private:
  std::shared_ptr<MiniportBlock> block_;
  UpperProtocol* upper_;
};

void BindingImpl::Request(const std::shared_ptr<UpperRequest>& request) {
  bool running;
  {
    std::lock_guard lock(block_->mu);
    running = block_->state == MiniportBlock::State::kRunning;
    if (running) {
      block_->requests.push_back({shared_from_this(), request});
    }
  }
  if (!running) {
    request->status = NDIS_STATUS_CLOSING;
    upper_->RequestComplete(*this, request);
    return;
  }
  block_->StartRequests();
}

void MiniportBlock::Deliver(QueuedRequest finished) {
  finished.binding->upper()->RequestComplete(*finished.binding, finished.request);
  Leave();
}

void MiniportBlock::StartRequests() {
  for (;;) {
    QueuedRequest next;
    {
      std::lock_guard lock(mu);
      if (current.has_value() || requests.empty() || state != State::kRunning) return;
      current = std::move(requests.front());
      requests.pop_front();
      current_returned = false;
      current_completed = false;
      calls += 1;
      next = *current;
    }
    UpperRequest& r = *next.request;
    NDIS_STATUS status;
    if (r.type == NdisRequestSetInformation) {
      status = driver->chars.SetInformationHandler(adapter_context, r.oid, r.buffer.data(),
                                                   static_cast<uint32_t>(r.buffer.size()),
                                                   &r.bytes_done, &r.bytes_needed);
    } else {
      status = driver->chars.QueryInformationHandler(adapter_context, r.oid, r.buffer.data(),
                                                     static_cast<uint32_t>(r.buffer.size()),
                                                     &r.bytes_done, &r.bytes_needed);
    }
    std::optional<QueuedRequest> finished;
    {
      std::lock_guard lock(mu);
      current_returned = true;
      if (status != NDIS_STATUS_PENDING) {
        current->request->status = status;
        current_completed = true;
      }
      if (current_completed) {
        finished = std::move(current);
        current.reset();
        // The call stays counted until the completion has been delivered.
      } else {
        if (--calls == 0) idle.notify_all();
      }
    }
    if (!finished.has_value()) return;
    Deliver(std::move(*finished));
  }
}

void MiniportBlock::CompleteCurrent(NDIS_STATUS status) {
  std::optional<QueuedRequest> finished;
  {
    std::lock_guard lock(mu);
    if (!current.has_value() || current_completed) return;
    current->request->status = status;
    current_completed = true;
    if (!current_returned) return;  // the handler's return finishes it
    finished = std::move(current);
    current.reset();
    calls += 1;
  }
  Deliver(std::move(*finished));
  StartRequests();
}

NDIS_STATUS MiniportBlock::DeInitialize() {
  std::deque<QueuedRequest> dropped;
  {
    std::lock_guard lock(mu);
    if (state != State::kRunning) return NDIS_STATUS_FAILURE;
    state = State::kHalting;
    dropped.swap(requests);
  }
  for (QueuedRequest& q : dropped) {
    q.request->status = NDIS_STATUS_CLOSING;
    q.binding->upper()->RequestComplete(*q.binding, q.request);
  }
  std::vector<std::shared_ptr<BindingImpl>> uppers;
  {
    std::unique_lock lock(mu);
    idle.wait(lock, [this] { return calls == 0 && sends == 0 && !current.has_value(); });
    uppers = bindings;
  }
  for (auto& binding : uppers) binding->upper()->UnbindAdapter(*binding);
  driver->chars.HaltHandler(adapter_context);
  {
    std::lock_guard lock(mu);
    state = State::kHalted;
    bindings.clear();
  }
  rt->ForgetInstance(this);
  return NDIS_STATUS_SUCCESS;
}

MiniportBlock* BlockOf(NDIS_HANDLE handle) { return static_cast<MiniportBlock*>(handle); }

void IndicateUp(NDIS_HANDLE miniport_adapter_handle, const UpperReceive& receive) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  if (!block->Enter()) return;
  for (auto& binding : block->Bindings()) binding->upper()->Receive(*binding, receive);
  block->Leave();
}

void IndicateReceiveCompleteUp(NDIS_HANDLE miniport_adapter_handle) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  if (!block->Enter()) return;
  for (auto& binding : block->Bindings()) binding->upper()->ReceiveComplete(*binding);
  block->Leave();
}

}  // namespace

// ----- Runtime internals ---------------------------------------------------------------------

std::shared_ptr<AdapterEntry> Impl::FindAdapterByDevice(std::u16string_view device_name) {
  std::lock_guard lock(mu);
  for (auto& entry : adapters) {
    if (!entry->removing && entry->device_name.text() == device_name) return entry;
  }
  return nullptr;
}

void Impl::ForgetOpen(OpenBlock* open) {
  std::lock_guard lock(mu);
  for (auto& entry : adapters) {
    auto& opens = entry->opens;
    opens.erase(std::remove_if(opens.begin(), opens.end(),
                               [open](const auto& o) { return o.get() == open; }),
                opens.end());
  }
}

std::vector<std::shared_ptr<OpenBlock>> Impl::OpensOf(const AdapterEntry& entry,
                                                      const ProtocolBlock* protocol) {
  std::lock_guard lock(mu);
  std::vector<std::shared_ptr<OpenBlock>> result;
  for (auto& open : entry.opens) {
    if (protocol == nullptr || open->protocol() == protocol) result.push_back(open);
  }
  return result;
}

std::vector<ProtocolBlock*> Impl::Protocols() {
  std::lock_guard lock(mu);
  std::vector<ProtocolBlock*> result;
  for (auto& p : protocols) result.push_back(p.get());
  return result;
}

// Called with the adapter's pnp lock held.
void Impl::Bind(ProtocolBlock* protocol, const std::shared_ptr<AdapterEntry>& entry) {
  const std::string& adapter = entry->adapter->Name();
  Runtime::InstallProtocolBinding(protocol->name, adapter);
  OwnedNdisString section(WidenName(Runtime::ProtocolConfigurationKey(protocol->name, adapter)));
  NDIS_STRING device = entry->device_name.get();
  NDIS_STATUS status = NDIS_STATUS_FAILURE;
  protocol->chars.BindAdapterHandler(&status, entry.get(), &device,
                                     const_cast<NDIS_STRING*>(section.ptr()), nullptr);
}

// Called with the adapter's pnp lock held.
void Impl::UnbindAll(const std::shared_ptr<AdapterEntry>& entry) {
  for (auto& open : OpensOf(*entry, nullptr)) {
    if (open->state() == OpenBlock::State::kClosed) continue;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    open->protocol()->chars.UnbindAdapterHandler(&status, open->context(), nullptr);
  }
}

std::shared_ptr<MiniportBlock> Impl::FindInstance(const void* block) {
  std::lock_guard lock(mu);
  for (auto& instance : instances) {
    if (instance.get() == block) return instance;
  }
  return nullptr;
}

void Impl::ForgetInstance(const MiniportBlock* block) {
  std::lock_guard lock(mu);
  instances.erase(std::remove_if(instances.begin(), instances.end(),
                                 [block](const auto& b) { return b.get() == block; }),
                  instances.end());
}

NDIS_STATUS Impl::RunInitialize(const std::shared_ptr<MiniportBlock>& block) {
  std::vector<NDIS_MEDIUM> media;
  {
    std::lock_guard lock(mu);
    media = offered_media;
  }
  {
    std::lock_guard lock(block->mu);
    if (block->state != MiniportBlock::State::kPending) return NDIS_STATUS_FAILURE;
    block->state = MiniportBlock::State::kInitializing;
  }
  NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
  uint32_t selected = 0;
  NDIS_STATUS status = block->driver->chars.InitializeHandler(&open_error, &selected, media.data(),
                                                              static_cast<uint32_t>(media.size()),
                                                              block.get(), nullptr);
  if (status != NDIS_STATUS_SUCCESS || selected >= media.size()) {
    {
      std::lock_guard lock(block->mu);
      block->state = MiniportBlock::State::kHalted;
    }
    ForgetInstance(block.get());
    return status != NDIS_STATUS_SUCCESS ? status : NDIS_STATUS_FAILURE;
  }
  {
    std::lock_guard lock(block->mu);
    block->medium = media[selected];
    block->state = MiniportBlock::State::kRunning;
  }
  std::vector<UpperProtocol*> above;
  {
    std::lock_guard lock(mu);
    above = uppers;
  }
  for (UpperProtocol* upper : above) BindUpper(block, upper);
  return NDIS_STATUS_SUCCESS;
}

void Impl::BindUpper(const std::shared_ptr<MiniportBlock>& block, UpperProtocol* upper) {
  auto binding = std::make_shared<BindingImpl>(block, upper);
  upper->BindAdapter(binding);
  bool bound = false;
  {
    std::lock_guard lock(block->mu);
    if (block->state == MiniportBlock::State::kRunning) {
      block->bindings.push_back(binding);
      bound = true;
    }
  }
  if (!bound) upper->UnbindAdapter(*binding);
}

// ----- Names ---------------------------------------------------------------------------------

std::u16string WidenName(std::string_view name) {
  std::u16string result;
  result.reserve(name.size());
  for (char c : name) result.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return result;
}

std::string NarrowName(std::u16string_view name) {
  std::string result;
  result.reserve(name.size());
  for (char16_t c : name) result.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return result;
}

std::u16string_view View(const NDIS_STRING& string) {
  if (string.Buffer == nullptr) return {};
  return {string.Buffer, string.Length / sizeof(char16_t)};
}

// ----- Registration --------------------------------------------------------------------------

void NdisMInitializeWrapper(NDIS_HANDLE* wrapper_handle, ddk::DRIVER_OBJECT* driver_object,
                            const NDIS_STRING* /*registry_path*/, void* /*unused*/) {
  auto* rt = static_cast<Impl*>(driver_object->runtime);
  auto wrapper = std::make_unique<WrapperBlock>();
  wrapper->rt = rt;
  wrapper->driver_object = driver_object;
  *wrapper_handle = wrapper.get();
  driver_object->wrapper = wrapper.get();
  std::lock_guard lock(rt->mu);
  rt->wrapper = std::move(wrapper);
}

void NdisTerminateWrapper(NDIS_HANDLE wrapper_handle, void* /*unused*/) {
  auto* wrapper = static_cast<WrapperBlock*>(wrapper_handle);
  if (wrapper == nullptr) return;
  Impl* rt = wrapper->rt;
  wrapper->driver_object->wrapper = nullptr;
  std::lock_guard lock(rt->mu);
  if (rt->wrapper.get() == wrapper) rt->wrapper.reset();
}

NDIS_STATUS NdisIMRegisterLayeredMiniport(NDIS_HANDLE wrapper_handle,
                                          const NDIS_MINIPORT_CHARACTERISTICS* characteristics,
                                          uint32_t characteristics_length,
                                          NDIS_HANDLE* driver_handle) {
  *driver_handle = nullptr;
  auto* wrapper = static_cast<WrapperBlock*>(wrapper_handle);
  if (characteristics_length < sizeof(NDIS_MINIPORT_CHARACTERISTICS)) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  if (characteristics->MajorNdisVersion != 4 && characteristics->MajorNdisVersion != 5) {
    return NDIS_STATUS_BAD_VERSION;
  }
  const NDIS_MINIPORT_CHARACTERISTICS& c = *characteristics;
  if (c.InitializeHandler == nullptr || c.HaltHandler == nullptr ||
      c.QueryInformationHandler == nullptr || c.SetInformationHandler == nullptr ||
      (c.SendPacketsHandler == nullptr && c.SendHandler == nullptr)) {
    return NDIS_STATUS_BAD_CHARACTERISTICS;
  }
  auto block = std::make_unique<MiniportDriverBlock>();
  block->rt = wrapper->rt;
  block->wrapper = wrapper;
  block->chars = c;
  *driver_handle = block.get();
  std::lock_guard lock(wrapper->rt->mu);
  wrapper->rt->miniport_drivers.push_back(std::move(block));
  return NDIS_STATUS_SUCCESS;
}

void NdisIMDeregisterLayeredMiniport(NDIS_HANDLE driver_handle) {
  auto* block = static_cast<MiniportDriverBlock*>(driver_handle);
  Impl* rt = block->rt;
  std::lock_guard lock(rt->mu);
  auto& list = rt->miniport_drivers;
  list.erase(
      std::remove_if(list.begin(), list.end(), [block](const auto& b) { return b.get() == block; }),
      list.end());
}

void NdisMRegisterUnloadHandler(NDIS_HANDLE wrapper_handle, DRIVER_UNLOAD unload_handler) {
  static_cast<WrapperBlock*>(wrapper_handle)->unload = unload_handler;
}

void NdisRegisterProtocol(NDIS_STATUS* status, NDIS_HANDLE* protocol_handle,
                          const NDIS_PROTOCOL_CHARACTERISTICS* characteristics,
                          uint32_t characteristics_length) {
  *protocol_handle = nullptr;
  if (characteristics_length < sizeof(NDIS_PROTOCOL_CHARACTERISTICS)) {
    *status = NDIS_STATUS_BAD_CHARACTERISTICS;
    return;
  }
  const NDIS_PROTOCOL_CHARACTERISTICS& c = *characteristics;
  if (c.MajorNdisVersion != 4 && c.MajorNdisVersion != 5) {
    *status = NDIS_STATUS_BAD_VERSION;
    return;
  }
  if (c.BindAdapterHandler == nullptr || c.UnbindAdapterHandler == nullptr ||
      c.OpenAdapterCompleteHandler == nullptr || c.CloseAdapterCompleteHandler == nullptr ||
      c.SendCompleteHandler == nullptr || c.RequestCompleteHandler == nullptr ||
      c.ReceiveHandler == nullptr || c.ReceiveCompleteHandler == nullptr ||
      c.StatusHandler == nullptr || c.StatusCompleteHandler == nullptr) {
    *status = NDIS_STATUS_BAD_CHARACTERISTICS;
    return;
  }
  // NdisRegisterProtocol names no wrapper: the protocol belongs to the runtime whose driver
  // is being loaded on this thread (drivers register their protocol from DriverEntry).
  Impl* rt = LoadingRuntime();
  if (rt == nullptr) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  auto block = std::make_unique<ProtocolBlock>();
  block->rt = rt;
  block->chars = c;
  block->name = NarrowName(View(c.Name));
  block->chars.Name = NDIS_STRING{};  // the caller's buffer is not kept
  *protocol_handle = block.get();
  std::lock_guard lock(rt->mu);
  rt->protocols.push_back(std::move(block));
  *status = NDIS_STATUS_SUCCESS;
}

void NdisDeregisterProtocol(NDIS_STATUS* status, NDIS_HANDLE protocol_handle) {
  auto* block = static_cast<ProtocolBlock*>(protocol_handle);
  Impl* rt = block->rt;
  std::lock_guard lock(rt->mu);
  for (auto& entry : rt->adapters) {
    for (auto& open : entry->opens) {
      if (open->protocol() == block) {
        *status = NDIS_STATUS_FAILURE;  // still bound: the caller must unbind first
        return;
      }
    }
  }
  auto& list = rt->protocols;
  list.erase(
      std::remove_if(list.begin(), list.end(), [block](const auto& b) { return b.get() == block; }),
      list.end());
  *status = NDIS_STATUS_SUCCESS;
}

void NdisIMAssociateMiniport(NDIS_HANDLE driver_handle, NDIS_HANDLE protocol_handle) {
  static_cast<MiniportDriverBlock*>(driver_handle)->associated_protocol = protocol_handle;
}

// ----- Configuration -------------------------------------------------------------------------

void NdisOpenProtocolConfiguration(NDIS_STATUS* status, NDIS_HANDLE* configuration_handle,
                                   const NDIS_STRING* protocol_section) {
  *configuration_handle = nullptr;
  auto config = std::make_unique<ConfigBlock>();
  std::string path = NarrowName(View(*protocol_section));
  if (platform::RegistryKey::Open(path, config->key) != platform::ERROR_SUCCESS) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  *configuration_handle = config.release();
  *status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(NDIS_STATUS* status, NDIS_CONFIGURATION_PARAMETER** parameter_value,
                           NDIS_HANDLE configuration_handle, const NDIS_STRING* keyword,
                           NDIS_PARAMETER_TYPE parameter_type) {
  *parameter_value = nullptr;
  auto* config = static_cast<ConfigBlock*>(configuration_handle);
  std::string name = NarrowName(View(*keyword));
  std::vector<uint8_t> data(256);
  uint32_t size = 0;
  uint32_t type = platform::REG_NONE;
  platform::Win32Error error = config->key.QueryValue(name, data, size, &type);
  if (error == platform::ERROR_MORE_DATA) {
    data.resize(size);
    error = config->key.QueryValue(name, data, size, &type);
  }
  if (error != platform::ERROR_SUCCESS) {
    *status = NDIS_STATUS_FAILURE;
    return;
  }
  data.resize(size);
  auto parameter = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
  parameter->ParameterType = parameter_type;
  std::string text;
  if (type == platform::REG_DWORD && data.size() >= 4) {
    const uint32_t value = LoadLe32(data.data());
    parameter->ParameterData.IntegerData = value;
    text = std::to_string(value);
  } else {
    for (uint8_t b : data) {
      if (b == 0) break;
      text.push_back(static_cast<char>(b));
    }
    if (parameter_type == NdisParameterInteger || parameter_type == NdisParameterHexInteger) {
      parameter->ParameterData.IntegerData = static_cast<uint32_t>(
          std::strtoul(text.c_str(), nullptr, parameter_type == NdisParameterHexInteger ? 16 : 10));
    }
  }
  auto wide = std::make_unique<std::u16string>(WidenName(text));
  NDIS_STRING& s = parameter->ParameterData.StringData;
  s.Buffer = wide->data();
  s.Length = static_cast<uint16_t>(wide->size() * sizeof(char16_t));
  s.MaximumLength = static_cast<uint16_t>((wide->size() + 1) * sizeof(char16_t));
  *parameter_value = parameter.get();
  config->strings.push_back(std::move(wide));
  config->parameters.push_back(std::move(parameter));
  *status = NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE configuration_handle) {
  delete static_cast<ConfigBlock*>(configuration_handle);
}

// ----- Lower adapters ------------------------------------------------------------------------

void NdisOpenAdapter(NDIS_STATUS* status, NDIS_STATUS* open_error_status,
                     NDIS_HANDLE* binding_handle, uint32_t* selected_medium_index,
                     NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                     NDIS_HANDLE protocol_handle, NDIS_HANDLE protocol_binding_context,
                     const NDIS_STRING* adapter_name, uint32_t /*open_options*/,
                     void* /*addressing_information*/) {
  *binding_handle = nullptr;
  *open_error_status = NDIS_STATUS_SUCCESS;
  auto* protocol = static_cast<ProtocolBlock*>(protocol_handle);
  Impl* rt = protocol->rt;
  std::shared_ptr<AdapterEntry> entry = rt->FindAdapterByDevice(View(*adapter_name));
  if (entry == nullptr) {
    *status = NDIS_STATUS_ADAPTER_NOT_FOUND;
    return;
  }
  const NDIS_MEDIUM medium = entry->adapter->Medium();
  uint32_t index = 0;
  while (index < medium_array_size && medium_array[index] != medium) ++index;
  if (index == medium_array_size) {
    *status = NDIS_STATUS_UNSUPPORTED_MEDIA;
    return;
  }
  *selected_medium_index = index;
  auto open = std::make_shared<OpenBlock>(rt, protocol, protocol_binding_context, entry);
  {
    std::lock_guard lock(rt->mu);
    entry->opens.push_back(open);
  }
  *binding_handle = open.get();
  NDIS_STATUS result = entry->adapter->Open(open);
  if (result == NDIS_STATUS_SUCCESS) {
    open->SetState(OpenBlock::State::kOpen);
  } else if (result != NDIS_STATUS_PENDING) {
    open->SetState(OpenBlock::State::kClosed);
    rt->ForgetOpen(open.get());
    *binding_handle = nullptr;
  }
  *status = result;
}

void NdisCloseAdapter(NDIS_STATUS* status, NDIS_HANDLE binding_handle) {
  std::shared_ptr<OpenBlock> open = OpenOf(binding_handle)->shared_from_this();
  open->BeginClose();
  NDIS_STATUS result = open->adapter().Close(*open);
  if (result != NDIS_STATUS_PENDING) {
    // The binding handle is gone whatever the adapter answered.
    open->SetState(OpenBlock::State::kClosed);
    open->protocol()->rt->ForgetOpen(open.get());
  }
  *status = result;
}

void NdisRequest(NDIS_STATUS* status, NDIS_HANDLE binding_handle, NDIS_REQUEST* request) {
  OpenBlock* open = OpenOf(binding_handle);
  if (open->state() == OpenBlock::State::kClosed) {
    *status = NDIS_STATUS_CLOSING;
    return;
  }
  *status = open->adapter().Request(*open, request);
}

void NdisSend(NDIS_STATUS* status, NDIS_HANDLE binding_handle, NDIS_PACKET* packet) {
  OpenBlock* open = OpenOf(binding_handle);
  if (open->state() == OpenBlock::State::kClosed) {
    *status = NDIS_STATUS_CLOSING;
    return;
  }
  *status = open->adapter().Send(*open, packet);
}

void NdisTransferData(NDIS_STATUS* status, NDIS_HANDLE binding_handle,
                      NDIS_HANDLE mac_receive_context, uint32_t byte_offset,
                      uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                      uint32_t* bytes_transferred) {
  OpenBlock* open = OpenOf(binding_handle);
  *bytes_transferred = 0;
  *status =
      open->adapter().TransferData(*open, static_cast<ReceiveIndication*>(mac_receive_context),
                                   byte_offset, bytes_to_transfer, packet, bytes_transferred);
}

NDIS_PACKET* NdisGetReceivedPacket(NDIS_HANDLE /*binding_handle*/,
                                   NDIS_HANDLE mac_receive_context) {
  if (mac_receive_context == nullptr) return nullptr;
  return static_cast<ReceiveIndication*>(mac_receive_context)->packet;
}

void NdisReturnPackets(NDIS_PACKET** packets, uint32_t number_of_packets) {
  for (uint32_t i = 0; i < number_of_packets; ++i) {
    NDIS_PACKET* packet = packets[i];
    // Read the route first: once the count is down the owner may reuse the packet.
    auto* route = static_cast<ReturnRoute*>(packet->Runtime.route);
    if (packet->Runtime.return_references.fetch_sub(1) == 1) route->PacketReturned(packet);
  }
}

void NdisReEnumerateProtocolBindings(NDIS_HANDLE protocol_handle) {
  auto* protocol = static_cast<ProtocolBlock*>(protocol_handle);
  Impl* rt = protocol->rt;
  std::vector<std::shared_ptr<AdapterEntry>> adapters;
  {
    std::lock_guard lock(rt->mu);
    adapters = rt->adapters;
  }
  for (auto& entry : adapters) {
    std::lock_guard pnp(entry->pnp);
    {
      std::lock_guard lock(rt->mu);
      if (entry->removing) continue;
    }
    if (rt->OpensOf(*entry, protocol).empty()) rt->Bind(protocol, entry);
  }
}

// ----- Virtual adapters ----------------------------------------------------------------------

NDIS_STATUS NdisIMInitializeDeviceInstanceEx(NDIS_HANDLE driver_handle,
                                             const NDIS_STRING* device_instance,
                                             NDIS_HANDLE device_context) {
  auto* driver = static_cast<MiniportDriverBlock*>(driver_handle);
  Impl* rt = driver->rt;
  std::u16string name(View(*device_instance));
  auto block = std::make_shared<MiniportBlock>(rt, driver, name, device_context);
  bool defer;
  {
    std::lock_guard lock(rt->mu);
    for (auto& instance : rt->instances) {
      if (instance->name.text() == name) return NDIS_STATUS_FAILURE;
    }
    rt->instances.push_back(block);
    defer = rt->defer_initialization;
  }
  if (defer) return NDIS_STATUS_SUCCESS;
  return rt->RunInitialize(block);
}

NDIS_STATUS NdisIMCancelInitializeDeviceInstance(NDIS_HANDLE driver_handle,
                                                 const NDIS_STRING* device_instance) {
  auto* driver = static_cast<MiniportDriverBlock*>(driver_handle);
  Impl* rt = driver->rt;
  std::u16string_view name = View(*device_instance);
  std::lock_guard lock(rt->mu);
  for (auto it = rt->instances.begin(); it != rt->instances.end(); ++it) {
    if ((*it)->name.text() != name) continue;
    std::lock_guard block_lock((*it)->mu);
    if ((*it)->state != MiniportBlock::State::kPending) return NDIS_STATUS_FAILURE;
    (*it)->state = MiniportBlock::State::kHalted;
    rt->instances.erase(it);
    return NDIS_STATUS_SUCCESS;
  }
  return NDIS_STATUS_FAILURE;
}

NDIS_STATUS NdisIMDeInitializeDeviceInstance(NDIS_HANDLE miniport_adapter_handle) {
  MiniportBlock* raw = BlockOf(miniport_adapter_handle);
  std::shared_ptr<MiniportBlock> block = raw->rt->FindInstance(raw);
  if (block == nullptr) return NDIS_STATUS_FAILURE;
  return block->DeInitialize();
}

NDIS_HANDLE NdisIMGetDeviceContext(NDIS_HANDLE miniport_adapter_handle) {
  return BlockOf(miniport_adapter_handle)->device_context;
}

void NdisMSetAttributesEx(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE miniport_adapter_context,
                          uint32_t /*check_for_hang_seconds*/, uint32_t attribute_flags,
                          NDIS_INTERFACE_TYPE /*adapter_type*/) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  std::lock_guard lock(block->mu);
  block->adapter_context = miniport_adapter_context;
  block->attribute_flags = attribute_flags;
}

void NdisMSendComplete(NDIS_HANDLE /*miniport_adapter_handle*/, NDIS_PACKET* packet,
                       NDIS_STATUS status) {
  auto* binding = static_cast<BindingImpl*>(packet->Runtime.route);
  MiniportBlock& block = binding->block();
  binding->upper()->SendComplete(*binding, packet, status);
  std::lock_guard lock(block.mu);
  if (--block.sends == 0) block.idle.notify_all();
}

void NdisMTransferDataComplete(NDIS_HANDLE /*miniport_adapter_handle*/, NDIS_PACKET* packet,
                               NDIS_STATUS status, uint32_t bytes_transferred) {
  auto* binding = static_cast<BindingImpl*>(packet->Runtime.route);
  binding->upper()->TransferDataComplete(*binding, packet, status, bytes_transferred);
}

void NdisMQueryInformationComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS status) {
  BlockOf(miniport_adapter_handle)->CompleteCurrent(status);
}

void NdisMSetInformationComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS status) {
  BlockOf(miniport_adapter_handle)->CompleteCurrent(status);
}

void NdisMIndicateReceivePacket(NDIS_HANDLE miniport_adapter_handle, NDIS_PACKET** packets,
                                uint32_t number_of_packets) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  for (uint32_t i = 0; i < number_of_packets; ++i) {
    NDIS_PACKET* packet = packets[i];
    if (NDIS_GET_ORIGINAL_PACKET(packet) == nullptr) NDIS_SET_ORIGINAL_PACKET(packet, packet);
    const bool resources = NDIS_GET_PACKET_STATUS(packet) == NDIS_STATUS_RESOURCES;
    packet->Runtime.route = static_cast<ReturnRoute*>(block);
    packet->Runtime.return_references.store(kIndicationBias);
    int32_t kept = 0;
    if (block->Enter()) {
      for (auto& binding : block->Bindings()) {
        kept += binding->upper()->ReceivePacket(*binding, packet);
      }
      block->Leave();
    }
    if (resources) {
      packet->Runtime.return_references.store(0);
      continue;  // the indicating driver has it back when this returns
    }
    int32_t delta = kept - kIndicationBias;
    if (packet->Runtime.return_references.fetch_add(delta) + delta == 0) {
      block->PacketReturned(packet);
    }
  }
}

namespace {

// A header and look-ahead indication of one medium, as the upper protocols receive it.
UpperReceive LookaheadReceive(NDIS_HANDLE receive_context, void* header_buffer,
                              uint32_t header_buffer_size, void* lookahead_buffer,
                              uint32_t lookahead_buffer_size, uint32_t packet_size,
                              NDIS_MEDIUM medium) {
  UpperReceive r;
  r.receive_context = receive_context;
  r.header = static_cast<const uint8_t*>(header_buffer);
  r.header_size = header_buffer_size;
  r.lookahead = static_cast<const uint8_t*>(lookahead_buffer);
  r.lookahead_size = lookahead_buffer_size;
  r.packet_size = packet_size;
  r.indicated_as = medium;
  return r;
}

}  // namespace

void NdisMEthIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                             void* header_buffer, uint32_t header_buffer_size,
                             void* lookahead_buffer, uint32_t lookahead_buffer_size,
                             uint32_t packet_size) {
  IndicateUp(miniport_adapter_handle,
             LookaheadReceive(receive_context, header_buffer, header_buffer_size, lookahead_buffer,
                              lookahead_buffer_size, packet_size, NdisMedium802_3));
}

void NdisMTrIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                            void* header_buffer, uint32_t header_buffer_size,
                            void* lookahead_buffer, uint32_t lookahead_buffer_size,
                            uint32_t packet_size) {
  IndicateUp(miniport_adapter_handle,
             LookaheadReceive(receive_context, header_buffer, header_buffer_size, lookahead_buffer,
                              lookahead_buffer_size, packet_size, NdisMedium802_5));
}

void NdisMFddiIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                              void* address, uint32_t address_length, void* header_buffer,
                              uint32_t header_buffer_size, void* lookahead_buffer,
                              uint32_t lookahead_buffer_size, uint32_t packet_size) {
  UpperReceive r =
      LookaheadReceive(receive_context, header_buffer, header_buffer_size, lookahead_buffer,
                       lookahead_buffer_size, packet_size, NdisMediumFddi);
  r.address = static_cast<const uint8_t*>(address);
  r.address_length = address_length;
  IndicateUp(miniport_adapter_handle, r);
}

void NdisMEthIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle) {
  IndicateReceiveCompleteUp(miniport_adapter_handle);
}
void NdisMTrIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle) {
  IndicateReceiveCompleteUp(miniport_adapter_handle);
}
void NdisMFddiIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle) {
  IndicateReceiveCompleteUp(miniport_adapter_handle);
}

void NdisMIndicateStatus(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS general_status,
                         void* status_buffer, uint32_t status_buffer_size) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  if (!block->Enter()) return;
  for (auto& binding : block->Bindings()) {
    binding->upper()->Status(*binding, general_status, status_buffer, status_buffer_size);
  }
  block->Leave();
}

void NdisMIndicateStatusComplete(NDIS_HANDLE miniport_adapter_handle) {
  MiniportBlock* block = BlockOf(miniport_adapter_handle);
  if (!block->Enter()) return;
  for (auto& binding : block->Bindings()) binding->upper()->StatusComplete(*binding);
  block->Leave();
}

// ----- Control device ------------------------------------------------------------------------

NDIS_STATUS NdisMRegisterDevice(NDIS_HANDLE wrapper_handle, const NDIS_STRING* device_name,
                                const NDIS_STRING* symbolic_name,
                                const ddk::DispatchTable* dispatch_table,
                                ddk::DeviceObject** device_object, NDIS_HANDLE* device_handle) {
  *device_object = nullptr;
  *device_handle = nullptr;
  Impl* rt = static_cast<WrapperBlock*>(wrapper_handle)->rt;
  ddk::DeviceHost* host;
  {
    std::lock_guard lock(rt->mu);
    host = rt->device_host;
  }
  if (host == nullptr) return NDIS_STATUS_FAILURE;
  ddk::DeviceObject* device = nullptr;
  ddk::NTSTATUS status = host->CreateDevice(
      NarrowName(View(*device_name)), NarrowName(View(*symbolic_name)), *dispatch_table, device);
  if (!ddk::NT_SUCCESS(status)) return status;
  auto* block = new DeviceBlock{host, device};
  *device_object = device;
  *device_handle = block;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NdisMDeregisterDevice(NDIS_HANDLE device_handle) {
  std::unique_ptr<DeviceBlock> block(static_cast<DeviceBlock*>(device_handle));
  if (block == nullptr) return NDIS_STATUS_FAILURE;
  block->host->DeleteDevice(block->device);
  return NDIS_STATUS_SUCCESS;
}

// ----- The host's side -----------------------------------------------------------------------

Runtime::Runtime() : impl_(std::make_unique<Impl>()) {
  for (uint32_t m = 0; m < NdisMediumMax; ++m) {
    impl_->offered_media.push_back(static_cast<NDIS_MEDIUM>(m));
  }
  impl_->driver_object.runtime = impl_.get();
}

Runtime::~Runtime() {
  UnloadDriver();
  std::vector<UpperProtocol*> uppers;
  {
    std::lock_guard lock(impl_->mu);
    uppers = impl_->uppers;
  }
  for (UpperProtocol* upper : uppers) DetachUpperProtocol(upper);
}

ddk::NTSTATUS Runtime::LoadDriver(std::string_view service_name, DRIVER_INITIALIZE entry) {
  impl_->registry_path = OwnedNdisString(WidenName(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::string(service_name)));
  Impl* previous = loading_runtime;
  loading_runtime = impl_.get();
  ddk::NTSTATUS status = entry(&impl_->driver_object, impl_->registry_path.ptr());
  loading_runtime = previous;
  if (!ddk::NT_SUCCESS(status)) return status;
  std::vector<std::shared_ptr<AdapterEntry>> adapters;
  {
    std::lock_guard lock(impl_->mu);
    impl_->loaded = true;
    adapters = impl_->adapters;
  }
  for (auto& entry_ : adapters) {
    std::lock_guard pnp(entry_->pnp);
    for (ProtocolBlock* protocol : impl_->Protocols()) impl_->Bind(protocol, entry_);
  }
  return status;
}

void Runtime::UnloadDriver() {
  std::vector<std::shared_ptr<AdapterEntry>> adapters;
  {
    std::lock_guard lock(impl_->mu);
    if (!impl_->loaded) return;
    impl_->loaded = false;
    adapters = impl_->adapters;
  }
  for (auto& entry : adapters) {
    std::lock_guard pnp(entry->pnp);
    impl_->UnbindAll(entry);
  }
  DRIVER_UNLOAD unload = nullptr;
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->wrapper != nullptr) unload = impl_->wrapper->unload;
  }
  if (unload != nullptr) unload(&impl_->driver_object);
  std::lock_guard lock(impl_->mu);
  impl_->protocols.clear();
  impl_->miniport_drivers.clear();
  impl_->wrapper.reset();
}

bool Runtime::AddAdapter(std::shared_ptr<LowerAdapter> adapter) {
  auto entry = std::make_shared<AdapterEntry>();
  entry->device_name = OwnedNdisString(kDevicePrefix + WidenName(adapter->Name()));
  entry->adapter = std::move(adapter);
  bool loaded;
  {
    std::lock_guard lock(impl_->mu);
    for (auto& existing : impl_->adapters) {
      if (existing->adapter->Name() == entry->adapter->Name()) return false;
    }
    impl_->adapters.push_back(entry);
    loaded = impl_->loaded;
  }
  if (!loaded) return true;
  std::lock_guard pnp(entry->pnp);
  for (ProtocolBlock* protocol : impl_->Protocols()) impl_->Bind(protocol, entry);
  return true;
}

bool Runtime::RemoveAdapter(std::string_view name) {
  std::shared_ptr<AdapterEntry> entry;
  {
    std::lock_guard lock(impl_->mu);
    for (auto& e : impl_->adapters) {
      if (e->adapter->Name() == name && !e->removing) entry = e;
    }
    if (entry == nullptr) return false;
    entry->removing = true;
  }
  {
    std::lock_guard pnp(entry->pnp);
    impl_->UnbindAll(entry);
  }
  std::lock_guard lock(impl_->mu);
  auto& list = impl_->adapters;
  list.erase(std::remove(list.begin(), list.end(), entry), list.end());
  return true;
}

void Runtime::AttachUpperProtocol(UpperProtocol* protocol) {
  std::vector<std::shared_ptr<MiniportBlock>> running;
  {
    std::lock_guard lock(impl_->mu);
    impl_->uppers.push_back(protocol);
    running = impl_->instances;
  }
  for (auto& block : running) impl_->BindUpper(block, protocol);
}

void Runtime::DetachUpperProtocol(UpperProtocol* protocol) {
  std::vector<std::shared_ptr<MiniportBlock>> blocks;
  {
    std::lock_guard lock(impl_->mu);
    auto& list = impl_->uppers;
    list.erase(std::remove(list.begin(), list.end(), protocol), list.end());
    blocks = impl_->instances;
  }
  for (auto& block : blocks) {
    std::shared_ptr<BindingImpl> found;
    {
      std::lock_guard lock(block->mu);
      for (auto it = block->bindings.begin(); it != block->bindings.end(); ++it) {
        if ((*it)->upper() == protocol) {
          found = *it;
          block->bindings.erase(it);
          break;
        }
      }
    }
    if (found != nullptr) protocol->UnbindAdapter(*found);
  }
}

void Runtime::SetDeviceHost(ddk::DeviceHost* host) {
  std::lock_guard lock(impl_->mu);
  impl_->device_host = host;
}

void Runtime::SetDeferDeviceInitialization(bool defer) {
  std::lock_guard lock(impl_->mu);
  impl_->defer_initialization = defer;
}

size_t Runtime::StartPendingDeviceInstances() {
  std::vector<std::shared_ptr<MiniportBlock>> pending;
  {
    std::lock_guard lock(impl_->mu);
    for (auto& block : impl_->instances) {
      std::lock_guard block_lock(block->mu);
      if (block->state == MiniportBlock::State::kPending) pending.push_back(block);
    }
  }
  size_t started = 0;
  for (auto& block : pending) {
    bool still_pending;
    {
      std::lock_guard lock(block->mu);
      still_pending = block->state == MiniportBlock::State::kPending;
    }
    if (!still_pending) continue;
    impl_->RunInitialize(block);
    ++started;
  }
  return started;
}

size_t Runtime::PendingDeviceInstances() const {
  std::lock_guard lock(impl_->mu);
  size_t count = 0;
  for (auto& block : impl_->instances) {
    std::lock_guard block_lock(block->mu);
    if (block->state == MiniportBlock::State::kPending) ++count;
  }
  return count;
}

void Runtime::SetOfferedMiniportMedia(std::vector<NDIS_MEDIUM> media) {
  std::lock_guard lock(impl_->mu);
  impl_->offered_media = std::move(media);
}

NDIS_STATUS Runtime::Reconfigure() {
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  for (ProtocolBlock* protocol : impl_->Protocols()) {
    if (protocol->chars.PnPEventHandler == nullptr) continue;
    NET_PNP_EVENT event;
    event.NetEvent = NetEventReconfigure;
    status = protocol->chars.PnPEventHandler(nullptr, &event);
  }
  return status;
}

std::vector<std::u16string> Runtime::VirtualAdapters() const {
  std::lock_guard lock(impl_->mu);
  std::vector<std::u16string> names;
  for (auto& block : impl_->instances) {
    std::lock_guard block_lock(block->mu);
    if (block->state == MiniportBlock::State::kRunning) names.push_back(block->name.text());
  }
  return names;
}

size_t Runtime::OpenCount(std::string_view name) const {
  std::lock_guard lock(impl_->mu);
  size_t count = 0;
  for (auto& entry : impl_->adapters) {
    if (entry->adapter->Name() != name) continue;
    for (auto& open : entry->opens) {
      if (open->state() == OpenBlock::State::kOpen) ++count;
    }
  }
  return count;
}

std::string Runtime::ProtocolConfigurationKey(std::string_view protocol, std::string_view adapter) {
  return "SYSTEM\\CurrentControlSet\\Services\\" + std::string(protocol) +
         "\\Parameters\\Adapters\\" + std::string(adapter);
}

std::string Runtime::DefaultUpperBindings(std::string_view protocol, std::string_view adapter) {
  return "\\Device\\" + std::string(protocol) + "_" + std::string(adapter);
}

bool Runtime::InstallProtocolBinding(std::string_view protocol, std::string_view adapter) {
  std::string key = ProtocolConfigurationKey(protocol, adapter);
  std::string existing;
  platform::Win32Error error = platform::RegistryGetString(key, "UpperBindings", existing);
  if (error == platform::ERROR_SUCCESS) return true;
  if (error == platform::ERROR_FILE_NOT_FOUND) {
    error =
        platform::RegistrySetString(key, "UpperBindings", DefaultUpperBindings(protocol, adapter));
    if (error == platform::ERROR_SUCCESS) return true;
  }
  ddk::DbgPrint("ndis: cannot install the binding of " + std::string(protocol) + " to " +
                std::string(adapter) + ", error " + std::to_string(error));
  return false;
}

}  // namespace flowsentry::ndis
