// pactrak's control device: the record queue between the capture path and the readers, the
// queue of pending reads, and the control requests (list, open and query adapters, switch
// capture on and off). The device is registered with the first virtual adapter and removed with
// the last.
//
// Records and reads are driver-wide: any pending read of any handle takes the next record.
// Readers are served oldest first; records that piled up leave newest first. At most
// MAX_QUEUED_RECORDS records wait; a record that finds the queue full is dropped and counted,
// and IOCTL_SET_CAPTURE hands the count out.
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
#include <mutex>

#include "driver/binding.h"
#include "driver/runtime/io/dispatch.h"
#include "driver/runtime/io/irp.h"
#include "driver/runtime/io/list_entry.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {

// One record waiting for a reader: the list links, then the record's wire bytes. Allocated by
// the capture path from non-paged memory with the driver's tag; freed once copied or dropped.
struct QueuedRecord {
  ddk::ListEntry Links;
  uint8_t Record[kPacketRecordSize];
};

// The driver-wide queues. QueueLock guards everything here except CaptureFlags' reads by the
// capture path, which take no lock (a change takes effect from the next frame).
struct ControlQueues {
  NDIS_SPIN_LOCK QueueLock;
  std::atomic<uint8_t> CaptureFlags{0};
  uint32_t DroppedRecords = 0;
  ddk::ListEntry RecordQueue;  // newest at the head
  uint32_t QueuedRecordCount = 0;
  ddk::ListEntry ReadQueue;  // oldest at the head, linked through Irp::ListEntry
};

ControlQueues& Queues();

// A handle's hold on one adapter, made by IOCTL_OPEN_BINDING and ended by closing the handle.
// Each reference also holds one on the Binding; the last release frees the context.
struct OpenContext {
  std::atomic<uint32_t> reference_count{1};
  NDIS_SPIN_LOCK lock;
  Binding* binding = nullptr;
  NDIS_REQUEST request;  // IOCTL_QUERY_BINDING's query to the lower adapter
  void (*request_complete)(OpenContext* context, NDIS_STATUS status) = nullptr;
  OpenContext* request_complete_context = nullptr;
  NDIS_STATUS request_status = NDIS_STATUS_SUCCESS;
  NDIS_EVENT request_event;
  // Queries through several handles may reach one context at once; they use its request block
  // in turn (a passive-level mutex, held across the wait for the lower adapter).
  std::mutex query_turn;
};

// DriverEntry: makes RecordQueue and ReadQueue empty lists (on every path).
void InitializeControlQueues();

// DriverUnload: frees the records no reader took.
void ReleaseQueuedRecords();

// The control device's dispatch table: create, cleanup, close, read and device control.
const ddk::DispatchTable& ControlDeviceDispatchTable();

// Virtual adapter initialize: counts the adapter; the first one creates the device
// ("\Device\pactrak", "\DosDevices\pactrak"). A failed registration is logged and otherwise
// ignored.
void RegisterControlDevice();

// Virtual adapter halt: the last adapter removes the device.
void DeregisterControlDevice();

// A request that completed on the protocol edge but is not a binding's forwarded request: an
// IOCTL_QUERY_BINDING query, handed back to the OpenContext that issued it.
void CompleteControlDeviceQuery(Binding* binding, NDIS_REQUEST* request, NDIS_STATUS status);

// The capture path's hand-over: queues a filled record (or drops and counts it when the queue
// is full), then delivers what it can to pending reads.
void EnqueueRecord(QueuedRecord* record);

// Hands queued records to pending reads (one each) and batches (as many as fit) until one of the
// two queues is empty.
void DeliverRecords();

// For a frame source that must lose nothing: waits until capture is on and the record queue has
// room for one more record. False, at once or later, when `stop` is or becomes true (it is
// looked at every few milliseconds). It only waits: two sources that share the last room must
// hold a lock of their own across the wait and the frame.
bool WaitForRecordRoom(const std::atomic<bool>& stop);

// The status a query of the lower adapter completes the control request with.
ddk::NTSTATUS TranslateQueryStatus(NDIS_STATUS status);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CONTROL_DEVICE_H_
