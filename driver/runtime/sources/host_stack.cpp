#include "driver/runtime/sources/host_stack.h"

#include <cstdlib>
#include <cstring>

#include "platform/registry.h"

namespace flowsentry::ndis {

HostStack::HostStack(std::string protocol) : protocol_(std::move(protocol)) {
  NDIS_STATUS status;
  NdisAllocatePacketPoolEx(&status, &pool_, 64, 65000, sizeof(SentFrame*));
  if (status != NDIS_STATUS_SUCCESS) std::abort();
}

HostStack::~HostStack() {
  {
    std::lock_guard lock(mu_);
    for (auto& sent : frames_) {
      if (sent->packet != nullptr) NdisFreePacket(sent->packet);
    }
    frames_.clear();
  }
  NdisFreePacketPool(pool_);
}

std::u16string HostStack::VirtualAdapterName(std::string_view lower_adapter) {
  {
    std::lock_guard lock(mu_);
    auto it = uppers_.find(lower_adapter);
    if (it != uppers_.end()) return it->second.name;
  }
  // The installation step wrote the value before the driver bound; it does not change while
  // the adapter is known, so one registry read per adapter is enough.
  std::string value;
  if (platform::RegistryGetString(Runtime::ProtocolConfigurationKey(protocol_, lower_adapter),
                                  "UpperBindings", value) != platform::ERROR_SUCCESS) {
    value = Runtime::DefaultUpperBindings(protocol_, lower_adapter);
  }
  std::u16string name = WidenName(value);
  std::lock_guard lock(mu_);
  auto [it, added] = uppers_.try_emplace(std::string(lower_adapter), Upper{name, nullptr});
  if (added) {
    auto bound = bindings_.find(name);
    if (bound != bindings_.end()) it->second.binding = bound->second;
  }
  return name;
}

std::shared_ptr<VirtualAdapterBinding> HostStack::BindingAbove(std::string_view lower_adapter) {
  VirtualAdapterName(lower_adapter);
  std::lock_guard lock(mu_);
  auto it = uppers_.find(lower_adapter);
  return it == uppers_.end() ? nullptr : it->second.binding;
}

bool HostStack::IsBound(std::string_view lower_adapter) {
  return BindingAbove(lower_adapter) != nullptr;
}

HostStack::Lookup HostStack::ReserveLocked(std::string_view lower_adapter,
                                           std::shared_ptr<VirtualAdapterBinding>& binding,
                                           SentFrame*& sent) {
  auto it = uppers_.find(lower_adapter);
  if (it == uppers_.end()) return Lookup::kUnknown;
  if (it->second.binding == nullptr) return Lookup::kUnbound;
  binding = it->second.binding;
  if (free_frames_ != nullptr) {
    sent = free_frames_;
    free_frames_ = sent->next_free;
  } else {
    frames_.push_back(std::make_unique<SentFrame>());
    sent = frames_.back().get();
  }
  ++sends_outstanding_;
  return Lookup::kBound;
}

void HostStack::ReleaseLocked(SentFrame* sent) {
  sent->next_free = free_frames_;
  free_frames_ = sent;
  --sends_outstanding_;
}

bool HostStack::Send(std::string_view lower_adapter, const SourceFrame& frame) {
  // Every frame sent comes here: one pass under the lock finds the binding and files the send,
  // and the frame's storage is reused from one sent before.
  std::shared_ptr<VirtualAdapterBinding> binding;
  SentFrame* sent = nullptr;
  Lookup found;
  {
    std::lock_guard lock(mu_);
    found = ReserveLocked(lower_adapter, binding, sent);
  }
  if (found == Lookup::kUnknown) {
    VirtualAdapterName(lower_adapter);
    std::lock_guard lock(mu_);
    found = ReserveLocked(lower_adapter, binding, sent);
  }
  if (found != Lookup::kBound) return false;
  // A frame sent before keeps its packet; only a new one takes one from the pool.
  if (sent->packet != nullptr) {
    NdisReinitializePacket(sent->packet);
  } else {
    NDIS_STATUS status;
    NdisAllocatePacket(&status, &sent->packet, pool_);
    if (status != NDIS_STATUS_SUCCESS) {
      sent->packet = nullptr;
      std::lock_guard lock(mu_);
      ReleaseLocked(sent);
      return false;
    }
  }
  NDIS_PACKET* packet = sent->packet;
  FrameForRuntime(frame, sent->bytes);
  sent->buffer = NDIS_BUFFER{};
  sent->buffer.VirtualAddress = sent->bytes.data();
  sent->buffer.ByteCount = static_cast<uint32_t>(sent->bytes.size());
  NdisChainBufferAtBack(packet, &sent->buffer);
  std::memcpy(packet->ProtocolReserved, &sent, sizeof(sent));
  // The completion may come before SendPackets returns, so the frame is filed first.
  binding->SendPackets(&packet, 1);
  return true;
}

size_t HostStack::SendsOutstanding() const {
  std::lock_guard lock(mu_);
  return sends_outstanding_;
}

uint64_t HostStack::SendsFailed() const {
  std::lock_guard lock(mu_);
  return sends_failed_;
}

void HostStack::BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) {
  std::lock_guard lock(mu_);
  bindings_[binding->Name()] = binding;
  for (auto& [lower, upper] : uppers_) {
    if (upper.name == binding->Name()) upper.binding = binding;
  }
}

void HostStack::UnbindAdapter(VirtualAdapterBinding& binding) {
  std::lock_guard lock(mu_);
  auto it = bindings_.find(binding.Name());
  if (it != bindings_.end() && it->second.get() == &binding) bindings_.erase(it);
  for (auto& [lower, upper] : uppers_) {
    if (upper.binding.get() == &binding) upper.binding = nullptr;
  }
}

void HostStack::SendComplete(VirtualAdapterBinding& /*binding*/, NDIS_PACKET* packet,
                             NDIS_STATUS status) {
  SentFrame* sent;
  std::memcpy(&sent, packet->ProtocolReserved, sizeof(sent));
  std::lock_guard lock(mu_);
  ReleaseLocked(sent);
  if (status != NDIS_STATUS_SUCCESS) ++sends_failed_;
}

void HostStack::RequestComplete(VirtualAdapterBinding& /*binding*/,
                                const std::shared_ptr<UpperRequest>& /*request*/) {}

NDIS_STATUS HostStack::Receive(VirtualAdapterBinding& /*binding*/,
                               const UpperReceive& /*receive*/) {
  return NDIS_STATUS_SUCCESS;
}

void HostStack::ReceiveComplete(VirtualAdapterBinding& /*binding*/) {}

int32_t HostStack::ReceivePacket(VirtualAdapterBinding& /*binding*/, NDIS_PACKET* /*packet*/) {
  return 0;  // nothing kept
}

void HostStack::TransferDataComplete(VirtualAdapterBinding& /*binding*/, NDIS_PACKET* /*packet*/,
                                     NDIS_STATUS /*status*/, uint32_t /*bytes_transferred*/) {}

void HostStack::Status(VirtualAdapterBinding& /*binding*/, NDIS_STATUS /*status*/,
                       const void* /*buffer*/, uint32_t /*size*/) {}

void HostStack::StatusComplete(VirtualAdapterBinding& /*binding*/) {}

}  // namespace flowsentry::ndis
