#include "driver/control_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>

#include "driver/control_requests.h"
#include "driver/driver_state.h"
#include "shared/control.h"

namespace flowsentry::pactrak {

using ddk::IoStackLocation;
using ddk::Irp;
using ddk::NTSTATUS;
using ndis::NDIS_HANDLE;
using ndis::NDIS_STATUS;
using ndis::NDIS_STATUS_SUCCESS;
using ndis::NdisAllocateMemoryWithTag;
using ndis::NdisFreeMemory;
using ndis::NdisMDeregisterDevice;
using ndis::NdisMSleep;
using ndis::OwnedNdisString;
using ndis::SpinLockGuard;
using ndis::WidenName;

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

void FreeStore(uint8_t* store, uint32_t limit) {
  if (store != nullptr) {
    NdisFreeMemory(store, static_cast<uint32_t>(RecordQueue::StoreSize(limit)), 0);
  }
}

// The record queue's store, made with the first record rather than at load, so that a driver
// that never captures holds none. Called and returns with QueueLock held, which it drops while it
// allocates. False without memory: the record is then lost, as a failed allocation loses it.
bool EnsureStore(ControlQueues& queues, SpinLockGuard& guard) {
  if (queues.records.has_store()) return true;
  const uint32_t limit = queues.records.limit();
  const auto size = static_cast<uint32_t>(RecordQueue::StoreSize(limit));
  guard.Release();
  void* memory = nullptr;
  const bool allocated = NdisAllocateMemoryWithTag(&memory, size, kPoolTag) == NDIS_STATUS_SUCCESS;
  guard.Acquire();
  if (!allocated) return false;
  if (queues.records.has_store() || queues.records.limit() != limit) {
    FreeStore(static_cast<uint8_t*>(memory), limit);  // another frame was first
  } else {
    queues.records.ProvideStore(std::span(static_cast<uint8_t*>(memory), size));
  }
  return queues.records.has_store();
}

// DeliverRecords with QueueLock held; returns with it held.
void DeliverLocked(ControlQueues& queues, SpinLockGuard& guard);

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
  // A store left by a load that never unloaded (its entry failed) goes first.
  const uint32_t old_limit = queues.records.limit();
  FreeStore(queues.records.ReleaseStore(), old_limit);
  queues.CaptureFlags.store(0);
  queues.records.Reset(queues.configured_limit);
  queues.reads.Reset();
}

void ReleaseQueuedRecords() {
  ControlQueues& queues = Queues();
  uint8_t* store;
  uint32_t limit;
  {
    SpinLockGuard guard(queues.QueueLock);
    limit = queues.records.limit();
    store = queues.records.ReleaseStore();
  }
  FreeStore(store, limit);
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

void EnqueueRecord(RecordQueue::RecordBytes record) {
  ControlQueues& queues = Queues();
  SpinLockGuard guard(queues.QueueLock);
  if (!EnsureStore(queues, guard)) return;
  queues.records.Push(record);
  // One pass under the lock for the frame: delivery only when some read waits.
  if (!queues.reads.empty()) DeliverLocked(queues, guard);
}

void DeliverRecords() {
  ControlQueues& queues = Queues();
  SpinLockGuard guard(queues.QueueLock);
  DeliverLocked(queues, guard);
}

namespace {

void DeliverLocked(ControlQueues& queues, SpinLockGuard& guard) {
  while (!queues.records.empty()) {
    Irp* taken = queues.reads.TakeOldest();
    if (taken == nullptr) return;
    Irp& irp = *taken;
    const IoStackLocation& stack = *ddk::IoGetCurrentIrpStackLocation(irp);
    const uint32_t wake_level = RoomWakeLevel(queues.records);
    const uint32_t before = queues.records.size();
    if (stack.MajorFunction == ddk::IRP_MJ_READ) {
      // The record leaves the queue under the lock and reaches the caller's buffer outside it.
      uint8_t record[kPacketRecordSize];
      queues.records.PopInto(record, 1);
      guard.Release();
      if (before == wake_level + 1) WakeRoomWaiters();
      void* address = ddk::MmGetSystemAddressForMdlSafe(irp.MdlAddress, ddk::NormalPagePriority);
      if (address == nullptr) {
        // The read mapped its buffer when it arrived, so this cannot happen; should it, the record
        // goes back for the next reader rather than being lost.
        guard.Acquire();
        queues.records.PutBack(record);
        guard.Release();
        Complete(irp, ddk::STATUS_INSUFFICIENT_RESOURCES, 0);
      } else {
        std::memcpy(address, record, kPacketRecordSize);
        Complete(irp, ddk::STATUS_SUCCESS, stack.Parameters.Read.Length);
      }
    } else {
      // A batch goes straight into the system buffer, the I/O manager's own memory (nothing of
      // the caller's is touched under the lock).
      const uint32_t room = stack.Parameters.DeviceIoControl.OutputBufferLength / kPacketRecordSize;
      const uint32_t count = queues.records.PopInto(static_cast<uint8_t*>(irp.SystemBuffer), room);
      guard.Release();
      if (before > wake_level && before - count <= wake_level) WakeRoomWaiters();
      Complete(irp, ddk::STATUS_SUCCESS, uintptr_t{count} * kPacketRecordSize);
    }
    guard.Acquire();
  }
}

}  // namespace

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
  auto has_room = [&] {
    SpinLockGuard guard(queues.QueueLock);
    return (queues.CaptureFlags.load() & CAPTURE_ENABLED) != 0 && !queues.records.full();
  };
  // Most frames find room: they take only the one look.
  if (!stop.load() && has_room()) return true;
  RoomWaiters& waiters = Waiters();
  waiters.count.fetch_add(1);
  std::unique_lock lock(waiters.mutex);
  bool room = false;
  while (!stop.load()) {
    room = has_room();
    if (room) break;
    waiters.changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  lock.unlock();
  waiters.count.fetch_sub(1);
  return room;
}

}  // namespace flowsentry::pactrak
