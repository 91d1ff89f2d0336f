// The service's client of pactrak's control device: opening the device and thin wrappers around
// its control requests.
//
// Every failure of a control request is written to the diagnostic log (host::WriteLog) where it
// happens, with the thread's last error as its code; opening the device logs nothing, the caller
// reports. Functions take the device handle by reference and never keep it; they may run on any
// thread, each on its own handle or on a handle shared as platform/device.h allows.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_DRIVER_CLIENT_H_
#define FLOWSENTRY_SERVICE_CAPTURE_DRIVER_CLIENT_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/device.h"

namespace flowsentry::capture {

// Opens "\\.\pactrak" for reading and writing, then "\\.\Globals\pactrak" when that fails. A
// closed handle when neither opens, with the last error of the second attempt. Logs nothing.
platform::DeviceHandle OpenCaptureDevice();

// Closes `handle` (its pending requests are cancelled, and an adapter it holds open is released
// in the driver). False with ERROR_INVALID_HANDLE when it was not open.
bool CloseCaptureDevice(platform::DeviceHandle& handle);

// IOCTL_ENUM_BINDINGS with no input into the first `size` bytes of `buffer` (at most its size);
// `size` becomes the byte count the driver returned. On failure logs "DeviceIoControl return
// error" with the last error and returns false.
bool EnumBindings(const platform::DeviceHandle& device, std::span<uint8_t> buffer, uint32_t& size);

// IOCTL_QUERY_BINDING with the 136-byte query block `input`; the OID's data lands in `output`
// and its length in `bytes_returned` (0 until the driver answers). Returns 0, or the last error
// after logging "DeviceIoControl return error" with it.
uint32_t QueryBindingOid(const platform::DeviceHandle& device, std::span<const uint8_t> input,
                         std::span<uint8_t> output, uint32_t& bytes_returned);

// A new handle on the device that holds the adapter `lower_name` (no terminator) open in the
// driver, through IOCTL_OPEN_BINDING; the adapter is released when the handle closes. A closed
// handle when the device cannot be opened (unlogged), or after logging "DeviceIoControl return
// error" (last error) or "DeviceIoControl return error NdisStatus" (the word the driver returned,
// also set as the last error) when the driver refuses.
platform::DeviceHandle OpenBindingHandle(std::u16string_view lower_name);

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_DRIVER_CLIENT_H_
