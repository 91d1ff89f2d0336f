// The I/O manager's device host: every device a driver creates is served on a Unix-domain socket
// under the machine's device folder, so that user mode opens it as a file.
//
// A device whose symbolic link is "\DosDevices\NAME" (or "\??\NAME") is reachable at
// <devices>/NAME and <devices>/Globals/NAME, <devices> being LocationPath(Location::kDevices)
// when the device is created: the socket and a link to it. Both exist exactly while the device is
// registered. The wire protocol is in shared/device_wire.h.
//
// Each connection is one handle with its own FileObject and is served by a thread of its own,
// which runs the driver's Create, Read, DeviceControl, Cleanup and Close routines and the cancel
// routines of its requests; completions may come from any thread. Dispatch routines of one handle
// run one at a time, in the order their requests arrive.
//
// A client cannot take the host down with it. At most Limits::max_connections handles of a device
// are open at once; a connection beyond them, or one the host cannot give a thread or a
// descriptor, is closed at once (the client sees its handle closed) and the others go on. Running
// out of descriptors does not stop the host from answering: a waiting client is accepted on a
// spare descriptor and closed. A handle holds at most wire::kMaxPendingRequests requests pending
// and the buffers of at most Limits::max_held_bytes (a request beyond either is refused with
// STATUS_INSUFFICIENT_RESOURCES). A closed handle's descriptors and thread are released as soon
// as its Close has run.
//
// Buffers are set up as Windows' I/O manager sets them up, and every descriptor describes exactly
// the bytes behind it (irp.h): a read gets a buffer of the length it asked for, holding the bytes
// the client sent for it (the caller's buffer as it stood), described by MdlAddress; a control
// request follows the method bits of its code: METHOD_BUFFERED one system buffer of max(input,
// output) bytes, the direct methods the input in the system buffer and an MDL over the output,
// METHOD_NEITHER the input in Type3InputBuffer and the output in UserBuffer. The reply carries
// min(information, output length) bytes of the read's buffer or of the output.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_IO_SOCKET_DEVICE_HOST_H_
#define FLOWSENTRY_DRIVER_RUNTIME_IO_SOCKET_DEVICE_HOST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "driver/runtime/io/dispatch.h"

namespace flowsentry::ddk {

class SocketDeviceHost final : public DeviceHost {
 public:
  struct Limits {
    // Open handles per device.
    size_t max_connections = 64;
    // Stack of each handle's thread: a small one lets many handles fit where address space is
    // limited. (A test sets one that cannot be had, to see handles turned away.)
    size_t connection_stack_size = size_t{1} << 20;
    // Bytes of request buffers each handle may hold at once (pending requests included): room for
    // many largest requests, while a client that leaves big reads pending cannot make the host
    // hold memory without bound.
    size_t max_held_bytes = size_t{16} << 20;
  };

  // Totals over every device of the host since it was made. Read at any time from any thread.
  struct Counters {
    uint64_t connections_open = 0;     // handles open now
    uint64_t connections_refused = 0;  // connections closed at once: over the cap, no thread or
                                       // descriptor for them, or accepted on the spare descriptor
    uint64_t accepts_without_descriptor = 0;  // accepts that failed for want of a descriptor
    uint64_t requests_refused = 0;  // requests refused because their handle had too many pending
    uint64_t buffered_bytes = 0;    // bytes of request buffers held now
  };

  explicit SocketDeviceHost(Limits limits);
  SocketDeviceHost() : SocketDeviceHost(Limits{}) {}
  // Deletes every device still registered.
  ~SocketDeviceHost() override;
  SocketDeviceHost(const SocketDeviceHost&) = delete;
  SocketDeviceHost& operator=(const SocketDeviceHost&) = delete;

  // STATUS_OBJECT_NAME_INVALID for a symbolic link that is not "\DosDevices\NAME" or "\??\NAME"
  // with a plain NAME; STATUS_OBJECT_NAME_COLLISION when a device of that name is registered
  // here or served by another live process; STATUS_INSUFFICIENT_RESOURCES when the socket cannot
  // be made. A socket left behind by a process that ended is replaced.
  NTSTATUS CreateDevice(std::string_view kernel_name, std::string_view symbolic_link,
                        const DispatchTable& table, DeviceObject*& device) override;

  // Removes the socket and its link (new opens fail), then ends every open handle as a close
  // would: pending requests are cancelled through their cancel routines, Cleanup runs, the host
  // waits for every request of the handle to complete, Close runs and the connection is closed.
  // Returns when no routine of the device runs any more. Must not be called from a dispatch or
  // cancel routine of the device, nor while holding a lock that such a routine takes.
  void DeleteDevice(DeviceObject* device) override;

  // For tests: every read arriving from now on carries a buffer description that cannot be
  // mapped (MmGetSystemAddressForMdlSafe gives null).
  void SetMappingFailure(bool fail) { fail_mappings_.store(fail); }

  Counters counters() const;

  // The host's side of Counters, kept by its devices and their connections (internal; every
  // device is stopped before the host goes, so none outlives it).
  struct Tally {
    std::atomic<uint64_t> connections_open{0};
    std::atomic<uint64_t> connections_refused{0};
    std::atomic<uint64_t> accepts_without_descriptor{0};
    std::atomic<uint64_t> requests_refused{0};
    std::atomic<uint64_t> buffered_bytes{0};
  };

 private:
  struct Device;

  const Limits limits_;
  Tally tally_;

  std::mutex mutex_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::atomic<bool> fail_mappings_{false};
};

}  // namespace flowsentry::ddk

#endif  // FLOWSENTRY_DRIVER_RUNTIME_IO_SOCKET_DEVICE_HOST_H_
