// The record queue and the read queue as plain logic: no device, no threads.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "driver/read_queue.h"
#include "driver/record_queue.h"

namespace flowsentry::pactrak {
namespace {

TEST(RecordQueueTest, HoldsUpToItsLimitDropsNewcomersAndHandsRecordsOutNewestFirst) {
  std::array<QueuedRecord, 6> records;
  for (uint8_t i = 0; i < records.size(); ++i) records[i].Record[0] = i;
  RecordQueue queue(4);
  std::vector<bool> taken;
  for (QueuedRecord& record : records) taken.push_back(queue.Push(record));
  EXPECT_EQ(taken, (std::vector<bool>{true, true, true, true, false, false}));
  EXPECT_TRUE(queue.full());
  EXPECT_EQ(queue.TakeDropped(), 2u);
  EXPECT_EQ(queue.TakeDropped(), 0u);

  // A batch takes what single Pops would give, in that order; a record put back leaves next.
  ddk::ListEntry batch;
  ddk::InitializeListHead(batch);
  EXPECT_EQ(queue.PopInto(batch, 2), 2u);
  QueuedRecord* first = RecordFromLinks(ddk::RemoveHeadList(batch));
  EXPECT_EQ(first->Record[0], 3);
  EXPECT_EQ(RecordFromLinks(ddk::RemoveHeadList(batch))->Record[0], 2);
  queue.PutBack(*first);
  EXPECT_EQ(queue.PopInto(batch, 10), 3u);
  std::vector<uint8_t> order;
  while (!ddk::IsListEmpty(batch))
    order.push_back(RecordFromLinks(ddk::RemoveHeadList(batch))->Record[0]);
  EXPECT_EQ(order, (std::vector<uint8_t>{3, 1, 0}));
  EXPECT_EQ(queue.Pop(), nullptr);

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
