// The NDIS 5 intermediate-driver interface, as the runtime offers it to a driver: registration
// of the two edges, lower adapters (open, close, requests, sends, transfers, returns), virtual
// adapters (initialize, cancel, de-initialize, attributes, indications up, completions), the
// per-binding configuration, and the control-device registration.
//
// Handles are the runtime's objects; a driver keeps them, never frees them. Every call may be
// made from any thread; the waits a call makes are named with it.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_NDIS_H_
#define FLOWSENTRY_DRIVER_RUNTIME_NDIS_H_

#include <cstdint>

#include "driver/runtime/io/dispatch.h"
#include "driver/runtime/kernel.h"
#include "driver/runtime/memory.h"
#include "driver/runtime/ndis_types.h"
#include "driver/runtime/ntstatus.h"
#include "driver/runtime/packet.h"
#include "driver/runtime/sync.h"

namespace flowsentry::ndis {

// Miniport edge handlers (NDIS 4.0 characteristics). Null entries are not registered.
using W_INITIALIZE_HANDLER = NDIS_STATUS (*)(NDIS_STATUS* open_error_status,
                                             uint32_t* selected_medium_index,
                                             NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                                             NDIS_HANDLE miniport_adapter_handle,
                                             NDIS_HANDLE wrapper_configuration_context);
using W_HALT_HANDLER = void (*)(NDIS_HANDLE miniport_adapter_context);
using W_QUERY_INFORMATION_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE miniport_adapter_context,
                                                    NDIS_OID oid, void* information_buffer,
                                                    uint32_t information_buffer_length,
                                                    uint32_t* bytes_written,
                                                    uint32_t* bytes_needed);
using W_SET_INFORMATION_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE miniport_adapter_context,
                                                  NDIS_OID oid, void* information_buffer,
                                                  uint32_t information_buffer_length,
                                                  uint32_t* bytes_read, uint32_t* bytes_needed);
using W_SEND_PACKETS_HANDLER = void (*)(NDIS_HANDLE miniport_adapter_context,
                                        NDIS_PACKET** packet_array, uint32_t number_of_packets);
using W_SEND_HANDLER = NDIS_STATUS (*)(NDIS_HANDLE miniport_adapter_context, NDIS_PACKET* packet,
                                       uint32_t flags);
using W_TRANSFER_DATA_HANDLER = NDIS_STATUS (*)(NDIS_PACKET* packet, uint32_t* bytes_transferred,
                                                NDIS_HANDLE miniport_adapter_context,
                                                NDIS_HANDLE miniport_receive_context,
                                                uint32_t byte_offset, uint32_t bytes_to_transfer);
using W_RETURN_PACKET_HANDLER = void (*)(NDIS_HANDLE miniport_adapter_context, NDIS_PACKET* packet);
using W_CHECK_FOR_HANG_HANDLER = bool (*)(NDIS_HANDLE miniport_adapter_context);
using W_RESET_HANDLER = NDIS_STATUS (*)(bool* addressing_reset,
                                        NDIS_HANDLE miniport_adapter_context);
using W_HANDLE_INTERRUPT_HANDLER = void (*)(NDIS_HANDLE miniport_adapter_context);
using W_ISR_HANDLER = void (*)(bool* interrupt_recognized, bool* queue_miniport_handle_interrupt,
                               NDIS_HANDLE miniport_adapter_context);

struct NDIS_MINIPORT_CHARACTERISTICS {
  uint8_t MajorNdisVersion = 0;
  uint8_t MinorNdisVersion = 0;
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler = nullptr;
  W_HALT_HANDLER HaltHandler = nullptr;
  W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler = nullptr;
  W_INITIALIZE_HANDLER InitializeHandler = nullptr;
  W_ISR_HANDLER ISRHandler = nullptr;
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler = nullptr;
  W_RESET_HANDLER ResetHandler = nullptr;
  W_SEND_HANDLER SendHandler = nullptr;
  W_SET_INFORMATION_HANDLER SetInformationHandler = nullptr;
  W_TRANSFER_DATA_HANDLER TransferDataHandler = nullptr;
  W_RETURN_PACKET_HANDLER ReturnPacketHandler = nullptr;
  W_SEND_PACKETS_HANDLER SendPacketsHandler = nullptr;
};

