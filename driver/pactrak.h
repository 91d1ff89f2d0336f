// pactrak's entry point, as the driver host loads it.
#ifndef FLOWSENTRY_DRIVER_PACTRAK_H_
#define FLOWSENTRY_DRIVER_PACTRAK_H_

#include "driver/runtime/ndis.h"

namespace flowsentry::pactrak {

// The name of the protocol edge, of the service and of the binding configuration.
inline constexpr char kProtocolName[] = "pactrak";

// Registers the layered miniport and the protocol edge and associates them. Returns the status
// of the step that failed, else success.
ddk::NTSTATUS DriverEntry(ddk::DRIVER_OBJECT* driver_object,
                          const ndis::NDIS_STRING* registry_path);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_PACTRAK_H_
