// The meeting point of the network-driver runtime and the I/O-manager stand-in: a driver's
// dispatch table and the host that turns a registered device into something user mode can open.
//
// The NDIS side (NdisMRegisterDevice) forwards to the DeviceHost installed in the runtime; the
// I/O manager implements DeviceHost (serving the device on a Unix-domain socket); tests install
// a double that records registrations.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_IO_DISPATCH_H_
#define FLOWSENTRY_DRIVER_RUNTIME_IO_DISPATCH_H_

#include <cstdint>
#include <string_view>

#include "driver/runtime/ntstatus.h"

namespace flowsentry::ddk {

struct Irp;

// Device object flag: reads and writes use direct I/O (the buffer is described, not copied).
inline constexpr uint32_t DO_DIRECT_IO = 0x00000010;

struct DeviceObject {
  uint32_t Flags = 0;
};

using DriverDispatch = NTSTATUS (*)(DeviceObject& device, Irp& irp);

// The request types a driver may serve; a null entry means the request type is not served.
struct DispatchTable {
  DriverDispatch create = nullptr;
  DriverDispatch cleanup = nullptr;
  DriverDispatch close = nullptr;
  DriverDispatch read = nullptr;
  DriverDispatch device_control = nullptr;
};

class DeviceHost {
 public:
  virtual ~DeviceHost() = default;

  // Creates a device under `kernel_name` ("\Device\pactrak") reachable through `symbolic_link`
  // ("\DosDevices\pactrak"), served by `table`. The host owns the device object, which stays
  // valid until DeleteDevice.
  virtual NTSTATUS CreateDevice(std::string_view kernel_name, std::string_view symbolic_link,
                                const DispatchTable& table, DeviceObject*& device) = 0;

  // Removes the device: it can no longer be opened. Handles still open are the host's to end.
  virtual void DeleteDevice(DeviceObject* device) = 0;
};

}  // namespace flowsentry::ddk

#endif  // FLOWSENTRY_DRIVER_RUNTIME_IO_DISPATCH_H_
