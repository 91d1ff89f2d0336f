// The protocol edge: bind and unbind, the lower adapter's completions, receives, status and
// PnP events.
#include <cstring>

#include "driver/capture.h"
#include "driver/control_requests.h"
#include "driver/driver_state.h"
#include "driver/handlers.h"
#include "driver/passthrough.h"

namespace flowsentry::pactrak {

using ndis::NDIS_CONFIGURATION_PARAMETER;
using ndis::NDIS_DEVICE_POWER_STATE;
using ndis::NDIS_HANDLE;
using ndis::NDIS_MAC_OPTION_NO_LOOPBACK;
using ndis::NDIS_MEDIUM;
using ndis::NDIS_PACKET;
using ndis::NDIS_PNP_CAPABILITIES;
using ndis::NDIS_REQUEST;
using ndis::NDIS_STATUS;
using ndis::NDIS_STATUS_FAILURE;
using ndis::NDIS_STATUS_INVALID_LENGTH;
using ndis::NDIS_STATUS_MEDIA_CONNECT;
using ndis::NDIS_STATUS_MEDIA_DISCONNECT;
using ndis::NDIS_STATUS_NOT_ACCEPTED;
using ndis::NDIS_STATUS_PENDING;
using ndis::NDIS_STATUS_RESOURCES;
using ndis::NDIS_STATUS_SUCCESS;
using ndis::NDIS_STRING;
using ndis::NdisAllocatePacketPoolEx;
using ndis::NdisCloseAdapter;
using ndis::NdisCloseConfiguration;
using ndis::NdisDeviceStateD0;
using ndis::NdisDeviceStateUnspecified;
using ndis::NdisGetReceivedPacket;
using ndis::NdisIMDeInitializeDeviceInstance;
using ndis::NdisMEthIndicateReceive;
using ndis::NdisMEthIndicateReceiveComplete;
using ndis::NdisMFddiIndicateReceive;
using ndis::NdisMFddiIndicateReceiveComplete;
using ndis::NdisMIndicateStatus;
using ndis::NdisMIndicateStatusComplete;
using ndis::NdisMoveMemory;
using ndis::NdisMQueryInformationComplete;
using ndis::NdisMSetInformationComplete;
using ndis::NdisMSleep;
using ndis::NdisMTrIndicateReceive;
using ndis::NdisMTrIndicateReceiveComplete;
using ndis::NdisParameterString;
using ndis::NdisReEnumerateProtocolBindings;
using ndis::NdisRequestQueryInformation;
using ndis::NET_PNP_EVENT;
using ndis::NetEventReconfigure;
using ndis::NetEventSetPower;
using ndis::SpinLockGuard;

namespace {

Binding* BindingOf(NDIS_HANDLE context) { return static_cast<Binding*>(context); }

bool IsMediaStatus(NDIS_STATUS status) {
  return status == NDIS_STATUS_MEDIA_CONNECT || status == NDIS_STATUS_MEDIA_DISCONNECT;
}

bool BothInD0(const Binding& binding) {
  return binding.virtual_adapter_power_state.load() == NdisDeviceStateD0 &&
         binding.lower_binding_power_state.load() == NdisDeviceStateD0;
}

// A PnP set-power event from the lower adapter.
NDIS_STATUS LowerSetPower(Binding* binding, const NET_PNP_EVENT& event) {
  if (event.Buffer == nullptr || event.BufferLength < sizeof(NDIS_DEVICE_POWER_STATE)) {
    return NDIS_STATUS_INVALID_LENGTH;
  }
  NDIS_DEVICE_POWER_STATE state;
  std::memcpy(&state, event.Buffer, sizeof(state));
  bool send_queued = false;
  {
    SpinLockGuard guard(binding->lock);
    NDIS_DEVICE_POWER_STATE previous = binding->lower_binding_power_state.load();
    binding->lower_binding_power_state.store(state);
    if (IsLowPower(state)) {
      if (previous == NdisDeviceStateD0) binding->standing_by = true;
    } else {
      if (IsLowPower(previous)) binding->standing_by = false;
      if (binding->request_queued) {
        binding->request_queued = false;
        binding->request_outstanding.store(true);
        send_queued = true;
      }
    }
  }
  if (IsLowPower(state)) {
    // The lower adapter goes to sleep only once nothing of ours is in it.
    while (binding->outstanding_sends.load() > 0 || binding->request_outstanding.load()) {
      NdisMSleep(2);
    }
    bool fail_queued = false;
    {
      SpinLockGuard guard(binding->lock);
      fail_queued = binding->request_queued;
      binding->request_queued = false;
    }
    if (fail_queued) {
      ProtocolRequestComplete(binding, &binding->forwarded_request, NDIS_STATUS_FAILURE);
    }
  } else if (send_queued) {
    NDIS_STATUS status;
    NdisRequest(&status, binding->lower_binding_handle, &binding->forwarded_request);
    if (status != NDIS_STATUS_PENDING) {
      ProtocolRequestComplete(binding, &binding->forwarded_request, status);
    }
  }
  return NDIS_STATUS_SUCCESS;
}

// Copies what a repackaged packet carries from the packet it stands for: the buffer chain and
// the flags (the caller copies the rest its direction needs).
void ShareChain(NDIS_PACKET* to, NDIS_PACKET* from) {
  NDIS_PACKET_FIRST_NDIS_BUFFER(to) = NDIS_PACKET_FIRST_NDIS_BUFFER(from);
  NDIS_PACKET_LAST_NDIS_BUFFER(to) = NDIS_PACKET_LAST_NDIS_BUFFER(from);
  to->Private.ValidCounts = false;
  NdisSetPacketFlags(to, NdisGetPacketFlags(from));
}

NDIS_PACKET* Originator(NDIS_PACKET* packet) {
  NDIS_PACKET* original = NDIS_GET_ORIGINAL_PACKET(packet);
  return original != nullptr ? original : packet;
}

}  // namespace

NDIS_STATUS CloseLowerBinding(Binding* binding) {
  // Control-device queries already passed to the lower adapter finish first; no new one starts.
  {
    SpinLockGuard guard(binding->lock);
    binding->lower_closing = true;
  }
  while (binding->outstanding_queries.load() > 0) NdisMSleep(50);
  // The event may still be set from an open that pended.
  NdisResetEvent(&binding->open_close_event);
  NDIS_STATUS status;
  NdisCloseAdapter(&status, binding->lower_binding_handle);
  if (status == NDIS_STATUS_PENDING) {
    NdisWaitEvent(&binding->open_close_event, 0);
    status = binding->open_close_status;
  }
  binding->lower_binding_handle = nullptr;
  return status;
}

void ProtocolBindAdapter(NDIS_STATUS* status, NDIS_HANDLE /*bind_context*/,
                         NDIS_STRING* device_name, void* system_specific1,
                         void* /*system_specific2*/) {
  DriverState& driver = Driver();
  NDIS_HANDLE configuration = nullptr;
  NdisOpenProtocolConfiguration(status, &configuration,
                                static_cast<const NDIS_STRING*>(system_specific1));
  if (*status != NDIS_STATUS_SUCCESS) return;

  static char16_t keyword_text[] = u"UpperBindings";
  NDIS_STRING keyword;
  keyword.Buffer = keyword_text;
  keyword.Length = sizeof(keyword_text) - sizeof(char16_t);
  keyword.MaximumLength = sizeof(keyword_text);
  NDIS_CONFIGURATION_PARAMETER* upper_bindings = nullptr;
  NdisReadConfiguration(status, &upper_bindings, configuration, &keyword, NdisParameterString);
  if (*status != NDIS_STATUS_SUCCESS) {
    NdisCloseConfiguration(configuration);
    return;
  }

  Binding* binding = AllocateBinding(upper_bindings->ParameterData.StringData, *device_name);
  if (binding == nullptr) {
    *status = NDIS_STATUS_RESOURCES;
    NdisCloseConfiguration(configuration);
    return;
  }
  ReferenceBinding(binding);
  NdisInitializeEvent(&binding->open_close_event);
  NdisAllocateSpinLock(&binding->lock);

  do {
    // The send pool's reserved space holds the pointer to the protocol's packet.
    NdisAllocatePacketPoolEx(status, &binding->send_packet_pool, 255, 65280, sizeof(SendReserved));
    if (*status != NDIS_STATUS_SUCCESS) break;
    NdisAllocatePacketPoolEx(status, &binding->receive_packet_pool, 255, 65280,
                             kReceiveProtocolReserved);
    if (*status != NDIS_STATUS_SUCCESS) break;

    NDIS_MEDIUM media[kMediumArraySize];
    for (uint32_t i = 0; i < kMediumArraySize; ++i) media[i] = kMediumArray[i];
    uint32_t selected = 0;
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    NdisOpenAdapter(status, &open_error, &binding->lower_binding_handle, &selected, media,
                    kMediumArraySize, driver.protocol_handle, binding, device_name, 0, nullptr);
    if (*status == NDIS_STATUS_PENDING) {
      NdisWaitEvent(&binding->open_close_event, 0);
      *status = binding->open_close_status;
    }
    if (*status != NDIS_STATUS_SUCCESS) {
      binding->lower_binding_handle = nullptr;
      break;
    }
    binding->medium = media[selected];

    binding->initialization_pending.store(true);
    NdisInitializeEvent(&binding->initialization_event);
    *status = NdisIMInitializeDeviceInstanceEx(driver.driver_handle, &binding->upper_bindings_name,
                                               binding);
  } while (false);

  NdisCloseConfiguration(configuration);
  if (*status != NDIS_STATUS_SUCCESS) {
    if (binding->lower_binding_handle != nullptr) CloseLowerBinding(binding);
    DereferenceBinding(binding);
  }
}

void ProtocolUnbindAdapter(NDIS_STATUS* status, NDIS_HANDLE protocol_binding_context,
                           NDIS_HANDLE /*unbind_context*/) {
  DriverState& driver = Driver();
  Binding* binding = BindingOf(protocol_binding_context);
  bool fail_queued = false;
  {
    SpinLockGuard guard(binding->lock);
    binding->unbinding = true;
    if (binding->request_queued) {
      binding->request_queued = false;
      fail_queued = true;
    }
  }
  if (fail_queued) {
    ProtocolRequestComplete(binding, &binding->forwarded_request, NDIS_STATUS_FAILURE);
  }

  if (binding->initialization_pending.load()) {
    NDIS_STATUS cancel =
        NdisIMCancelInitializeDeviceInstance(driver.driver_handle, &binding->upper_bindings_name);
    if (cancel == NDIS_STATUS_SUCCESS) {
      binding->initialization_pending.store(false);
    } else {
      NdisWaitEvent(&binding->initialization_event, 0);
    }
  }

  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport != nullptr) {
    // Halt does the rest and may free the binding: it is not touched after this.
    NDIS_STATUS result = NdisIMDeInitializeDeviceInstance(miniport);
    *status = result == NDIS_STATUS_SUCCESS ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
    return;
  }
  if (binding->lower_binding_handle != nullptr) {
    *status = CloseLowerBinding(binding);
  } else {
    *status = NDIS_STATUS_FAILURE;
  }
  DereferenceBinding(binding);
}

