// pactrak's control device: the record queue between the capture path and the readers, the
// queue of pending reads, and the device's registration with the first virtual adapter and its
// removal with the last. The control requests and the handles' open contexts are in
// control_requests.h.
//
// Records and reads are driver-wide: any pending read of any handle takes the next record.
// Readers are served oldest first; records that piled up leave newest first. At most the queue's
// limit of records wait (MAX_QUEUED_RECORDS unless the host sets another before the driver
// loads); a record that finds the queue full is dropped and counted, and IOCTL_SET_CAPTURE hands
// the count out.
//
// IOCTL_READ_RECORDS is a read of many records: it waits in the same queue as plain reads, in
// turn with them, and completes as soon as one record is there, with as many queued records as
// fit whole in its output buffer (41 bytes each, back to back; information = the bytes written).
// A batch holds its records in the order a run of single reads would have taken them: the first
// record of the batch is the one the next single read would have got, the second the one the read
// after it would have got, and so on. A reader therefore sees the same sequence whichever way it
// reads. An output shorter than one record fails at once with STATUS_BUFFER_TOO_SMALL.
#ifndef FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_
#define FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_

#include <atomic>
#include <cstdint>

#include "driver/binding.h"
#include "driver/read_queue.h"
#include "driver/record_queue.h"
#include "driver/runtime/io/dispatch.h"
#include "driver/runtime/io/irp.h"

namespace flowsentry::pactrak {

// The driver-wide queues. QueueLock guards everything here except CaptureFlags' reads by the
// capture path, which take no lock (a change takes effect from the next frame), and
// configured_limit, which only the host sets before the driver loads.
struct ControlQueues {
  ndis::NDIS_SPIN_LOCK QueueLock;
  std::atomic<uint8_t> CaptureFlags{0};
  RecordQueue records;
  ReadQueue reads;
  uint32_t configured_limit = MAX_QUEUED_RECORDS;
};

ControlQueues& Queues();

// For the driver's host, before the driver loads: the record queue's limit from the next
// DriverEntry on (RecordQueue::kMinLimit to kMaxLimit).
void SetRecordQueueLimit(uint32_t limit);

// DriverEntry: empties the queues and gives the record queue its limit (on every path).
void InitializeControlQueues();

// DriverUnload: frees the records no reader took, and their store.
void ReleaseQueuedRecords();

// The control device's dispatch table: create, cleanup, close, read and device control.
const ddk::DispatchTable& ControlDeviceDispatchTable();

// Virtual adapter initialize: counts the adapter; the first one creates the device
// ("\Device\pactrak", "\DosDevices\pactrak"). A failed registration is logged and otherwise
// ignored.
void RegisterControlDevice();

// Virtual adapter halt: the last adapter removes the device.
void DeregisterControlDevice();

// The capture path's hand-over: queues a copy of the record (or drops and counts it when the
// queue is full), then delivers what it can to pending reads. Allocates nothing but the queue's
// store, once, with the first record.
void EnqueueRecord(RecordQueue::RecordBytes record);

// Hands queued records to pending reads (one each) and batches (as many as fit) until one of the
// two queues is empty.
void DeliverRecords();

// IOCTL_SET_CAPTURE's step under QueueLock: sets the capture flags and returns the drop count,
// which starts again from 0.
uint32_t SetCaptureFlags(uint8_t flags);

// For a frame source that must lose nothing: waits until capture is on and the record queue has
// room for one more record. False, at once or later, when `stop` is or becomes true (it is
// looked at every few milliseconds). It only waits: two sources that share the last room must
// hold a lock of their own across the wait and the frame.
bool WaitForRecordRoom(const std::atomic<bool>& stop);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_
