// The simulated protocol moved to the runtime's test support; this name is kept until the driver's
// test support headers include it from there.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SIMULATED_PROTOCOL_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SIMULATED_PROTOCOL_H_

#include "driver/runtime/testing/simulated_protocol.h"

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SIMULATED_PROTOCOL_H_