void ProtocolOpenAdapterComplete(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status,
                                 NDIS_STATUS /*open_error_status*/) {
  Binding* binding = BindingOf(protocol_binding_context);
  binding->open_close_status = status;
  NdisSetEvent(&binding->open_close_event);
}

void ProtocolCloseAdapterComplete(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status) {
  Binding* binding = BindingOf(protocol_binding_context);
  binding->open_close_status = status;
  NdisSetEvent(&binding->open_close_event);
}

void ProtocolSendComplete(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                          NDIS_STATUS status) {
  FinishSend(BindingOf(protocol_binding_context), packet, status);
}

void ProtocolTransferDataComplete(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                                  NDIS_STATUS status, uint32_t bytes_transferred) {
  Binding* binding = BindingOf(protocol_binding_context);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport != nullptr) NdisMTransferDataComplete(miniport, packet, status, bytes_transferred);
}

void ProtocolResetComplete(NDIS_HANDLE /*protocol_binding_context*/, NDIS_STATUS /*status*/) {}

void ProtocolRequestComplete(NDIS_HANDLE protocol_binding_context, NDIS_REQUEST* request,
                             NDIS_STATUS status) {
  Binding* binding = BindingOf(protocol_binding_context);
  if (request != &binding->forwarded_request) {
    CompleteControlDeviceQuery(binding, request, status);
    return;
  }
  binding->request_outstanding.store(false);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (request->RequestType == NdisRequestQueryInformation) {
    auto& query = request->DATA.QUERY_INFORMATION;
    if (query.Oid == OID_PNP_CAPABILITIES && status == NDIS_STATUS_SUCCESS) {
      // The driver answers with its own capabilities: it wakes on nothing.
      if (query.InformationBufferLength < sizeof(NDIS_PNP_CAPABILITIES)) {
        query.BytesNeeded = sizeof(NDIS_PNP_CAPABILITIES);
        query.BytesWritten = 0;
        status = NDIS_STATUS_RESOURCES;
      } else {
        auto* capabilities = static_cast<NDIS_PNP_CAPABILITIES*>(query.InformationBuffer);
        capabilities->WakeUpCapabilities.MinMagicPacketWakeUp = NdisDeviceStateUnspecified;
        capabilities->WakeUpCapabilities.MinPatternWakeUp = NdisDeviceStateUnspecified;
        capabilities->WakeUpCapabilities.MinLinkChangeWakeUp = NdisDeviceStateUnspecified;
        query.BytesWritten = sizeof(NDIS_PNP_CAPABILITIES);
        query.BytesNeeded = 0;
        SpinLockGuard guard(binding->lock);
        binding->virtual_adapter_power_state.store(NdisDeviceStateD0);
        binding->lower_binding_power_state.store(NdisDeviceStateD0);
      }
    }
    *binding->caller_bytes_read_or_written = query.BytesWritten;
    *binding->caller_bytes_needed = query.BytesNeeded;
    if (query.Oid == OID_GEN_MAC_OPTIONS && status == NDIS_STATUS_SUCCESS &&
        query.InformationBufferLength >= sizeof(uint32_t)) {
      // Loopback is ours to give: NDIS loops sends back to the protocols above.
      uint32_t options;
      std::memcpy(&options, query.InformationBuffer, sizeof(options));
      options &= ~NDIS_MAC_OPTION_NO_LOOPBACK;
      std::memcpy(query.InformationBuffer, &options, sizeof(options));
    }
    NdisMQueryInformationComplete(miniport, status);
  } else {
    auto& set = request->DATA.SET_INFORMATION;
    *binding->caller_bytes_read_or_written = set.BytesRead;
    *binding->caller_bytes_needed = set.BytesNeeded;
    NdisMSetInformationComplete(miniport, status);
  }
}

