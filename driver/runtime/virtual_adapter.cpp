// Virtual adapters: the device instances of the driver's miniport edge, their requests, sends
// and transfers from the protocols above, and their indications and completions up to them.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "driver/runtime/runtime_internal.h"

namespace flowsentry::ndis {

using detail::BindingImpl;
using detail::BlockOf;
using detail::kIndicationBias;
using detail::MiniportBlock;
using detail::MiniportDriverBlock;
using Impl = Runtime::Impl;

namespace detail {

void BindingImpl::SendPackets(NDIS_PACKET** packets, uint32_t count) {
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

NDIS_STATUS BindingImpl::TransferData(NDIS_HANDLE receive_context, uint32_t byte_offset,
                                      uint32_t bytes_to_transfer, NDIS_PACKET* packet,
                                      uint32_t* bytes_transferred) {
  *bytes_transferred = 0;
  if (block_->driver->chars.TransferDataHandler == nullptr) return NDIS_STATUS_NOT_SUPPORTED;
  if (!block_->Enter()) return NDIS_STATUS_CLOSING;
  packet->Runtime.route = this;
  NDIS_STATUS status =
      block_->driver->chars.TransferDataHandler(packet, bytes_transferred, block_->adapter_context,
                                                receive_context, byte_offset, bytes_to_transfer);
  block_->Leave();
  return status;
}

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

}  // namespace detail

namespace {

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

}  // namespace flowsentry::ndis
