// The records captured and not yet handed to a reader.
//
// The queue links the records it is given rather than copying them, so that nothing is copied
// while the lock that guards it is held, and hands them back the same way. It holds at most its
// limit; a record that finds it full is refused and counted as dropped. Records leave newest
// first: the one queued last is the next one a read takes.
//
// Not synchronized: the control device guards it with QueueLock. Pure logic, no I/O.
#ifndef FLOWSENTRY_DRIVER_RECORD_QUEUE_H_
#define FLOWSENTRY_DRIVER_RECORD_QUEUE_H_

#include <cstdint>

#include "driver/runtime/io/list_entry.h"
#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {

// One record waiting for a reader: the list links, then the record's wire bytes.
struct QueuedRecord {
  ddk::ListEntry Links;
  uint8_t Record[kPacketRecordSize];
};

// The record whose Links `entry` is.
QueuedRecord* RecordFromLinks(ddk::ListEntry* entry);

class RecordQueue {
 public:
  // The smallest and largest limits a queue may have.
  static constexpr uint32_t kMinLimit = 1;
  static constexpr uint32_t kMaxLimit = 1u << 20;

  explicit RecordQueue(uint32_t limit = MAX_QUEUED_RECORDS);
  RecordQueue(const RecordQueue&) = delete;
  RecordQueue& operator=(const RecordQueue&) = delete;

  // Forgets every record (their owner must have taken them back) and the drop count, and takes a
  // new limit (clamped to kMinLimit..kMaxLimit).
  void Reset(uint32_t limit);

  uint32_t limit() const { return limit_; }
  uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool full() const { return count_ >= limit_; }

  // Takes `record` unless the queue is full; when full, the record stays the caller's and the
  // drop is counted.
  bool Push(QueuedRecord& record);

  // The next record a read takes, unlinked; null when the queue is empty.
  QueuedRecord* Pop();

  // Moves up to `max` records onto the tail of `batch`, in the order successive Pops would give
  // them. Returns how many it moved.
  uint32_t PopInto(ddk::ListEntry& batch, uint32_t max);

  // Takes back a record that could not be delivered: it is the next to leave. It counts against
  // the limit but is never refused.
  void PutBack(QueuedRecord& record);

  // The number of records dropped since the previous call; counting starts again from 0.
  uint32_t TakeDropped();

 private:
  ddk::ListEntry records_;  // newest at the head
  uint32_t count_ = 0;
  uint32_t limit_;
  uint32_t dropped_ = 0;
};

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_RECORD_QUEUE_H_