// Protocol edge handlers (NDIS 4.0 characteristics).
struct NDIS_PROTOCOL_CHARACTERISTICS {
  uint8_t MajorNdisVersion = 0;
  uint8_t MinorNdisVersion = 0;
  void (*OpenAdapterCompleteHandler)(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status,
                                     NDIS_STATUS open_error_status) = nullptr;
  void (*CloseAdapterCompleteHandler)(NDIS_HANDLE protocol_binding_context,
                                      NDIS_STATUS status) = nullptr;
  void (*SendCompleteHandler)(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                              NDIS_STATUS status) = nullptr;
  void (*TransferDataCompleteHandler)(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                                      NDIS_STATUS status, uint32_t bytes_transferred) = nullptr;
  void (*ResetCompleteHandler)(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status) = nullptr;
  void (*RequestCompleteHandler)(NDIS_HANDLE protocol_binding_context, NDIS_REQUEST* request,
                                 NDIS_STATUS status) = nullptr;
  NDIS_STATUS(*ReceiveHandler)
  (NDIS_HANDLE protocol_binding_context, NDIS_HANDLE mac_receive_context, void* header_buffer,
   uint32_t header_buffer_size, void* lookahead_buffer, uint32_t lookahead_buffer_size,
   uint32_t packet_size) = nullptr;
  void (*ReceiveCompleteHandler)(NDIS_HANDLE protocol_binding_context) = nullptr;
  void (*StatusHandler)(NDIS_HANDLE protocol_binding_context, NDIS_STATUS general_status,
                        void* status_buffer, uint32_t status_buffer_size) = nullptr;
  void (*StatusCompleteHandler)(NDIS_HANDLE protocol_binding_context) = nullptr;
  NDIS_STRING Name;
  int32_t (*ReceivePacketHandler)(NDIS_HANDLE protocol_binding_context,
                                  NDIS_PACKET* packet) = nullptr;
  void (*BindAdapterHandler)(NDIS_STATUS* status, NDIS_HANDLE bind_context,
                             NDIS_STRING* device_name, void* system_specific1,
                             void* system_specific2) = nullptr;
  void (*UnbindAdapterHandler)(NDIS_STATUS* status, NDIS_HANDLE protocol_binding_context,
                               NDIS_HANDLE unbind_context) = nullptr;
  NDIS_STATUS(*PnPEventHandler)
  (NDIS_HANDLE protocol_binding_context, NET_PNP_EVENT* net_pnp_event) = nullptr;
  void (*UnloadHandler)() = nullptr;
};

using DRIVER_UNLOAD = void (*)(ddk::DRIVER_OBJECT* driver_object);

// --- Registration -------------------------------------------------------------------------
void NdisMInitializeWrapper(NDIS_HANDLE* wrapper_handle, ddk::DRIVER_OBJECT* driver_object,
                            const NDIS_STRING* registry_path, void* unused);
void NdisTerminateWrapper(NDIS_HANDLE wrapper_handle, void* unused);
NDIS_STATUS NdisIMRegisterLayeredMiniport(NDIS_HANDLE wrapper_handle,
                                          const NDIS_MINIPORT_CHARACTERISTICS* characteristics,
                                          uint32_t characteristics_length,
                                          NDIS_HANDLE* driver_handle);
void NdisIMDeregisterLayeredMiniport(NDIS_HANDLE driver_handle);
void NdisMRegisterUnloadHandler(NDIS_HANDLE wrapper_handle, DRIVER_UNLOAD unload_handler);
void NdisRegisterProtocol(NDIS_STATUS* status, NDIS_HANDLE* protocol_handle,
                          const NDIS_PROTOCOL_CHARACTERISTICS* characteristics,
                          uint32_t characteristics_length);
void NdisDeregisterProtocol(NDIS_STATUS* status, NDIS_HANDLE protocol_handle);
void NdisIMAssociateMiniport(NDIS_HANDLE driver_handle, NDIS_HANDLE protocol_handle);

// --- Per-binding configuration -------------------------------------------------------------
enum NDIS_PARAMETER_TYPE : uint32_t {
  NdisParameterInteger = 0,
  NdisParameterHexInteger = 1,
  NdisParameterString = 2,
  NdisParameterMultiString = 3,
};

struct NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType = NdisParameterString;
  struct {
    uint32_t IntegerData = 0;
    NDIS_STRING StringData;
  } ParameterData;
};

// `protocol_section` is the bind handler's first system-specific value. The parameters read
// stay valid until NdisCloseConfiguration.
void NdisOpenProtocolConfiguration(NDIS_STATUS* status, NDIS_HANDLE* configuration_handle,
                                   const NDIS_STRING* protocol_section);
void NdisReadConfiguration(NDIS_STATUS* status, NDIS_CONFIGURATION_PARAMETER** parameter_value,
                           NDIS_HANDLE configuration_handle, const NDIS_STRING* keyword,
                           NDIS_PARAMETER_TYPE parameter_type);
void NdisCloseConfiguration(NDIS_HANDLE configuration_handle);

// --- Lower adapters (protocol edge) ---------------------------------------------------------
// Selects the first medium of the array the adapter supports (NDIS_STATUS_UNSUPPORTED_MEDIA if
// none). May pend: the open-complete handler tells the result; *binding_handle is set at once.
void NdisOpenAdapter(NDIS_STATUS* status, NDIS_STATUS* open_error_status,
                     NDIS_HANDLE* binding_handle, uint32_t* selected_medium_index,
                     NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                     NDIS_HANDLE protocol_handle, NDIS_HANDLE protocol_binding_context,
                     const NDIS_STRING* adapter_name, uint32_t open_options,
                     void* addressing_information);
