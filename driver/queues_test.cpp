// The record queue and the read queue as plain logic: no device, no threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "driver/read_queue.h"
#include "driver/record_queue.h"

namespace flowsentry::pactrak {
namespace {

TEST(RecordQueueTest, HoldsUpToItsLimitDropsNewcomersAndHandsRecordsOutNewestFirst) {
  RecordQueue queue(4);
  std::vector<uint8_t> store(RecordQueue::StoreSize(4));
  std::array<uint8_t, kPacketRecordSize> record{};
  EXPECT_FALSE(queue.Push(record));  // no store yet: nowhere to keep it
  EXPECT_EQ(queue.TakeDropped(), 1u);
  queue.ProvideStore(store);
  std::vector<bool> taken;
  for (uint8_t i = 0; i < 6; ++i) {
    record.fill(i);
    taken.push_back(queue.Push(record));
  }
  EXPECT_EQ(taken, (std::vector<bool>{true, true, true, true, false, false}));
  EXPECT_TRUE(queue.full());
  EXPECT_EQ(queue.TakeDropped(), 2u);
  EXPECT_EQ(queue.TakeDropped(), 0u);

  // A batch takes what single pops would give, in that order; a record put back leaves next.
  auto pop = [&](uint32_t max) {
    std::vector<uint8_t> out(max * kPacketRecordSize);
    out.resize(queue.PopInto(out.data(), max) * kPacketRecordSize);
    std::vector<uint8_t> firsts;
    for (size_t at = 0; at < out.size(); at += kPacketRecordSize) {
      firsts.push_back(out[at]);
      EXPECT_EQ(std::count(out.begin() + at, out.begin() + at + kPacketRecordSize, out[at]),
                kPacketRecordSize);  // whole records, not pieces
    }
    return firsts;
  };
  EXPECT_EQ(pop(2), (std::vector<uint8_t>{3, 2}));
  record.fill(3);
  queue.PutBack(record);
  EXPECT_EQ(pop(10), (std::vector<uint8_t>{3, 1, 0}));
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.ReleaseStore(), store.data());

  // Limits outside the allowed range are clamped to it.
  queue.Reset(0);
  EXPECT_EQ(queue.limit(), RecordQueue::kMinLimit);
  queue.Reset(RecordQueue::kMaxLimit + 1);
  EXPECT_EQ(queue.limit(), RecordQueue::kMaxLimit);
}

void NoCancel(ddk::DeviceObject&, ddk::Irp&) {}

TEST(ReadQueueTest, DeliveryTakesTheOldestReadThatIsNotBeingCancelled) {
  std::array<ddk::Irp, 4> irps;
  ReadQueue queue;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.Push(irps[i], NoCancel));
  // A read cancelled before its routine was in place is not queued: its caller ends it.
  irps[3].Cancel.store(true);
  EXPECT_FALSE(queue.Push(irps[3], NoCancel));
  EXPECT_EQ(irps[3].CancelRoutine.load(), nullptr);

  // The oldest read is being cancelled (its routine taken): delivery passes it by, and only the
  // cancel routine unlinks it, once.
  ddk::IoSetCancelRoutine(irps[0], nullptr);
  EXPECT_EQ(queue.TakeOldest(), &irps[1]);
  EXPECT_EQ(irps[1].CancelRoutine.load(), nullptr);
  EXPECT_FALSE(ReadQueue::Remove(irps[1]));  // delivery has it
  EXPECT_TRUE(ReadQueue::Remove(irps[0]));
  EXPECT_FALSE(ReadQueue::Remove(irps[0]));
  EXPECT_FALSE(ReadQueue::Remove(irps[3]));  // never queued
  EXPECT_EQ(queue.TakeOldest(), &irps[2]);
  EXPECT_EQ(queue.TakeOldest(), nullptr);
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace flowsentry::pactrak
