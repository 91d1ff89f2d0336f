// The miniport edge: the virtual adapters' initialize and halt, requests, power, sends,
// transfers and returned packets.
#include <cstring>

#include "driver/capture.h"
#include "driver/control_device.h"
#include "driver/driver_state.h"
#include "driver/handlers.h"
#include "driver/passthrough.h"

namespace flowsentry::pactrak {

using ndis::NDIS_ATTRIBUTE_DESERIALIZE;
using ndis::NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT;
using ndis::NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT;
using ndis::NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER;
using ndis::NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND;
using ndis::NDIS_DEVICE_POWER_STATE;
using ndis::NDIS_HANDLE;
using ndis::NDIS_MEDIUM;
using ndis::NDIS_OID;
using ndis::NDIS_PACKET;
using ndis::NDIS_PACKET_EXTENSION;
using ndis::NDIS_PACKET_OOB_DATA;
using ndis::NDIS_REQUEST;
using ndis::NDIS_REQUEST_TYPE;
using ndis::NDIS_STATUS;
using ndis::NDIS_STATUS_FAILURE;
using ndis::NDIS_STATUS_INVALID_LENGTH;
using ndis::NDIS_STATUS_MEDIA_CONNECT;
using ndis::NDIS_STATUS_NOT_SUPPORTED;
using ndis::NDIS_STATUS_PENDING;
using ndis::NDIS_STATUS_SUCCESS;
using ndis::NDIS_STATUS_UNSUPPORTED_MEDIA;
using ndis::NdisDeviceStateD0;
using ndis::NdisIMGetDeviceContext;
using ndis::NdisInterfaceInternal;
using ndis::NdisMIndicateStatus;
using ndis::NdisMIndicateStatusComplete;
using ndis::NdisMoveMemory;
using ndis::NdisRequestQueryInformation;
using ndis::NdisRequestSetInformation;
using ndis::SpinLockGuard;

namespace {

Binding* BindingOf(NDIS_HANDLE context) { return static_cast<Binding*>(context); }

constexpr uint32_t kAttributeFlags = NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT |
                                     NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT |
                                     NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER |
                                     NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND;
static_assert(kAttributeFlags == 0x73);

// Passes a query or set down as the binding's forwarded request.
NDIS_STATUS Forward(Binding* binding, NDIS_REQUEST_TYPE type, NDIS_OID oid, void* buffer,
                    uint32_t length, uint32_t* bytes_read_or_written, uint32_t* bytes_needed) {
  {
    SpinLockGuard guard(binding->lock);
    if (binding->unbinding || IsLowPower(binding->virtual_adapter_power_state.load())) {
      return NDIS_STATUS_FAILURE;
    }
  }
  NDIS_REQUEST& request = binding->forwarded_request;
  request.RequestType = type;
  if (type == NdisRequestQueryInformation) {
    request.DATA.QUERY_INFORMATION = {oid, buffer, length, 0, 0};
  } else {
    request.DATA.SET_INFORMATION = {oid, buffer, length, 0, 0};
  }
  binding->caller_bytes_read_or_written = bytes_read_or_written;
  binding->caller_bytes_needed = bytes_needed;
  {
    SpinLockGuard guard(binding->lock);
    if (binding->unbinding) return NDIS_STATUS_FAILURE;
    if (IsLowPower(binding->lower_binding_power_state.load()) && !binding->standing_by) {
      // Sent when the lower adapter is back in D0, or failed.
      binding->request_queued = true;
      return NDIS_STATUS_PENDING;
    }
    if (binding->standing_by) return NDIS_STATUS_FAILURE;
    binding->request_outstanding.store(true);
  }
  NDIS_STATUS status;
  NdisRequest(&status, binding->lower_binding_handle, &request);
  if (status == NDIS_STATUS_PENDING) return NDIS_STATUS_PENDING;
  if (type == NdisRequestQueryInformation) {
    ProtocolRequestComplete(binding, &request, status);
    return NDIS_STATUS_PENDING;
  }
  *bytes_read_or_written = request.DATA.SET_INFORMATION.BytesRead;
  *bytes_needed = request.DATA.SET_INFORMATION.BytesNeeded;
  binding->request_outstanding.store(false);
  return status;
}

// OID_PNP_SET_POWER on the virtual adapter.
NDIS_STATUS SetPower(Binding* binding, const void* buffer, uint32_t length, uint32_t* bytes_read,
                     uint32_t* bytes_needed) {
  *bytes_read = 0;
  *bytes_needed = 0;
  if (length < sizeof(NDIS_DEVICE_POWER_STATE)) {
    *bytes_needed = sizeof(NDIS_DEVICE_POWER_STATE);
    return NDIS_STATUS_INVALID_LENGTH;
  }
  NDIS_DEVICE_POWER_STATE state;
  std::memcpy(&state, buffer, sizeof(state));
  bool indicate = false;
  NDIS_STATUS held_status = NDIS_STATUS_SUCCESS;
  {
    SpinLockGuard guard(binding->lock);
    NDIS_DEVICE_POWER_STATE current = binding->virtual_adapter_power_state.load();
    if (IsLowPower(current) && state != NdisDeviceStateD0) {
      *bytes_needed = sizeof(NDIS_DEVICE_POWER_STATE);
      return NDIS_STATUS_FAILURE;
    }
    if (current == NdisDeviceStateD0 && IsLowPower(state)) binding->standing_by = true;
    if (IsLowPower(current) && state == NdisDeviceStateD0) binding->standing_by = false;
    binding->virtual_adapter_power_state.store(state);
    if (binding->standing_by) {
      binding->latest_unindicated_media_status = binding->last_indicated_media_status;
    } else if (binding->latest_unindicated_media_status != binding->last_indicated_media_status) {
      indicate = true;
      held_status = binding->latest_unindicated_media_status;
      binding->last_indicated_media_status = held_status;
    }
  }
  if (indicate) {
    NDIS_HANDLE miniport = binding->miniport_handle.load();
    NdisMIndicateStatus(miniport, held_status, nullptr, 0);
    NdisMIndicateStatusComplete(miniport);
  }
  *bytes_read = sizeof(NDIS_DEVICE_POWER_STATE);
  return NDIS_STATUS_SUCCESS;
}

}  // namespace

void FinishSend(Binding* binding, NDIS_PACKET* packet, NDIS_STATUS status) {
  SendReserved reserved;
  NdisMoveMemory(&reserved, packet->ProtocolReserved, sizeof(reserved));
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  NdisFreePacket(packet);
  {
    SpinLockGuard guard(binding->lock);
    binding->outstanding_sends.fetch_sub(1);
  }
  NdisMSendComplete(miniport, reserved.original, status);
}

NDIS_STATUS MiniportInitialize(NDIS_STATUS* open_error_status, uint32_t* selected_medium_index,
                               NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                               NDIS_HANDLE miniport_adapter_handle,
                               NDIS_HANDLE /*wrapper_configuration_context*/) {
  DriverState& driver = Driver();
  Binding* binding = BindingOf(NdisIMGetDeviceContext(miniport_adapter_handle));
  binding->miniport_handle.store(miniport_adapter_handle);

  // WAN is presented to the protocols above as Ethernet.
  const NDIS_MEDIUM medium = binding->medium == NdisMediumWan ? NdisMedium802_3 : binding->medium;
  NDIS_STATUS status = NDIS_STATUS_UNSUPPORTED_MEDIA;
  for (uint32_t i = 0; i < medium_array_size; ++i) {
    if (medium_array[i] == medium) {
      *selected_medium_index = i;
      status = NDIS_STATUS_SUCCESS;
      break;
    }
  }

  if (status == NDIS_STATUS_SUCCESS) {
    NdisMSetAttributesEx(miniport_adapter_handle, binding, 0, kAttributeFlags,
                         NdisInterfaceInternal);
    {
      SpinLockGuard guard(binding->lock);
      binding->last_indicated_media_status = NDIS_STATUS_MEDIA_CONNECT;
      binding->latest_unindicated_media_status = NDIS_STATUS_MEDIA_CONNECT;
      binding->virtual_adapter_power_state.store(NdisDeviceStateD0);
      binding->lower_binding_power_state.store(NdisDeviceStateD0);
    }
    {
      SpinLockGuard guard(driver.GlobalLock);
      binding->next = driver.BindingList;
      driver.BindingList = binding;
    }
    RegisterControlDevice();
  } else {
    // No virtual adapter was made: unbind must close the lower binding itself.
    binding->miniport_handle.store(nullptr);
  }

  binding->initialization_pending.store(false);
  NdisSetEvent(&binding->initialization_event);
  *open_error_status = status;
  return status;
}

void MiniportHalt(NDIS_HANDLE miniport_adapter_context) {
  DriverState& driver = Driver();
  Binding* binding = BindingOf(miniport_adapter_context);
  {
    SpinLockGuard guard(driver.GlobalLock);
    for (Binding** link = &driver.BindingList; *link != nullptr; link = &(*link)->next) {
      if (*link == binding) {
        *link = binding->next;
        binding->next = nullptr;
        break;
      }
    }
  }
  DeregisterControlDevice();
  if (binding->lower_binding_handle != nullptr) CloseLowerBinding(binding);
  DereferenceBinding(binding);
}

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE miniport_adapter_context, NDIS_OID oid,
                                     void* information_buffer, uint32_t information_buffer_length,
                                     uint32_t* bytes_written, uint32_t* bytes_needed) {
  if (oid == OID_PNP_QUERY_POWER) return NDIS_STATUS_SUCCESS;
  if (oid == OID_GEN_SUPPORTED_GUIDS) return NDIS_STATUS_NOT_SUPPORTED;
  return Forward(BindingOf(miniport_adapter_context), NdisRequestQueryInformation, oid,
                 information_buffer, information_buffer_length, bytes_written, bytes_needed);
}

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE miniport_adapter_context, NDIS_OID oid,
                                   void* information_buffer, uint32_t information_buffer_length,
                                   uint32_t* bytes_read, uint32_t* bytes_needed) {
  Binding* binding = BindingOf(miniport_adapter_context);
  if (oid == OID_PNP_SET_POWER) {
    return SetPower(binding, information_buffer, information_buffer_length, bytes_read,
                    bytes_needed);
  }
  return Forward(binding, NdisRequestSetInformation, oid, information_buffer,
                 information_buffer_length, bytes_read, bytes_needed);
}

