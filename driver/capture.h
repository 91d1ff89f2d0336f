// The capture step: where the send-packets, receive and receive-packet handlers summarize a
// frame into a record for the control device. The record building comes with the control
// device's record queue; until then the step does nothing, and the frame goes on unchanged
// either way.
#ifndef FLOWSENTRY_DRIVER_CAPTURE_H_
#define FLOWSENTRY_DRIVER_CAPTURE_H_

#include <cstdint>

#include "driver/binding.h"

namespace flowsentry::pactrak {

// Send-packets and receive-packet handlers: the frame is the packet's buffer chain.
void CaptureFrameFromPacket(const Binding& binding, NDIS_PACKET* packet);

// Receive handler: the MAC header, then the look-ahead (frame offset 14 onwards).
void CaptureFrameFromIndication(const Binding& binding, const void* header_buffer,
                                uint32_t header_buffer_size, const void* lookahead_buffer,
                                uint32_t lookahead_buffer_size, uint32_t packet_size);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CAPTURE_H_
