// The device client: a handle on a driver's device, as CreateFile, DeviceIoControl, ReadFile,
// CancelSynchronousIo and CloseHandle give it on Windows.
//
// Device names are "\\.\NAME" and "\\.\Globals\NAME" (any further "\"-separated parts map to
// folders); each is the socket <devices>/NAME (<devices>/Globals/NAME) under the machine root,
// <devices> being LocationPath(Location::kDevices). The driver host serves it with the protocol of
// shared/device_wire.h. Opening a name whose device is not registered fails with
// ERROR_FILE_NOT_FOUND.
//
// A request the driver completes with a failing status (an error or a warning) returns false and
// sets the thread's last error to the Win32 code Windows maps the status to
// (Win32ErrorFromNtStatus); a warning still delivers its data and byte count, as Windows does
// for ERROR_MORE_DATA. A request on a handle that is closed, or whose device went away, fails with
// ERROR_INVALID_HANDLE.
//
// Threads: one handle may be used by several threads at once, each with its own requests
// outstanding; Close may come from any thread while others wait in a request (their pending
// requests are cancelled). Moving and destroying are not thread-safe.
//
// DeviceIoControl and ReadFile are termination points of threads made by Thread::Create
// (platform/threads.h): Terminate cancels the request its thread waits in, and the call then
// fails with ERROR_OPERATION_ABORTED, also when the driver completed it meanwhile (the driver may
// have acted on a control request all the same); a request of a thread already terminated fails
// at once, unsent.
#ifndef FLOWSENTRY_PLATFORM_DEVICE_H_
#define FLOWSENTRY_PLATFORM_DEVICE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/errors.h"

namespace flowsentry::platform {

class DeviceConnection;

class DeviceHandle {
 public:
  DeviceHandle();
  DeviceHandle(DeviceHandle&& other) noexcept;
  DeviceHandle& operator=(DeviceHandle&& other) noexcept;
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;
  ~DeviceHandle();  // closes

  // CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, ...): a closed
  // handle on failure (ERROR_FILE_NOT_FOUND when no such device is registered, ERROR_ACCESS_DENIED
  // when the socket may not be opened); the last error is 0 on success. The driver's Create
  // runs once the host takes the connection; should it refuse, the first request fails with
  // ERROR_INVALID_HANDLE.
  static DeviceHandle Open(std::string_view name);

  bool IsOpen() const;

  // Sends the control request and waits for its completion. `input` goes to the driver;
  // `output` receives the bytes the driver returns, and `bytes_returned` (may be null) the
  // driver's byte count, never above output.size().
  bool DeviceIoControl(uint32_t code, std::span<const uint8_t> input, std::span<uint8_t> output,
                       uint32_t* bytes_returned) const;

  // Reads into `buffer` and waits, without a time-out, until the driver completes the read or it
  // is cancelled (then false with ERROR_OPERATION_ABORTED). Only the bytes the driver writes are
  // changed; `bytes_read` (may be null) gets the driver's byte count, never above buffer.size().
  bool ReadFile(std::span<uint8_t> buffer, uint32_t* bytes_read) const;

  // From any thread: cancels the request that `thread` is waiting in on this handle (its call
  // returns false with ERROR_OPERATION_ABORTED unless the driver completes it first), also one
  // whose request is still on its way to the driver: the cancel then follows it. False with
  // ERROR_NOT_FOUND (1168) when that thread waits in no request of this handle.
  bool CancelSynchronousIo(std::thread::id thread) const;

  // CloseHandle: cancels the handle's pending requests and returns once the driver has run its
  // Cleanup and Close for the handle. False with ERROR_INVALID_HANDLE when already closed.
  bool Close();

 private:
  explicit DeviceHandle(std::unique_ptr<DeviceConnection> connection);

  std::unique_ptr<DeviceConnection> connection_;
};

// The Win32 error that Windows maps an NTSTATUS to, for the statuses the driver and its host
// complete requests with; ERROR_MR_MID_NOT_FOUND (317) for any other failing status. Pure.
Win32Error Win32ErrorFromNtStatus(uint32_t status);

// The host path of the socket that serves a device name; nullopt for a name that is not
// "\\.\" followed by plain "\"-separated parts.
std::optional<std::string> DeviceSocketPath(std::string_view name);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_DEVICE_H_
