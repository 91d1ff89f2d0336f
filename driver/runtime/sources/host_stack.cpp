#include "driver/runtime/sources/host_stack.h"

#include <cstdlib>

#include "platform/registry.h"

namespace flowsentry::ndis {

HostStack::HostStack(std::string protocol) : protocol_(std::move(protocol)) {
  NDIS_STATUS status;
  NdisAllocatePacketPoolEx(&status, &pool_, 64, 65000, 0);
  if (status != NDIS_STATUS_SUCCESS) std::abort();
}

HostStack::~HostStack() {
  {
    std::lock_guard lock(mu_);
    sends_.clear();
  }
  NdisFreePacketPool(pool_);
}

std::u16string HostStack::VirtualAdapterName(std::string_view lower_adapter) {
  {
    std::lock_guard lock(mu_);
    auto it = upper_names_.find(lower_adapter);
    if (it != upper_names_.end()) return it->second;
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
  upper_names_.emplace(std::string(lower_adapter), name);
  return name;
}

std::shared_ptr<VirtualAdapterBinding> HostStack::BindingAbove(std::string_view lower_adapter) {
  {
    // Every frame sent asks: once the name is known, one pass under the lock, no copy of it.
    std::lock_guard lock(mu_);
    auto name = upper_names_.find(lower_adapter);
    if (name != upper_names_.end()) {
      auto it = bindings_.find(name->second);
      return it == bindings_.end() ? nullptr : it->second;
    }
  }
  const std::u16string name = VirtualAdapterName(lower_adapter);
  std::lock_guard lock(mu_);
  auto it = bindings_.find(name);
  return it == bindings_.end() ? nullptr : it->second;
}

bool HostStack::IsBound(std::string_view lower_adapter) {
  return BindingAbove(lower_adapter) != nullptr;
}

bool HostStack::Send(std::string_view lower_adapter, const SourceFrame& frame) {
  std::shared_ptr<VirtualAdapterBinding> binding = BindingAbove(lower_adapter);
  if (binding == nullptr) return false;
  std::unique_ptr<FramePacket> sent = FramePacket::Make(pool_, FrameForRuntime(frame));
  if (sent == nullptr) return false;
  NDIS_PACKET* packet = sent->packet();
  {
    std::lock_guard lock(mu_);
    sends_[packet] = std::move(sent);
  }
  // The completion may come before SendPackets returns, so the packet is filed first.
  binding->SendPackets(&packet, 1);
  return true;
}

size_t HostStack::SendsOutstanding() const {
  std::lock_guard lock(mu_);
  return sends_.size();
}

uint64_t HostStack::SendsFailed() const {
  std::lock_guard lock(mu_);
  return sends_failed_;
}

void HostStack::BindAdapter(const std::shared_ptr<VirtualAdapterBinding>& binding) {
  std::lock_guard lock(mu_);
  bindings_[binding->Name()] = binding;
}

void HostStack::UnbindAdapter(VirtualAdapterBinding& binding) {
  std::lock_guard lock(mu_);
  auto it = bindings_.find(binding.Name());
  if (it != bindings_.end() && it->second.get() == &binding) bindings_.erase(it);
}

void HostStack::SendComplete(VirtualAdapterBinding& /*binding*/, NDIS_PACKET* packet,
                             NDIS_STATUS status) {
  std::unique_ptr<FramePacket> done;
  std::lock_guard lock(mu_);
  auto it = sends_.find(packet);
  if (it != sends_.end()) {
    done = std::move(it->second);
    sends_.erase(it);
  }
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
