// The capture step: where the send-packets, receive and receive-packet handlers summarize a
// frame into a record for the control device while capture is on. The frame itself goes on
// unchanged either way; a record the queue has no memory for is simply not made.
//
// Every frame is read as an Ethernet frame, whatever the medium and the type field say: the MAC
// header, then an IPv4 header at offset 14 and the four bytes behind it. Bytes past the end of
// the frame read as 0.
#ifndef FLOWSENTRY_DRIVER_CAPTURE_H_
#define FLOWSENTRY_DRIVER_CAPTURE_H_

#include <cstdint>

#include "driver/binding.h"

namespace flowsentry::pactrak {

// The head of a frame that the record is read from: Ethernet header, up to 60 bytes of IPv4
// header and the two ports behind it.
inline constexpr uint32_t kFrameWorkAreaSize = 78;

// Send-packets and receive-packet handlers: the frame is the packet's buffer chain.
void CaptureFrameFromPacket(const Binding& binding, ndis::NDIS_PACKET* packet);

// Receive handler: the MAC header, then the look-ahead (frame offset 14 onwards).
void CaptureFrameFromIndication(const Binding& binding, const void* header_buffer,
                                uint32_t header_buffer_size, const void* lookahead_buffer,
                                uint32_t lookahead_buffer_size, uint32_t packet_size);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CAPTURE_H_
