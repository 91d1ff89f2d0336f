#include "driver/record_queue.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace flowsentry::pactrak {

static_assert(std::is_standard_layout_v<QueuedRecord>);

QueuedRecord* RecordFromLinks(ddk::ListEntry* entry) {
  return reinterpret_cast<QueuedRecord*>(reinterpret_cast<uint8_t*>(entry) -
                                         offsetof(QueuedRecord, Links));
}

RecordQueue::RecordQueue(uint32_t limit) { Reset(limit); }

void RecordQueue::Reset(uint32_t limit) {
  ddk::InitializeListHead(records_);
  count_ = 0;
  dropped_ = 0;
  limit_ = std::clamp(limit, kMinLimit, kMaxLimit);
}

bool RecordQueue::Push(QueuedRecord& record) {
  if (full()) {
    // The records already waiting stay, the newcomer goes.
    dropped_ += 1;
    return false;
  }
  ddk::InsertHeadList(records_, record.Links);
  count_ += 1;
  return true;
}

QueuedRecord* RecordQueue::Pop() {
  if (empty()) return nullptr;
  count_ -= 1;
  return RecordFromLinks(ddk::RemoveHeadList(records_));
}

uint32_t RecordQueue::PopInto(ddk::ListEntry& batch, uint32_t max) {
  uint32_t moved = 0;
  for (; moved < max && !empty(); ++moved) ddk::InsertTailList(batch, Pop()->Links);
  return moved;
}

void RecordQueue::PutBack(QueuedRecord& record) {
  ddk::InsertHeadList(records_, record.Links);
  count_ += 1;
}

uint32_t RecordQueue::TakeDropped() {
  const uint32_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}

}  // namespace flowsentry::pactrak
