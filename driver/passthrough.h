// What the data path keeps in the packets it repackages, and the end of a send.
#ifndef FLOWSENTRY_DRIVER_PASSTHROUGH_H_
#define FLOWSENTRY_DRIVER_PASSTHROUGH_H_

#include "driver/binding.h"

namespace flowsentry::pactrak {

// In a send packet's protocol-reserved space: the protocol's packet it stands for.
struct SendReserved {
  ndis::NDIS_PACKET* original;
};

// In a receive packet's miniport-reserved space: the lower adapter's packet it stands for.
struct ReceiveReserved {
  ndis::NDIS_PACKET* original;
};
static_assert(sizeof(ReceiveReserved) <= sizeof(ndis::NDIS_PACKET::MiniportReserved));

// Protocol-reserved space of the receive packets, for the protocols above (four pointers).
inline constexpr uint32_t kReceiveProtocolReserved = 4 * sizeof(void*);

// Frees our send packet, takes it off the outstanding sends and completes the protocol's
// packet upward with `status`. The binding is not touched once the protocol's packet is
// complete: the last completion may let the virtual adapter halt.
void FinishSend(Binding* binding, ndis::NDIS_PACKET* packet, ndis::NDIS_STATUS status);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_PASSTHROUGH_H_