NDIS_STATUS ProtocolReceive(NDIS_HANDLE protocol_binding_context, NDIS_HANDLE mac_receive_context,
                            void* header_buffer, uint32_t header_buffer_size,
                            void* lookahead_buffer, uint32_t lookahead_buffer_size,
                            uint32_t packet_size) {
  Binding* binding = BindingOf(protocol_binding_context);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport == nullptr || binding->virtual_adapter_power_state.load() != NdisDeviceStateD0) {
    return NDIS_STATUS_FAILURE;
  }
  CaptureFrameFromIndication(*binding, header_buffer, header_buffer_size, lookahead_buffer,
                             lookahead_buffer_size, packet_size);

  NDIS_PACKET* packet = NdisGetReceivedPacket(binding->lower_binding_handle, mac_receive_context);
  if (packet != nullptr) {
    NDIS_STATUS status;
    NDIS_PACKET* mine = nullptr;
    NdisAllocatePacket(&status, &mine, binding->receive_packet_pool);
    if (status == NDIS_STATUS_SUCCESS) {
      ShareChain(mine, packet);
      NDIS_SET_ORIGINAL_PACKET(mine, Originator(packet));
      NDIS_SET_PACKET_HEADER_SIZE(mine, header_buffer_size);
      // The packet behind an indication cannot be kept: the protocols above must copy it.
      NDIS_SET_PACKET_STATUS(mine, NDIS_STATUS_RESOURCES);
      NdisMIndicateReceivePacket(miniport, &mine, 1);
      NdisFreePacket(mine);
      return NDIS_STATUS_SUCCESS;
    }
    // No packet to spare: indicate the look-ahead instead.
  }

  // FDDI protocols read the destination address behind the frame-control byte: a header too
  // short to hold it is not a frame, and is not passed up.
  uint32_t fddi_address_length = 0;
  if (binding->medium == NdisMediumFddi) {
    const auto* header = static_cast<const uint8_t*>(header_buffer);
    if (header_buffer_size < 1) return NDIS_STATUS_NOT_ACCEPTED;
    fddi_address_length = (header[0] & 0x40) != 0 ? 6 : 2;
    if (header_buffer_size < 1 + fddi_address_length) return NDIS_STATUS_NOT_ACCEPTED;
  }

  binding->receive_indicated.store(true);
  switch (binding->medium) {
    case NdisMedium802_5:
      NdisMTrIndicateReceive(miniport, mac_receive_context, header_buffer, header_buffer_size,
                             lookahead_buffer, lookahead_buffer_size, packet_size);
      break;
    case NdisMediumFddi: {
      auto* header = static_cast<uint8_t*>(header_buffer);
      NdisMFddiIndicateReceive(miniport, mac_receive_context, header + 1, fddi_address_length,
                               header_buffer, header_buffer_size, lookahead_buffer,
                               lookahead_buffer_size, packet_size);
      break;
    }
    default:  // 802.3, and WAN as Ethernet
      NdisMEthIndicateReceive(miniport, mac_receive_context, header_buffer, header_buffer_size,
                              lookahead_buffer, lookahead_buffer_size, packet_size);
      break;
  }
  return NDIS_STATUS_SUCCESS;
}

