// The handlers pactrak registers with NDIS, and the steps they share.
#ifndef FLOWSENTRY_DRIVER_HANDLERS_H_
#define FLOWSENTRY_DRIVER_HANDLERS_H_

#include "driver/binding.h"

namespace flowsentry::pactrak {

// Miniport edge (the virtual adapters).
ndis::NDIS_STATUS MiniportInitialize(ndis::NDIS_STATUS* open_error_status,
                                     uint32_t* selected_medium_index,
                                     ndis::NDIS_MEDIUM* medium_array, uint32_t medium_array_size,
                                     ndis::NDIS_HANDLE miniport_adapter_handle,
                                     ndis::NDIS_HANDLE wrapper_configuration_context);
void MiniportHalt(ndis::NDIS_HANDLE miniport_adapter_context);
ndis::NDIS_STATUS MiniportQueryInformation(ndis::NDIS_HANDLE miniport_adapter_context,
                                           ndis::NDIS_OID oid, void* information_buffer,
                                           uint32_t information_buffer_length,
                                           uint32_t* bytes_written, uint32_t* bytes_needed);
ndis::NDIS_STATUS MiniportSetInformation(ndis::NDIS_HANDLE miniport_adapter_context,
                                         ndis::NDIS_OID oid, void* information_buffer,
                                         uint32_t information_buffer_length, uint32_t* bytes_read,
                                         uint32_t* bytes_needed);
void MiniportSendPackets(ndis::NDIS_HANDLE miniport_adapter_context,
                         ndis::NDIS_PACKET** packet_array, uint32_t number_of_packets);
ndis::NDIS_STATUS MiniportTransferData(ndis::NDIS_PACKET* packet, uint32_t* bytes_transferred,
                                       ndis::NDIS_HANDLE miniport_adapter_context,
                                       ndis::NDIS_HANDLE miniport_receive_context,
                                       uint32_t byte_offset, uint32_t bytes_to_transfer);
void MiniportReturnPacket(ndis::NDIS_HANDLE miniport_adapter_context, ndis::NDIS_PACKET* packet);

// Protocol edge (the lower adapters).
void ProtocolOpenAdapterComplete(ndis::NDIS_HANDLE protocol_binding_context,
                                 ndis::NDIS_STATUS status, ndis::NDIS_STATUS open_error_status);
void ProtocolCloseAdapterComplete(ndis::NDIS_HANDLE protocol_binding_context,
                                  ndis::NDIS_STATUS status);
void ProtocolSendComplete(ndis::NDIS_HANDLE protocol_binding_context, ndis::NDIS_PACKET* packet,
                          ndis::NDIS_STATUS status);
void ProtocolTransferDataComplete(ndis::NDIS_HANDLE protocol_binding_context,
                                  ndis::NDIS_PACKET* packet, ndis::NDIS_STATUS status,
                                  uint32_t bytes_transferred);
void ProtocolResetComplete(ndis::NDIS_HANDLE protocol_binding_context, ndis::NDIS_STATUS status);
void ProtocolRequestComplete(ndis::NDIS_HANDLE protocol_binding_context,
                             ndis::NDIS_REQUEST* request, ndis::NDIS_STATUS status);
ndis::NDIS_STATUS ProtocolReceive(ndis::NDIS_HANDLE protocol_binding_context,
                                  ndis::NDIS_HANDLE mac_receive_context, void* header_buffer,
                                  uint32_t header_buffer_size, void* lookahead_buffer,
                                  uint32_t lookahead_buffer_size, uint32_t packet_size);
void ProtocolReceiveComplete(ndis::NDIS_HANDLE protocol_binding_context);
int32_t ProtocolReceivePacket(ndis::NDIS_HANDLE protocol_binding_context,
                              ndis::NDIS_PACKET* packet);
void ProtocolStatus(ndis::NDIS_HANDLE protocol_binding_context, ndis::NDIS_STATUS general_status,
                    void* status_buffer, uint32_t status_buffer_size);
void ProtocolStatusComplete(ndis::NDIS_HANDLE protocol_binding_context);
void ProtocolBindAdapter(ndis::NDIS_STATUS* status, ndis::NDIS_HANDLE bind_context,
                         ndis::NDIS_STRING* device_name, void* system_specific1,
                         void* system_specific2);
void ProtocolUnbindAdapter(ndis::NDIS_STATUS* status, ndis::NDIS_HANDLE protocol_binding_context,
                           ndis::NDIS_HANDLE unbind_context);
ndis::NDIS_STATUS ProtocolPnPEvent(ndis::NDIS_HANDLE protocol_binding_context,
                                   ndis::NET_PNP_EVENT* net_pnp_event);
void ProtocolUnload();

void DriverUnload(ddk::DRIVER_OBJECT* driver_object);

// Closes the lower binding, waiting if the close pends; returns the close status.
ndis::NDIS_STATUS CloseLowerBinding(Binding* binding);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_HANDLERS_H_
