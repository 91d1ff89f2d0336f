// Opens of lower adapters: a protocol's binding handle, the edge its adapter indicates on, the
// calls a protocol makes on an open, and the binds and unbinds of protocols to adapters.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/runtime/runtime_internal.h"

namespace flowsentry::ndis {

using detail::AdapterEntry;
using detail::OpenBlock;
using detail::OpenOf;
using detail::ProtocolBlock;
using Impl = Runtime::Impl;

namespace detail {

void OpenBlock::BeginClose() {
  std::unique_lock lock(mu_);
  state_ = State::kClosing;
  drained_.wait(lock, [this] { return active_ == 0; });
}

void OpenBlock::CompleteOpen(NDIS_STATUS status) {
  auto self = shared_from_this();
  SetState(status == NDIS_STATUS_SUCCESS ? State::kOpen : State::kClosed);
  if (status != NDIS_STATUS_SUCCESS) rt_->ForgetOpen(this);
  protocol_->chars.OpenAdapterCompleteHandler(context_, status, NDIS_STATUS_SUCCESS);
}

void OpenBlock::CompleteClose(NDIS_STATUS status) {
  auto self = shared_from_this();
  SetState(State::kClosed);
  rt_->ForgetOpen(this);
  protocol_->chars.CloseAdapterCompleteHandler(context_, status);
}

void OpenBlock::CompleteRequest(NDIS_REQUEST* request, NDIS_STATUS status) {
  protocol_->chars.RequestCompleteHandler(context_, request, status);
}

void OpenBlock::CompleteSend(NDIS_PACKET* packet, NDIS_STATUS status) {
  protocol_->chars.SendCompleteHandler(context_, packet, status);
}

void OpenBlock::CompleteTransferData(NDIS_PACKET* packet, NDIS_STATUS status,
                                     uint32_t bytes_transferred) {
  if (protocol_->chars.TransferDataCompleteHandler != nullptr) {
    protocol_->chars.TransferDataCompleteHandler(context_, packet, status, bytes_transferred);
  }
}

bool OpenBlock::IndicateReceive(ReceiveIndication* indication, const void* header_buffer,
                                uint32_t header_buffer_size, const void* lookahead_buffer,
                                uint32_t lookahead_buffer_size, uint32_t packet_size) {
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

bool OpenBlock::IndicateReceiveComplete() {
  if (!Enter()) return false;
  protocol_->chars.ReceiveCompleteHandler(context_);
  Leave();
  return true;
}

bool OpenBlock::IndicateReceivePacket(NDIS_PACKET* packet, bool* delivered) {
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

bool OpenBlock::IndicateStatus(NDIS_STATUS status, const void* buffer, uint32_t size) {
  if (!Enter()) return false;
  protocol_->chars.StatusHandler(context_, status, const_cast<void*>(buffer), size);
  Leave();
  return true;
}

bool OpenBlock::IndicateStatusComplete() {
  if (!Enter()) return false;
  protocol_->chars.StatusCompleteHandler(context_);
  Leave();
  return true;
}

NDIS_STATUS OpenBlock::IndicatePnPEvent(NET_PNP_EVENT* event) {
  if (!Enter()) return NDIS_STATUS_FAILURE;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  if (protocol_->chars.PnPEventHandler != nullptr) {
    status = protocol_->chars.PnPEventHandler(context_, event);
  }
  Leave();
  return status;
}

bool OpenBlock::Enter() {
  std::lock_guard lock(mu_);
  if (state_ != State::kOpen) return false;
  ++active_;
  return true;
}
void OpenBlock::Leave() {
  std::lock_guard lock(mu_);
  if (--active_ == 0) drained_.notify_all();
}

}  // namespace detail

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

}  // namespace flowsentry::ndis