void ProtocolReceiveComplete(NDIS_HANDLE protocol_binding_context) {
  Binding* binding = BindingOf(protocol_binding_context);
  if (binding->virtual_adapter_power_state.load() != NdisDeviceStateD0) return;
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport != nullptr && binding->receive_indicated.load()) {
    switch (binding->medium) {
      case NdisMedium802_5:
        NdisMTrIndicateReceiveComplete(miniport);
        break;
      case NdisMediumFddi:
        NdisMFddiIndicateReceiveComplete(miniport);
        break;
      default:
        NdisMEthIndicateReceiveComplete(miniport);
        break;
    }
  }
  binding->receive_indicated.store(false);
}

int32_t ProtocolReceivePacket(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet) {
  Binding* binding = BindingOf(protocol_binding_context);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport == nullptr || binding->virtual_adapter_power_state.load() != NdisDeviceStateD0) {
    return 0;
  }
  CaptureFrameFromPacket(*binding, packet);

  NDIS_STATUS status;
  NDIS_PACKET* mine = nullptr;
  NdisAllocatePacket(&status, &mine, binding->receive_packet_pool);
  if (status != NDIS_STATUS_SUCCESS) return 0;
  ReceiveReserved reserved{packet};
  NdisMoveMemory(mine->MiniportReserved, &reserved, sizeof(reserved));
  ShareChain(mine, packet);
  NDIS_SET_ORIGINAL_PACKET(mine, Originator(packet));
  // Read before indicating: once indicated, our packet may already be back and freed.
  const NDIS_STATUS packet_status = NDIS_GET_PACKET_STATUS(packet);
  NDIS_SET_PACKET_STATUS(mine, packet_status);
  NDIS_SET_PACKET_HEADER_SIZE(mine, NDIS_GET_PACKET_HEADER_SIZE(packet));
  NdisMIndicateReceivePacket(miniport, &mine, 1);
  if (packet_status == NDIS_STATUS_RESOURCES) {
    NdisFreePacket(mine);
    return 0;
  }
  return 1;  // the lower packet is ours until the return-packet handler gives it back
}

