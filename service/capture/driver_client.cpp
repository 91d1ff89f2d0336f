#include "service/capture/driver_client.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/last_error.h"
#include "service/host/log.h"
#include "shared/control.h"
#include "shared/little_endian.h"

namespace flowsentry::capture {
namespace {

using platform::DeviceHandle;
using platform::GetLastError;
using platform::SetLastError;

void LogDeviceIoControlError(uint32_t error) {
  host::WriteLog("DeviceIoControl return error", static_cast<int32_t>(error));
}

// Closes a handle that is being given up on, keeping the error that made us give up as the
// thread's last error for the caller.
void CloseKeepingError(DeviceHandle& handle, uint32_t error) {
  handle.Close();
  SetLastError(error);
}

}  // namespace

DeviceHandle OpenCaptureDevice() {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  if (!handle.IsOpen()) handle = DeviceHandle::Open(kDeviceGlobalName);
  return handle;
}

bool CloseCaptureDevice(DeviceHandle& handle) { return handle.Close(); }

bool EnumBindings(const DeviceHandle& device, std::span<uint8_t> buffer, uint32_t& size) {
  const std::span<uint8_t> output = buffer.first(std::min<size_t>(size, buffer.size()));
  uint32_t returned = 0;
  const bool ok = device.DeviceIoControl(IOCTL_ENUM_BINDINGS, {}, output, &returned);
  size = returned;
  if (!ok) {
    LogDeviceIoControlError(GetLastError());
    return false;
  }
  return true;
}

uint32_t QueryBindingOid(const DeviceHandle& device, std::span<const uint8_t> input,
                         std::span<uint8_t> output, uint32_t& bytes_returned) {
  bytes_returned = 0;
  if (device.DeviceIoControl(IOCTL_QUERY_BINDING, input, output, &bytes_returned)) return 0;
  const uint32_t error = GetLastError();
  LogDeviceIoControlError(error);
  return error;
}

DeviceHandle OpenBindingHandle(std::u16string_view lower_name) {
  DeviceHandle handle = OpenCaptureDevice();
  if (!handle.IsOpen()) return handle;

  // The driver takes the name without its terminator, as UTF-16LE.
  std::vector<uint8_t> name;
  name.reserve(lower_name.size() * 2);
  for (char16_t c : lower_name) {
    name.push_back(static_cast<uint8_t>(c & 0xFF));
    name.push_back(static_cast<uint8_t>(c >> 8));
  }
  std::array<uint8_t, 4> status{};
  uint32_t returned = 0;
  if (!handle.DeviceIoControl(IOCTL_OPEN_BINDING, name, status, &returned)) {
    const uint32_t error = GetLastError();
    LogDeviceIoControlError(error);
    CloseKeepingError(handle, error);
    return DeviceHandle();
  }
  const uint32_t ndis_status = LoadLe32(status.data());
  if (ndis_status != 0) {
    host::WriteLog("DeviceIoControl return error NdisStatus", static_cast<int32_t>(ndis_status));
    CloseKeepingError(handle, ndis_status);
    return DeviceHandle();
  }
  return handle;
}

}  // namespace flowsentry::capture