void MiniportSendPackets(NDIS_HANDLE miniport_adapter_context, NDIS_PACKET** packet_array,
                         uint32_t number_of_packets) {
  Binding* binding = BindingOf(miniport_adapter_context);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  for (uint32_t i = 0; i < number_of_packets; ++i) {
    NDIS_PACKET* packet = packet_array[i];
    if (IsLowPower(binding->virtual_adapter_power_state.load())) {
      NdisMSendComplete(miniport, packet, NDIS_STATUS_FAILURE);
      continue;
    }
    CaptureFrameFromPacket(*binding, packet);
    {
      SpinLockGuard guard(binding->lock);
      if (IsLowPower(binding->lower_binding_power_state.load())) {
        guard.Release();
        NdisMSendComplete(miniport, packet, NDIS_STATUS_FAILURE);
        continue;
      }
      binding->outstanding_sends.fetch_add(1);
    }
    NDIS_STATUS status;
    NDIS_PACKET* mine = nullptr;
    NdisAllocatePacket(&status, &mine, binding->send_packet_pool);
    if (status != NDIS_STATUS_SUCCESS) {
      {
        SpinLockGuard guard(binding->lock);
        binding->outstanding_sends.fetch_sub(1);
      }
      NdisMSendComplete(miniport, packet, status);
      continue;
    }
    SendReserved reserved{packet};
    NdisMoveMemory(mine->ProtocolReserved, &reserved, sizeof(reserved));
    NDIS_PACKET_FIRST_NDIS_BUFFER(mine) = NDIS_PACKET_FIRST_NDIS_BUFFER(packet);
    NDIS_PACKET_LAST_NDIS_BUFFER(mine) = NDIS_PACKET_LAST_NDIS_BUFFER(packet);
    mine->Private.ValidCounts = false;
    NdisSetPacketFlags(mine, NdisGetPacketFlags(packet));
    NdisMoveMemory(NDIS_OOB_DATA_FROM_PACKET(mine), NDIS_OOB_DATA_FROM_PACKET(packet),
                   sizeof(NDIS_PACKET_OOB_DATA));
    NdisMoveMemory(NDIS_PACKET_EXTENSION_FROM_PACKET(mine),
                   NDIS_PACKET_EXTENSION_FROM_PACKET(packet), sizeof(NDIS_PACKET_EXTENSION));
    void* media_info = nullptr;
    uint32_t media_info_size = 0;
    NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(packet, &media_info, &media_info_size);
    if (media_info != nullptr || media_info_size != 0) {
      NDIS_SET_PACKET_MEDIA_SPECIFIC_INFO(mine, media_info, media_info_size);
    }
    NdisSend(&status, binding->lower_binding_handle, mine);
    if (status != NDIS_STATUS_PENDING) FinishSend(binding, mine, status);
  }
}

NDIS_STATUS MiniportTransferData(NDIS_PACKET* packet, uint32_t* bytes_transferred,
                                 NDIS_HANDLE miniport_adapter_context,
                                 NDIS_HANDLE miniport_receive_context, uint32_t byte_offset,
                                 uint32_t bytes_to_transfer) {
  Binding* binding = BindingOf(miniport_adapter_context);
  if (binding->virtual_adapter_power_state.load() != NdisDeviceStateD0 ||
      binding->lower_binding_power_state.load() != NdisDeviceStateD0) {
    return NDIS_STATUS_FAILURE;
  }
  NDIS_STATUS status;
  NdisTransferData(&status, binding->lower_binding_handle, miniport_receive_context, byte_offset,
                   bytes_to_transfer, packet, bytes_transferred);
  return status;
}

void MiniportReturnPacket(NDIS_HANDLE /*miniport_adapter_context*/, NDIS_PACKET* packet) {
  ReceiveReserved reserved;
  NdisMoveMemory(&reserved, packet->MiniportReserved, sizeof(reserved));
  NdisFreePacket(packet);
  NdisReturnPackets(&reserved.original, 1);
}

}  // namespace flowsentry::pactrak
