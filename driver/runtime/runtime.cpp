// The host's side of the runtime: loading the driver, adding and removing lower adapters,
// attaching the protocols above the virtual adapters, and the network installer's step.
#include "driver/runtime/runtime.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "driver/runtime/runtime_internal.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace flowsentry::ndis {

using detail::AdapterEntry;
using detail::BindingImpl;
using detail::MiniportBlock;
using detail::OpenBlock;
using detail::ProtocolBlock;
using Impl = Runtime::Impl;

namespace {

constexpr char16_t kDevicePrefix[] = u"\\Device\\";

}  // namespace

std::vector<ProtocolBlock*> Impl::Protocols() {
  std::lock_guard lock(mu);
  std::vector<ProtocolBlock*> result;
  for (auto& p : protocols) result.push_back(p.get());
  return result;
}

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
  ddk::NTSTATUS status;
  {
    detail::DriverEntryScope scope(impl_.get());
    status = entry(&impl_->driver_object, impl_->registry_path.ptr());
  }
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
