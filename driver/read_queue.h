// The reads waiting for records: plain reads and IOCTL_READ_RECORDS batches alike, in the order
// they came, linked through Irp::ListEntry.
//
// Who completes a queued read is decided by the atomic exchange on its cancel-routine field:
// taking a read for delivery exchanges the routine for null and succeeds only if it was still
// set; a read whose routine is gone is being cancelled, and its cancel routine unlinks it.
//
// Not synchronized: the control device guards it with QueueLock. Pure logic, no I/O.
#ifndef FLOWSENTRY_DRIVER_READ_QUEUE_H_
#define FLOWSENTRY_DRIVER_READ_QUEUE_H_

#include "driver/runtime/io/irp.h"
#include "driver/runtime/io/list_entry.h"

namespace flowsentry::pactrak {

class ReadQueue {
 public:
  ReadQueue() { Reset(); }
  ReadQueue(const ReadQueue&) = delete;
  ReadQueue& operator=(const ReadQueue&) = delete;

  // Forgets every read (at driver entry, when none can be queued).
  void Reset() { ddk::InitializeListHead(reads_); }

  bool empty() const { return ddk::IsListEmpty(reads_); }

  // Queues `irp` behind every read waiting and installs `cancel` as its cancel routine. False
  // when the request was cancelled before the routine was in place, so that no cancellation will
  // call it: the request is then not queued, and the caller completes it as cancelled.
  bool Push(ddk::Irp& irp, ddk::DriverCancel cancel);

  // The oldest read that delivery may complete, unlinked, its cancel routine removed; null when
  // every queued read is being cancelled, or none is queued.
  ddk::Irp* TakeOldest();

  // For the cancel routine: unlinks `irp` if it is still queued. True when it was, and the
  // caller is the one to complete it; false when delivery took it first.
  static bool Remove(ddk::Irp& irp);

 private:
  ddk::ListEntry reads_;  // oldest at the head
};

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_READ_QUEUE_H_
