#include "driver/control_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/control_requests.h"
#include "driver/driver_state.h"
#include "shared/control.h"

namespace flowsentry::pactrak {

using ddk::IoStackLocation;
using ddk::Irp;
using ddk::NTSTATUS;

namespace {

// Sources that wait for room in the record queue (WaitForRecordRoom) sleep here; delivery and
// IOCTL_SET_CAPTURE wake them. Only touched while someone waits.
struct RoomWaiters {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<uint32_t> count{0};
};

RoomWaiters& Waiters() {
  static RoomWaiters waiters;
  return waiters;
}

void WakeRoomWaiters() {
  RoomWaiters& waiters = Waiters();
  if (waiters.count.load() == 0) return;
  std::lock_guard lock(waiters.mutex);
  waiters.changed.notify_all();
}

// A waiting source is woken once the queue has room for a run of records, not for every one, so
// that it does not take a context switch per record (it looks again every few milliseconds in
// any case).
uint32_t RoomWakeLevel(const RecordQueue& records) { return records.limit() * 3 / 4; }

void FreeRecord(QueuedRecord* record) { NdisFreeMemory(record, sizeof(QueuedRecord), 0); }

void Complete(Irp& irp, NTSTATUS status, uintptr_t information) {
  irp.IoStatus.Status = status;
  irp.IoStatus.Information = information;
  ddk::IoCompleteRequest(irp, ddk::IO_NO_INCREMENT);
}

void CancelRead(ddk::DeviceObject& /*device*/, Irp& irp) {
  ddk::IoReleaseCancelSpinLock(irp.CancelIrql);
  ControlQueues& queues = Queues();
  bool found;
  {
    SpinLockGuard guard(queues.QueueLock);
    found = ReadQueue::Remove(irp);
  }
  // Not found: DeliverRecords took it and completes it.
  if (found) Complete(irp, ddk::STATUS_CANCELLED, 0);
}

// Queues a read or an IOCTL_READ_RECORDS request whose buffer is known to hold a record, then
// serves what it can at once. Both kinds wait in one queue, so they are served in the order they
// came, whichever kind they are.
NTSTATUS PendRead(Irp& irp) {
  ControlQueues& queues = Queues();
  {
    SpinLockGuard guard(queues.QueueLock);
    ddk::IoMarkIrpPending(irp);
    if (!queues.reads.Push(irp, CancelRead)) {
      guard.Release();
      Complete(irp, ddk::STATUS_CANCELLED, 0);
      return ddk::STATUS_PENDING;
    }
  }
  DeliverRecords();
  return ddk::STATUS_PENDING;
}

NTSTATUS DispatchRead(ddk::DeviceObject& /*device*/, Irp& irp) {
  if (irp.MdlAddress == nullptr) {
    Complete(irp, ddk::STATUS_INVALID_PARAMETER, 0);
    return ddk::STATUS_INVALID_PARAMETER;
  }
  // A buffer that cannot hold a record is refused before anything is written to it.
  if (ddk::MmGetMdlByteCount(*irp.MdlAddress) < kPacketRecordSize) {
    Complete(irp, ddk::STATUS_BUFFER_TOO_SMALL, 0);
    return ddk::STATUS_BUFFER_TOO_SMALL;
  }
  if (ddk::MmGetSystemAddressForMdlSafe(irp.MdlAddress, ddk::NormalPagePriority) == nullptr) {
    Complete(irp, ddk::STATUS_INSUFFICIENT_RESOURCES, 0);
    return ddk::STATUS_INSUFFICIENT_RESOURCES;
  }
  return PendRead(irp);
}

NTSTATUS DispatchDeviceControl(ddk::DeviceObject& /*device*/, Irp& irp) {
  const IoStackLocation& stack = *ddk::IoGetCurrentIrpStackLocation(irp);
  if (stack.Parameters.DeviceIoControl.IoControlCode != IOCTL_READ_RECORDS) {
    return ServeControlRequest(irp);
  }
  // Buffered: the records go into the system buffer, which holds at least the output.
  if (irp.SystemBuffer == nullptr ||
      stack.Parameters.DeviceIoControl.OutputBufferLength < kPacketRecordSize) {
    Complete(irp, ddk::STATUS_BUFFER_TOO_SMALL, 0);
    return ddk::STATUS_BUFFER_TOO_SMALL;
  }
  return PendRead(irp);
}

}  // namespace

ControlQueues& Queues() {
  static ControlQueues queues;
  return queues;
}

void SetRecordQueueLimit(uint32_t limit) { Queues().configured_limit = limit; }

void InitializeControlQueues() {
  ControlQueues& queues = Queues();
  NdisAllocateSpinLock(&queues.QueueLock);
  SpinLockGuard guard(queues.QueueLock);
  queues.CaptureFlags.store(0);
  queues.records.Reset(queues.configured_limit);
  queues.reads.Reset();
}

void ReleaseQueuedRecords() {
  ControlQueues& queues = Queues();
  SpinLockGuard guard(queues.QueueLock);
  while (QueuedRecord* record = queues.records.Pop()) FreeRecord(record);
}

const ddk::DispatchTable& ControlDeviceDispatchTable() {
  static const ddk::DispatchTable kTable{
      .create = DispatchCreate,
      .cleanup = DispatchCleanup,
      .close = DispatchClose,
      .read = DispatchRead,
      .device_control = DispatchDeviceControl,
  };
  return kTable;
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

void EnqueueRecord(QueuedRecord* record) {
  ControlQueues& queues = Queues();
  {
    SpinLockGuard guard(queues.QueueLock);
    if (!queues.records.Push(*record)) {
      guard.Release();
      FreeRecord(record);
    }
  }
  DeliverRecords();
}

void DeliverRecords() {
  ControlQueues& queues = Queues();
  SpinLockGuard guard(queues.QueueLock);
  while (!queues.records.empty()) {
    Irp* taken = queues.reads.TakeOldest();
    if (taken == nullptr) return;
    Irp& irp = *taken;
    const IoStackLocation& stack = *ddk::IoGetCurrentIrpStackLocation(irp);
    const bool plain_read = stack.MajorFunction == ddk::IRP_MJ_READ;
    const uint32_t room =
        plain_read ? 1 : stack.Parameters.DeviceIoControl.OutputBufferLength / kPacketRecordSize;
    // The records leave onto a list of this call's own, so that they are copied outside the lock.
    ddk::ListEntry batch;
    ddk::InitializeListHead(batch);
    const uint32_t count = queues.records.PopInto(batch, room);
    const uint32_t left = queues.records.size();
    const uint32_t wake_level = RoomWakeLevel(queues.records);
    guard.Release();
    if (left <= wake_level && left + count > wake_level) WakeRoomWaiters();

    auto* address = plain_read ? static_cast<uint8_t*>(ddk::MmGetSystemAddressForMdlSafe(
                                     irp.MdlAddress, ddk::NormalPagePriority))
                               : static_cast<uint8_t*>(irp.SystemBuffer);
    if (address == nullptr) {
      // The read mapped its buffer when it arrived, so this cannot happen; should it, the record
      // goes back for the next reader rather than being lost.
      guard.Acquire();
      queues.records.PutBack(*RecordFromLinks(ddk::RemoveHeadList(batch)));
      guard.Release();
      Complete(irp, ddk::STATUS_INSUFFICIENT_RESOURCES, 0);
    } else {
      uint32_t offset = 0;
      while (!ddk::IsListEmpty(batch)) {
        QueuedRecord* record = RecordFromLinks(ddk::RemoveHeadList(batch));
        std::memcpy(address + offset, record->Record, kPacketRecordSize);
        offset += kPacketRecordSize;
        // Freed before the reader hears of it, so a reader that has its record never sees the
        // driver still holding it.
        FreeRecord(record);
      }
      Complete(irp, ddk::STATUS_SUCCESS, plain_read ? stack.Parameters.Read.Length : offset);
    }
    guard.Acquire();
  }
}

uint32_t SetCaptureFlags(uint8_t flags) {
  ControlQueues& queues = Queues();
  uint32_t dropped;
  {
    SpinLockGuard guard(queues.QueueLock);
    queues.CaptureFlags.store(flags);
    dropped = queues.records.TakeDropped();
  }
  WakeRoomWaiters();
  return dropped;
}

bool WaitForRecordRoom(const std::atomic<bool>& stop) {
  ControlQueues& queues = Queues();
  RoomWaiters& waiters = Waiters();
  waiters.count.fetch_add(1);
  std::unique_lock lock(waiters.mutex);
  bool room = false;
  while (!stop.load()) {
    {
      SpinLockGuard guard(queues.QueueLock);
      room = (queues.CaptureFlags.load() & CAPTURE_ENABLED) != 0 && !queues.records.full();
    }
    if (room) break;
    waiters.changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  lock.unlock();
  waiters.count.fetch_sub(1);
  return room;
}

}  // namespace flowsentry::pactrak
