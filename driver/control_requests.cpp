#include "driver/control_requests.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include "driver/control_device.h"
#include "driver/driver_state.h"
#include "shared/control.h"
#include "shared/little_endian.h"

namespace flowsentry::pactrak {

using ddk::IoStackLocation;
using ddk::Irp;
using ddk::NTSTATUS;
using ndis::NDIS_OID;
using ndis::NDIS_REQUEST;
using ndis::NDIS_STATUS;
using ndis::NDIS_STATUS_ADAPTER_NOT_FOUND;
using ndis::NDIS_STATUS_ADAPTER_NOT_READY;
using ndis::NDIS_STATUS_BUFFER_OVERFLOW;
using ndis::NDIS_STATUS_BUFFER_TOO_SHORT;
using ndis::NDIS_STATUS_FAILURE;
using ndis::NDIS_STATUS_INVALID_DATA;
using ndis::NDIS_STATUS_INVALID_LENGTH;
using ndis::NDIS_STATUS_NOT_SUPPORTED;
using ndis::NDIS_STATUS_PENDING;
using ndis::NDIS_STATUS_RESOURCES;
using ndis::NDIS_STATUS_SUCCESS;
using ndis::NDIS_STRING;
using ndis::NdisAllocateMemoryWithTag;
using ndis::NdisFreeMemory;
using ndis::NdisRequestQueryInformation;
using ndis::NdisZeroMemory;
using ndis::SpinLockGuard;

namespace {

void Complete(Irp& irp, NTSTATUS status, uintptr_t information) {
  irp.IoStatus.Status = status;
  irp.IoStatus.Information = information;
  ddk::IoCompleteRequest(irp, ddk::IO_NO_INCREMENT);
}

void StoreZero16(uint8_t* p) { p[0] = p[1] = 0; }

static_assert(std::is_standard_layout_v<OpenContext>);

OpenContext* ContextFromRequest(NDIS_REQUEST* request) {
  return reinterpret_cast<OpenContext*>(reinterpret_cast<uint8_t*>(request) -
                                        offsetof(OpenContext, request));
}

// A zeroed context holding the caller's reference on `binding`; null without memory.
OpenContext* AllocateOpenContext(Binding* binding) {
  void* memory = nullptr;
  if (NdisAllocateMemoryWithTag(&memory, sizeof(OpenContext), kPoolTag) != NDIS_STATUS_SUCCESS) {
    return nullptr;
  }
  NdisZeroMemory(memory, sizeof(OpenContext));
  auto* context = new (memory) OpenContext;
  NdisAllocateSpinLock(&context->lock);
  NdisInitializeEvent(&context->request_event);
  context->binding = binding;
  return context;
}

void FreeOpenContext(OpenContext* context) {
  NdisFreeSpinLock(&context->lock);
  context->~OpenContext();
  NdisFreeMemory(context, sizeof(OpenContext), 0);
}

void ReferenceOpenContext(OpenContext* context) {
  context->reference_count.fetch_add(1);
  ReferenceBinding(context->binding);
}

// Every release gives back one reference on the binding; the last also frees the context.
void DereferenceOpenContext(OpenContext* context) {
  Binding* binding = context->binding;
  if (context->reference_count.fetch_sub(1) == 1) FreeOpenContext(context);
  if (binding != nullptr) DereferenceBinding(binding);
}

void QueryComplete(OpenContext* context, NDIS_STATUS status) {
  context->request_status = status;
  NdisSetEvent(&context->request_event);
}

NTSTATUS EnumBindings(uint8_t* out, uint32_t out_length, uintptr_t& information) {
  if (out == nullptr || out_length < 2) return ddk::STATUS_BUFFER_OVERFLOW;
  DriverState& driver = Driver();
  SpinLockGuard guard(driver.GlobalLock);
  // The list's final empty string is reserved before anything else.
  StoreZero16(out);
  uint32_t position = 0;
  uint32_t room = out_length - 2;
  for (Binding* binding = driver.BindingList; binding != nullptr; binding = binding->next) {
    for (const NDIS_STRING* name : {&binding->upper_bindings_name, &binding->lower_adapter_name}) {
      const uint32_t length = name->Length;
      if (length + 2 > room) return ddk::STATUS_BUFFER_OVERFLOW;
      if (length > 0) std::memcpy(out + position, name->Buffer, length);
      StoreZero16(out + position + length);
      position += length + 2;
      room -= length + 2;
    }
    StoreZero16(out + position);
  }
  information = position + 2;
  return ddk::STATUS_SUCCESS;
}

// The first binding in BindingList whose lower adapter name `matches`, with one more reference;
// null if none.
template <typename Match>
Binding* FindBinding(Match matches) {
  DriverState& driver = Driver();
  SpinLockGuard guard(driver.GlobalLock);
  for (Binding* binding = driver.BindingList; binding != nullptr; binding = binding->next) {
    if (matches(binding->lower_adapter_name)) {
      ReferenceBinding(binding);
      return binding;
    }
  }
  return nullptr;
}

// IOCTL_OPEN_BINDING: the name exactly, length included.
Binding* FindBindingByName(const uint8_t* name, uint16_t length) {
  if (length == 0) return nullptr;
  return FindBinding([&](const NDIS_STRING& lower) {
    return lower.Length == length && std::memcmp(lower.Buffer, name, length) == 0;
  });
}

// IOCTL_QUERY_BINDING: the name fills the start of the 128-byte name field and ends there, at the
// field's end or at a 16-bit zero (the field is zero-filled behind the name), so that "eth1" does
// not answer for "eth10".
Binding* FindBindingForQuery(const uint8_t* field) {
  return FindBinding([&](const NDIS_STRING& lower) {
    const uint32_t length = lower.Length;
    if (length == 0 || length > kQueryNameBytes) return false;
    if (std::memcmp(lower.Buffer, field, length) != 0) return false;
    return length + 2 > kQueryNameBytes || (field[length] == 0 && field[length + 1] == 0);
  });
}

NTSTATUS OpenBinding(ddk::FileObject* file, const uint8_t* in, uint32_t in_length) {
  // One adapter per handle: a handle that holds one keeps it.
  if (file->FsContext != nullptr) return ddk::STATUS_DEVICE_BUSY;
  Binding* binding =
      in == nullptr ? nullptr : FindBindingByName(in, static_cast<uint16_t>(in_length));
  if (binding == nullptr) return ddk::STATUS_OBJECT_NAME_NOT_FOUND;
  {
    SpinLockGuard guard(binding->lock);
    NTSTATUS refusal = ddk::STATUS_SUCCESS;
    if (binding->unbinding) {
      refusal = ddk::STATUS_INVALID_DEVICE_STATE;
    } else if (binding->OpenContext.load() != nullptr) {
      refusal = ddk::STATUS_DEVICE_BUSY;
    }
    if (refusal != ddk::STATUS_SUCCESS) {
      guard.Release();
      DereferenceBinding(binding);
      return refusal;
    }
  }
  OpenContext* context = AllocateOpenContext(binding);
  if (context == nullptr) {
    DereferenceBinding(binding);
    return ddk::STATUS_INSUFFICIENT_RESOURCES;
  }
  OpenContext* expected = nullptr;
  if (!binding->OpenContext.compare_exchange_strong(expected, context)) {
    FreeOpenContext(context);
    DereferenceBinding(binding);
    return ddk::STATUS_DEVICE_BUSY;
  }
  file->FsContext = context;
  return ddk::STATUS_SUCCESS;
}

NTSTATUS QueryBinding(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                      uintptr_t& information) {
  if (buffer == nullptr || in_length < kQueryBlockSize) return ddk::STATUS_INVALID_PARAMETER;
  const uint32_t interface_number = LoadLe32(buffer + kQueryInterfaceOffset);
  const NDIS_OID oid = LoadLe32(buffer + kQueryOidOffset);

  void* scratch = nullptr;
  if (NdisAllocateMemoryWithTag(&scratch, kQueryNameBytes, kPoolTag) != NDIS_STATUS_SUCCESS) {
    return ddk::STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memcpy(scratch, buffer, kQueryNameBytes);
  Binding* binding = FindBindingForQuery(static_cast<const uint8_t*>(scratch));
  NdisFreeMemory(scratch, kQueryNameBytes, 0);
  if (binding == nullptr) return ddk::STATUS_OBJECT_NAME_NOT_FOUND;

  if (binding->OpenContext.load() == nullptr) {
    DereferenceBinding(binding);
    return ddk::STATUS_INVALID_HANDLE;
  }
  binding->InterfaceNumber.store(interface_number);

  OpenContext* context = nullptr;
  {
    SpinLockGuard guard(binding->lock);
    context = binding->OpenContext.load();
    if (binding->unbinding || IsLowPower(binding->virtual_adapter_power_state.load()) ||
        binding->standing_by || binding->lower_closing || context == nullptr) {
      guard.Release();
      DereferenceBinding(binding);
      return context == nullptr ? ddk::STATUS_INVALID_HANDLE : ddk::STATUS_INVALID_DEVICE_STATE;
    }
    ReferenceOpenContext(context);
    // Holds off the close of the lower binding until the query is answered.
    binding->outstanding_queries.fetch_add(1);
  }
  // The reference on the context holds the binding from here on.
  DereferenceBinding(binding);

  NDIS_STATUS status;
  {
    // The context has one request block: queries of several handles to this adapter take turns.
    std::lock_guard turn(context->query_turn);
    NDIS_REQUEST& request = context->request;
    request.RequestType = NdisRequestQueryInformation;
    request.DATA.QUERY_INFORMATION.Oid = oid;
    request.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
    request.DATA.QUERY_INFORMATION.InformationBufferLength = out_length;
    request.DATA.QUERY_INFORMATION.BytesWritten = 0;
    request.DATA.QUERY_INFORMATION.BytesNeeded = 0;
    context->request_complete = QueryComplete;
    context->request_complete_context = context;
    NdisResetEvent(&context->request_event);
    NdisRequest(&status, context->binding->lower_binding_handle, &request);
    if (status != NDIS_STATUS_PENDING) QueryComplete(context, status);
    NdisWaitEvent(&context->request_event, 0);
    status = TranslateQueryStatus(context->request_status);
    if (status == ddk::STATUS_SUCCESS) {
      information = std::min(request.DATA.QUERY_INFORMATION.BytesWritten, out_length);
    }
  }
  {
    SpinLockGuard guard(context->binding->lock);
    context->binding->outstanding_queries.fetch_sub(1);
  }
  DereferenceOpenContext(context);
  return status;
}

NTSTATUS SetCapture(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                    uintptr_t& information) {
  if (buffer == nullptr || in_length < 1) return ddk::STATUS_INVALID_PARAMETER;
  if (out_length < 4) return ddk::STATUS_BUFFER_TOO_SMALL;
  StoreLe32(buffer, SetCaptureFlags(buffer[0]));
  information = 4;
  return ddk::STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DispatchCreate(ddk::DeviceObject& /*device*/, Irp& irp) {
  IoStackLocation* stack = ddk::IoGetCurrentIrpStackLocation(irp);
  stack->FileObject->FsContext = nullptr;
  stack->FileObject->FsContext2 = nullptr;
  Complete(irp, ddk::STATUS_SUCCESS, 0);
  return ddk::STATUS_SUCCESS;
}

NTSTATUS DispatchCleanup(ddk::DeviceObject& /*device*/, Irp& irp) {
  Complete(irp, ddk::STATUS_SUCCESS, 0);
  return ddk::STATUS_SUCCESS;
}

NTSTATUS DispatchClose(ddk::DeviceObject& /*device*/, Irp& irp) {
  ddk::FileObject* file = ddk::IoGetCurrentIrpStackLocation(irp)->FileObject;
  auto* context = static_cast<OpenContext*>(file->FsContext);
  file->FsContext = nullptr;
  file->FsContext2 = nullptr;
  if (context != nullptr) {
    if (Binding* binding = context->binding; binding != nullptr) {
      SpinLockGuard guard(binding->lock);
      OpenContext* expected = context;
      binding->OpenContext.compare_exchange_strong(expected, nullptr);
    }
    DereferenceOpenContext(context);
  }
  Complete(irp, ddk::STATUS_SUCCESS, 0);
  return ddk::STATUS_SUCCESS;
}

NTSTATUS ServeControlRequest(Irp& irp) {
  IoStackLocation* stack = ddk::IoGetCurrentIrpStackLocation(irp);
  const uint32_t in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const uint32_t out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<uint8_t*>(irp.SystemBuffer);
  uintptr_t information = 0;
  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ENUM_BINDINGS:
      status = EnumBindings(buffer, out_length, information);
      break;
    case IOCTL_OPEN_BINDING:
      status = OpenBinding(stack->FileObject, buffer, in_length);
      break;
    case IOCTL_QUERY_BINDING:
      status = QueryBinding(buffer, in_length, out_length, information);
      break;
    case IOCTL_SET_CAPTURE:
      status = SetCapture(buffer, in_length, out_length, information);
      break;
    case IOCTL_NOP:
      status = ddk::STATUS_SUCCESS;
      break;
    default:
      status = ddk::STATUS_NOT_SUPPORTED;
      break;
  }
  if (status != ddk::STATUS_SUCCESS) information = 0;
  Complete(irp, status, information);
  return status;
}

void CompleteControlDeviceQuery(Binding* /*binding*/, NDIS_REQUEST* request, NDIS_STATUS status) {
  OpenContext* context = ContextFromRequest(request);
  context->request_complete(context->request_complete_context, status);
}

NTSTATUS TranslateQueryStatus(NDIS_STATUS status) {
  switch (status) {
    case NDIS_STATUS_SUCCESS:
    case NDIS_STATUS_BUFFER_OVERFLOW:
    case NDIS_STATUS_FAILURE:
    case NDIS_STATUS_RESOURCES:
    case NDIS_STATUS_NOT_SUPPORTED:
      return status;
    case NDIS_STATUS_BUFFER_TOO_SHORT:
      return ddk::STATUS_BUFFER_TOO_SMALL;
    case NDIS_STATUS_INVALID_LENGTH:
      return ddk::STATUS_INVALID_BUFFER_SIZE;
    case NDIS_STATUS_INVALID_DATA:
      return ddk::STATUS_INVALID_PARAMETER;
    case NDIS_STATUS_ADAPTER_NOT_FOUND:
      return ddk::STATUS_NO_MORE_ENTRIES;
    case NDIS_STATUS_ADAPTER_NOT_READY:
      return ddk::STATUS_DEVICE_NOT_READY;
    default:
      return ddk::STATUS_UNSUCCESSFUL;
  }
}

}  // namespace flowsentry::pactrak