void ProtocolStatus(NDIS_HANDLE protocol_binding_context, NDIS_STATUS general_status,
                    void* status_buffer, uint32_t status_buffer_size) {
  Binding* binding = BindingOf(protocol_binding_context);
  bool pass_up;
  {
    SpinLockGuard guard(binding->lock);
    pass_up = BothInD0(*binding);
    if (IsMediaStatus(general_status)) {
      if (pass_up) {
        binding->last_indicated_media_status = general_status;
      } else {
        binding->latest_unindicated_media_status = general_status;
      }
    }
  }
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (pass_up && miniport != nullptr) {
    NdisMIndicateStatus(miniport, general_status, status_buffer, status_buffer_size);
  }
}

void ProtocolStatusComplete(NDIS_HANDLE protocol_binding_context) {
  Binding* binding = BindingOf(protocol_binding_context);
  NDIS_HANDLE miniport = binding->miniport_handle.load();
  if (miniport != nullptr && BothInD0(*binding)) NdisMIndicateStatusComplete(miniport);
}

NDIS_STATUS ProtocolPnPEvent(NDIS_HANDLE protocol_binding_context, NET_PNP_EVENT* net_pnp_event) {
  switch (net_pnp_event->NetEvent) {
    case NetEventSetPower:
      if (protocol_binding_context == nullptr) return NDIS_STATUS_SUCCESS;
      return LowerSetPower(BindingOf(protocol_binding_context), *net_pnp_event);
    case NetEventReconfigure:
      if (protocol_binding_context == nullptr) {
        NdisReEnumerateProtocolBindings(Driver().protocol_handle);
      }
      return NDIS_STATUS_SUCCESS;
    default:
      return NDIS_STATUS_SUCCESS;
  }
}

}  // namespace flowsentry::pactrak
