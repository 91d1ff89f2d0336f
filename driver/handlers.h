// The handlers pactrak registers with NDIS, and the steps they share.
#ifndef FLOWSENTRY_DRIVER_HANDLERS_H_
#define FLOWSENTRY_DRIVER_HANDLERS_H_

#include "driver/binding.h"

namespace flowsentry::pactrak {

// Miniport edge (the virtual adapters).
NDIS_STATUS MiniportInitialize(NDIS_STATUS* open_error_status, uint32_t* selected_medium_index,
                               NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                               NDIS_HANDLE miniport_adapter_handle,
                               NDIS_HANDLE wrapper_configuration_context);
void MiniportHalt(NDIS_HANDLE miniport_adapter_context);
NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE miniport_adapter_context, NDIS_OID oid,
                                     void* information_buffer, uint32_t information_buffer_length,
                                     uint32_t* bytes_written, uint32_t* bytes_needed);
NDIS_STATUS MiniportSetInformation(NDIS_HANDLE miniport_adapter_context, NDIS_OID oid,
                                   void* information_buffer, uint32_t information_buffer_length,
                                   uint32_t* bytes_read, uint32_t* bytes_needed);
void MiniportSendPackets(NDIS_HANDLE miniport_adapter_context, NDIS_PACKET** packet_array,
                         uint32_t number_of_packets);
NDIS_STATUS MiniportTransferData(NDIS_PACKET* packet, uint32_t* bytes_transferred,
                                 NDIS_HANDLE miniport_adapter_context,
                                 NDIS_HANDLE miniport_receive_context, uint32_t byte_offset,
                                 uint32_t bytes_to_transfer);
void MiniportReturnPacket(NDIS_HANDLE miniport_adapter_context, NDIS_PACKET* packet);

// Protocol edge (the lower adapters).
void ProtocolOpenAdapterComplete(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status,
                                 NDIS_STATUS open_error_status);
void ProtocolCloseAdapterComplete(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status);
void ProtocolSendComplete(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                          NDIS_STATUS status);
void ProtocolTransferDataComplete(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet,
                                  NDIS_STATUS status, uint32_t bytes_transferred);
void ProtocolResetComplete(NDIS_HANDLE protocol_binding_context, NDIS_STATUS status);
void ProtocolRequestComplete(NDIS_HANDLE protocol_binding_context, NDIS_REQUEST* request,
                             NDIS_STATUS status);
NDIS_STATUS ProtocolReceive(NDIS_HANDLE protocol_binding_context, NDIS_HANDLE mac_receive_context,
                            void* header_buffer, uint32_t header_buffer_size,
                            void* lookahead_buffer, uint32_t lookahead_buffer_size,
                            uint32_t packet_size);
void ProtocolReceiveComplete(NDIS_HANDLE protocol_binding_context);
int32_t ProtocolReceivePacket(NDIS_HANDLE protocol_binding_context, NDIS_PACKET* packet);
void ProtocolStatus(NDIS_HANDLE protocol_binding_context, NDIS_STATUS general_status,
                    void* status_buffer, uint32_t status_buffer_size);
void ProtocolStatusComplete(NDIS_HANDLE protocol_binding_context);
void ProtocolBindAdapter(NDIS_STATUS* status, NDIS_HANDLE bind_context, NDIS_STRING* device_name,
                         void* system_specific1, void* system_specific2);
void ProtocolUnbindAdapter(NDIS_STATUS* status, NDIS_HANDLE protocol_binding_context,
                           NDIS_HANDLE unbind_context);
NDIS_STATUS ProtocolPnPEvent(NDIS_HANDLE protocol_binding_context, NET_PNP_EVENT* net_pnp_event);
void ProtocolUnload();

void DriverUnload(ddk::DRIVER_OBJECT* driver_object);

// Closes the lower binding, waiting if the close pends; returns the close status.
NDIS_STATUS CloseLowerBinding(Binding* binding);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_HANDLERS_H_
