// The records captured and not yet handed to a reader.
//
// The queue keeps the records' wire bytes in one store that its owner provides (41 bytes a
// record, room for the limit), so queuing a record allocates nothing: it is one copy into the
// store. It holds at most its limit; a record that finds it full is refused and counted as
// dropped. Records leave newest first: the one queued last is the next one a read takes.
//
// Not synchronized: the control device guards it with QueueLock. Pure logic, no I/O.
#ifndef FLOWSENTRY_DRIVER_RECORD_QUEUE_H_
#define FLOWSENTRY_DRIVER_RECORD_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {

class RecordQueue {
 public:
  // The smallest and largest limits a queue may have.
  static constexpr uint32_t kMinLimit = 1;
  static constexpr uint32_t kMaxLimit = 1u << 20;

  using RecordBytes = std::span<const uint8_t, kPacketRecordSize>;

  // The bytes of the store a queue of `limit` records needs.
  static constexpr size_t StoreSize(uint32_t limit) { return size_t{limit} * kPacketRecordSize; }

  explicit RecordQueue(uint32_t limit = MAX_QUEUED_RECORDS) { Reset(limit); }
  RecordQueue(const RecordQueue&) = delete;
  RecordQueue& operator=(const RecordQueue&) = delete;

  // Forgets every record, the drop count and the store, and takes a new limit (clamped to
  // kMinLimit..kMaxLimit).
  void Reset(uint32_t limit);

  // Gives the queue its store: StoreSize(limit()) bytes, which the caller owns and keeps alive
  // until the next Reset or ReleaseStore.
  void ProvideStore(std::span<uint8_t> store);
  bool has_store() const { return store_ != nullptr; }
  // Forgets the records and hands back the store (null if none) for its owner to free.
  uint8_t* ReleaseStore();

  uint32_t limit() const { return limit_; }
  uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool full() const { return count_ >= limit_; }

  // Queues a copy of `record` unless the queue is full, when the drop is counted instead. Must
  // have a store.
  bool Push(RecordBytes record);

  // Copies up to `max` records to `out` (41 bytes each, back to back), in the order successive
  // single reads would take them, and removes them. Returns how many it copied.
  uint32_t PopInto(uint8_t* out, uint32_t max);

  // Takes back a record that could not be delivered: it is the next to leave. A full queue counts
  // it as dropped.
  void PutBack(RecordBytes record) { Push(record); }

  // The number of records dropped since the previous call; counting starts again from 0.
  uint32_t TakeDropped();

 private:
  uint8_t* store_ = nullptr;  // record i at store_ + 41 * i, the newest at count_ - 1
  uint32_t count_ = 0;
  uint32_t limit_ = MAX_QUEUED_RECORDS;
  uint32_t dropped_ = 0;
};

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_RECORD_QUEUE_H_
