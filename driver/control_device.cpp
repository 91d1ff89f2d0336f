#include "driver/control_device.h"

#include <cstdio>

#include "driver/driver_state.h"
#include "shared/control.h"

namespace flowsentry::pactrak {

ControlQueues& Queues() {
  static ControlQueues queues;
  return queues;
}

void InitializeControlQueues() {}

const ddk::DispatchTable& ControlDeviceDispatchTable() {
  static const ddk::DispatchTable kPlaceholder{};
  return kPlaceholder;
}

void RegisterControlDevice() {
  DriverState& driver = Driver();
  SpinLockGuard guard(driver.GlobalLock);
  driver.adapter_count += 1;
  if (driver.adapter_count != 1) return;
  // Another creation or deletion may still be running: wait for it to end.
  while (driver.control_device_state != kControlDeviceReady) {
    guard.Release();
    NdisMSleep(1);
    guard.Acquire();
  }
  driver.control_device_state = kControlDeviceBeingCreated;
  guard.Release();

  static const OwnedNdisString kName(WidenName(kDeviceKernelName));
  static const OwnedNdisString kLink(WidenName(kDeviceSymbolicLink));
  ddk::DeviceObject* device = nullptr;
  NDIS_HANDLE handle = nullptr;
  NDIS_STATUS status = NdisMRegisterDevice(driver.wrapper_handle, kName.ptr(), kLink.ptr(),
                                           &ControlDeviceDispatchTable(), &device, &handle);
  if (status == NDIS_STATUS_SUCCESS) {
    device->Flags |= ddk::DO_DIRECT_IO;
  } else {
    char line[96];
    std::snprintf(line, sizeof(line), "pactrak: control device registration failed, status 0x%08X",
                  status);
    ddk::DbgPrint(line);
  }

  guard.Acquire();
  driver.control_device_object = device;
  driver.control_device_handle = handle;
  driver.control_device_state = kControlDeviceReady;
}

void DeregisterControlDevice() {
  DriverState& driver = Driver();
  SpinLockGuard guard(driver.GlobalLock);
  driver.adapter_count -= 1;
  if (driver.adapter_count != 0) return;
  driver.control_device_state = kControlDeviceBeingDeleted;
  NDIS_HANDLE handle = driver.control_device_handle;
  guard.Release();
  if (handle != nullptr) NdisMDeregisterDevice(handle);
  guard.Acquire();
  driver.control_device_handle = nullptr;
  driver.control_device_object = nullptr;
  driver.control_device_state = kControlDeviceReady;
}

void CompleteControlDeviceQuery(Binding* /*binding*/, NDIS_REQUEST* /*request*/,
                                NDIS_STATUS /*status*/) {}

void EnqueueRecord(QueuedRecord* record) { NdisFreeMemory(record, sizeof(QueuedRecord), 0); }

void DeliverRecords() {}

bool WaitForRecordRoom(const std::atomic<bool>& /*stop*/) { return false; }

ddk::NTSTATUS TranslateQueryStatus(NDIS_STATUS status) { return status; }

}  // namespace flowsentry::pactrak
