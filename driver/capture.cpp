#include "driver/capture.h"

namespace flowsentry::pactrak {

void CaptureFrameFromPacket(const Binding& /*binding*/, NDIS_PACKET* /*packet*/) {}

void CaptureFrameFromIndication(const Binding& /*binding*/, const void* /*header_buffer*/,
                                uint32_t /*header_buffer_size*/, const void* /*lookahead_buffer*/,
                                uint32_t /*lookahead_buffer_size*/, uint32_t /*packet_size*/) {}

}  // namespace flowsentry::pactrak
