// What the adapter of a live interface tells the driver, probed from the interface itself: the
// medium its hardware type is offered with, its address, description (name and driver), MTU and
// link speed.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_PROBE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_PROBE_H_

#include <cstdint>
#include <optional>

#include "driver/runtime/ndis.h"
#include "driver/runtime/sources/adapter_profile.h"
#include "driver/runtime/sources/live/links.h"

namespace flowsentry::ndis {

// The medium an interface of hardware type `type` (ARPHRD_*) is offered with.
NDIS_MEDIUM MediumForLinkType(uint16_t type);

// The adapter profile of the link: its medium and MTU (1500 when the link says 0); its address,
// or for a link without one (PPP) a locally administered one made of its index; its name, with
// the driver ethtool names in parentheses; its speed from sysfs when the kernel knows it.
AdapterProfile ProfileOf(const LinkInfo& link);

// The link's hardware address; nullopt for a link without one of six bytes.
std::optional<MacAddress> MacOf(const LinkInfo& link);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_PROBE_H_
