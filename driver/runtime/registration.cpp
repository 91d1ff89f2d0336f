// Registration: the wrapper, the driver's two edges, its per-binding configuration read from
// the registry, and its control device handed to the device host.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/runtime/runtime_internal.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "shared/little_endian.h"

namespace flowsentry::ndis {

using detail::LoadingRuntime;
using detail::MiniportDriverBlock;
using detail::ProtocolBlock;
using detail::WrapperBlock;
using Impl = Runtime::Impl;

namespace detail {
namespace {

thread_local Impl* loading_runtime = nullptr;

}  // namespace

Impl* LoadingRuntime() { return loading_runtime; }

DriverEntryScope::DriverEntryScope(Impl* rt) : previous_(loading_runtime) { loading_runtime = rt; }

DriverEntryScope::~DriverEntryScope() { loading_runtime = previous_; }

}  // namespace detail

namespace {

struct DeviceBlock {
  ddk::DeviceHost* host = nullptr;
  ddk::DeviceObject* device = nullptr;
};

struct ConfigBlock {
  platform::RegistryKey key;
  std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> parameters;
  std::vector<std::unique_ptr<std::u16string>> strings;
};

}  // namespace

// ----- The driver's edges --------------------------------------------------------------------

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

}  // namespace flowsentry::ndis
