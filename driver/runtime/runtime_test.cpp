// The runtime's own bookkeeping: memory by tag, pool limits, packet counts, events.
#include <gtest/gtest.h>

#include "driver/runtime/frame_packet.h"
#include "driver/runtime/ndis.h"

namespace flowsentry::ndis {
namespace {

TEST(MemoryTest, CountsBlocksAndBytesPerTag) {
  constexpr uint32_t kTag = 0x74736554;
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(NdisAllocateMemoryWithTag(&a, 49, kTag), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(NdisAllocateMemoryWithTag(&b, 7, kTag), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(MemoryInUse(kTag).blocks, 2u);
  EXPECT_EQ(MemoryInUse(kTag).bytes, 56u);
  NdisFreeMemory(a, 49, 0);
  EXPECT_EQ(MemoryInUse(kTag).bytes, 7u);
  FailNextAllocationsForTesting(1);
  EXPECT_EQ(NdisAllocateMemoryWithTag(&a, 4, kTag), NDIS_STATUS_RESOURCES);
  EXPECT_EQ(a, nullptr);
  NdisFreeMemory(b, 7, 0);
  EXPECT_EQ(MemoryInUse(kTag).blocks, 0u);
}

TEST(PacketPoolTest, HandsOutDescriptorsUpToItsLimit) {
  NDIS_STATUS status;
  NDIS_HANDLE pool;
  NdisAllocatePacketPoolEx(&status, &pool, 2, 1, sizeof(void*));
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  NDIS_PACKET* packets[4] = {};
  for (int i = 0; i < 3; ++i) {
    NdisAllocatePacket(&status, &packets[i], pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  }
  NdisAllocatePacket(&status, &packets[3], pool);
  EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(NdisPacketPoolUsage(pool), 3u);
  NdisFreePacket(packets[0]);
  NdisAllocatePacket(&status, &packets[3], pool);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  for (int i = 1; i < 4; ++i) NdisFreePacket(packets[i]);
  NdisFreePacketPool(pool);
}

TEST(PacketTest, QueryCachesCountsUntilTheChainChanges) {
  NDIS_STATUS status;
  NDIS_HANDLE pool;
  NdisAllocatePacketPoolEx(&status, &pool, 4, 0, 0);
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  auto frame = FramePacket::Make(pool, bytes, {10, 0, 30});
  ASSERT_NE(frame, nullptr);
  uint32_t buffers = 0;
  uint32_t total = 0;
  NdisQueryPacket(frame->packet(), nullptr, &buffers, nullptr, &total);
  EXPECT_EQ(buffers, 4u);  // 10, 0, 30 and the remaining 60
  EXPECT_EQ(total, 100u);
  EXPECT_EQ(PacketBytes(frame->packet()), bytes);
  uint8_t middle[5];
  EXPECT_EQ(CopyFromPacket(frame->packet(), 8, middle, 5), 5u);
  EXPECT_EQ(middle[0], 8);
  EXPECT_EQ(middle[4], 12);
  NDIS_BUFFER extra{nullptr, bytes.data(), 3};
  NdisChainBufferAtBack(frame->packet(), &extra);
  NdisQueryPacket(frame->packet(), nullptr, &buffers, nullptr, &total);
  EXPECT_EQ(total, 103u);
  frame.reset();
  NdisFreePacketPool(pool);
}

TEST(EventTest, StaysSetUntilReset) {
  NDIS_EVENT event;
  NdisInitializeEvent(&event);
  EXPECT_FALSE(NdisWaitEvent(&event, 1));
  NdisSetEvent(&event);
  EXPECT_TRUE(NdisWaitEvent(&event, 0));
  EXPECT_TRUE(NdisWaitEvent(&event, 0));
  NdisResetEvent(&event);
  EXPECT_FALSE(NdisWaitEvent(&event, 1));
}

TEST(ClockTest, SystemTimeCanBeReplaced) {
  ddk::SetSystemTimeSource([]() -> int64_t { return 116444736000000000 + 10000020; });
  ddk::LARGE_INTEGER now;
  ddk::KeQuerySystemTime(&now);
  ddk::SetSystemTimeSource(nullptr);
  RecordTime t = RecordTimeFromSystemTime(static_cast<uint64_t>(now.QuadPart));
  EXPECT_EQ(t.seconds, 1u);
  EXPECT_EQ(t.microseconds, 2u);
  ddk::KeQuerySystemTime(&now);
  EXPECT_GT(now.QuadPart, 116444736000000000);
}

}  // namespace
}  // namespace flowsentry::ndis
