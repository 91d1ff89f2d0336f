#include "driver/record_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace flowsentry::pactrak {

void RecordQueue::Reset(uint32_t limit) {
  store_ = nullptr;
  count_ = 0;
  dropped_ = 0;
  limit_ = std::clamp(limit, kMinLimit, kMaxLimit);
}

void RecordQueue::ProvideStore(std::span<uint8_t> store) {
  store_ = store.size() >= StoreSize(limit_) ? store.data() : nullptr;
  count_ = 0;
}

uint8_t* RecordQueue::ReleaseStore() {
  count_ = 0;
  return std::exchange(store_, nullptr);
}

bool RecordQueue::Push(RecordBytes record) {
  if (full() || store_ == nullptr) {
    // The records already waiting stay, the newcomer goes.
    dropped_ += 1;
    return false;
  }
  std::memcpy(store_ + size_t{count_} * kPacketRecordSize, record.data(), kPacketRecordSize);
  count_ += 1;
  return true;
}

uint32_t RecordQueue::PopInto(uint8_t* out, uint32_t max) {
  const uint32_t taken = std::min(max, count_);
  // Newest first: the store is a stack whose top is the last record queued.
  const uint8_t* from = store_ + size_t{count_} * kPacketRecordSize;
  for (uint32_t i = 0; i < taken; ++i) {
    from -= kPacketRecordSize;
    std::memcpy(out + size_t{i} * kPacketRecordSize, from, kPacketRecordSize);
  }
  count_ -= taken;
  return taken;
}

uint32_t RecordQueue::TakeDropped() { return std::exchange(dropped_, 0); }

}  // namespace flowsentry::pactrak