// Waits for indications in progress on the binding to end; then may pend (close-complete).
void NdisCloseAdapter(NDIS_STATUS* status, NDIS_HANDLE binding_handle);
void NdisRequest(NDIS_STATUS* status, NDIS_HANDLE binding_handle, NDIS_REQUEST* request);
void NdisSend(NDIS_STATUS* status, NDIS_HANDLE binding_handle, NDIS_PACKET* packet);
void NdisTransferData(NDIS_STATUS* status, NDIS_HANDLE binding_handle,
                      NDIS_HANDLE mac_receive_context, uint32_t byte_offset,
                      uint32_t bytes_to_transfer, NDIS_PACKET* packet, uint32_t* bytes_transferred);
// The packet behind a header/look-ahead indication, or null when there is none.
NDIS_PACKET* NdisGetReceivedPacket(NDIS_HANDLE binding_handle, NDIS_HANDLE mac_receive_context);
// Gives indicated packets that a protocol (or driver) held back to their owner.
void NdisReturnPackets(NDIS_PACKET** packets, uint32_t number_of_packets);
void NdisReEnumerateProtocolBindings(NDIS_HANDLE protocol_handle);

// --- Virtual adapters (miniport edge) -------------------------------------------------------
NDIS_STATUS NdisIMInitializeDeviceInstanceEx(NDIS_HANDLE driver_handle,
                                             const NDIS_STRING* device_instance,
                                             NDIS_HANDLE device_context);
// NDIS_STATUS_SUCCESS if the initialization had not begun and never will; failure otherwise.
NDIS_STATUS NdisIMCancelInitializeDeviceInstance(NDIS_HANDLE driver_handle,
                                                 const NDIS_STRING* device_instance);
// Unbinds the protocols above (waiting for their sends and requests), then runs halt.
NDIS_STATUS NdisIMDeInitializeDeviceInstance(NDIS_HANDLE miniport_adapter_handle);
NDIS_HANDLE NdisIMGetDeviceContext(NDIS_HANDLE miniport_adapter_handle);
void NdisMSetAttributesEx(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE miniport_adapter_context,
                          uint32_t check_for_hang_seconds, uint32_t attribute_flags,
                          NDIS_INTERFACE_TYPE adapter_type);

void NdisMSendComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_PACKET* packet,
                       NDIS_STATUS status);
void NdisMTransferDataComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_PACKET* packet,
                               NDIS_STATUS status, uint32_t bytes_transferred);
void NdisMQueryInformationComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS status);
void NdisMSetInformationComplete(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS status);
void NdisMIndicateReceivePacket(NDIS_HANDLE miniport_adapter_handle, NDIS_PACKET** packets,
                                uint32_t number_of_packets);
void NdisMEthIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                             void* header_buffer, uint32_t header_buffer_size,
                             void* lookahead_buffer, uint32_t lookahead_buffer_size,
                             uint32_t packet_size);
void NdisMTrIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                            void* header_buffer, uint32_t header_buffer_size,
                            void* lookahead_buffer, uint32_t lookahead_buffer_size,
                            uint32_t packet_size);
// FDDI filters on the address that starts at `address` (6 or 2 bytes long).
void NdisMFddiIndicateReceive(NDIS_HANDLE miniport_adapter_handle, NDIS_HANDLE receive_context,
                              void* address, uint32_t address_length, void* header_buffer,
                              uint32_t header_buffer_size, void* lookahead_buffer,
                              uint32_t lookahead_buffer_size, uint32_t packet_size);
void NdisMEthIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle);
void NdisMTrIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle);
void NdisMFddiIndicateReceiveComplete(NDIS_HANDLE miniport_adapter_handle);
void NdisMIndicateStatus(NDIS_HANDLE miniport_adapter_handle, NDIS_STATUS general_status,
                         void* status_buffer, uint32_t status_buffer_size);
void NdisMIndicateStatusComplete(NDIS_HANDLE miniport_adapter_handle);

// --- Control device -------------------------------------------------------------------------
// Forwards to the DeviceHost installed in the runtime (NDIS_STATUS_FAILURE when none is).
NDIS_STATUS NdisMRegisterDevice(NDIS_HANDLE wrapper_handle, const NDIS_STRING* device_name,
                                const NDIS_STRING* symbolic_name,
                                const ddk::DispatchTable* dispatch_table,
                                ddk::DeviceObject** device_object, NDIS_HANDLE* device_handle);
NDIS_STATUS NdisMDeregisterDevice(NDIS_HANDLE device_handle);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_NDIS_H_
