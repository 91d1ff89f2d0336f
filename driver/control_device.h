// The driver's side of the control device that this part of the driver needs: its
// registration with the first virtual adapter and deregistration with the last, the record
// and read queues' lock, and the completion of a control-device query that passed through the
// protocol edge's request-complete handler.
#ifndef FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_
#define FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_

#include "driver/binding.h"
#include "driver/runtime/io/dispatch.h"

namespace flowsentry::pactrak {

// QueueLock guards the record queue and the read queue.
struct ControlQueues {
  NDIS_SPIN_LOCK QueueLock;
};

ControlQueues& Queues();

// DriverEntry: makes RecordQueue and ReadQueue empty lists (on every path).
void InitializeControlQueues();

// The control device's dispatch table (create, cleanup, close, read, device control). A
// placeholder with no handler: the control device's requests fill it.
const ddk::DispatchTable& PlaceholderControlDeviceDispatchTable();

// Virtual adapter initialize: counts the adapter; the first one creates the device
// ("\Device\pactrak", "\DosDevices\pactrak"). A failed registration is logged and otherwise
// ignored.
void RegisterControlDevice();

// Virtual adapter halt: the last adapter removes the device.
void DeregisterControlDevice();

// A request that completed on the protocol edge but is not a binding's forwarded request: a
// control-device query, handed back to the control device.
void CompleteControlDeviceQuery(Binding* binding, NDIS_REQUEST* request, NDIS_STATUS status);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_
