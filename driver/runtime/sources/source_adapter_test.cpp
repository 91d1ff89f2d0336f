// The adapter that sources feed, seen from a recording open: frames as whole packets (padded
// when the capture cut them), carrier changes, held packets, and indications from several
// threads at once.
#include "driver/runtime/sources/source_adapter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace flowsentry::ndis {
namespace {

class RecordingEdge final : public AdapterEdge {
 public:
  explicit RecordingEdge(bool keep = false) : keep_(keep) {}
  void CompleteOpen(NDIS_STATUS) override {}
  void CompleteClose(NDIS_STATUS) override {}
  void CompleteRequest(NDIS_REQUEST*, NDIS_STATUS) override {}
  void CompleteSend(NDIS_PACKET*, NDIS_STATUS) override {}
  void CompleteTransferData(NDIS_PACKET*, NDIS_STATUS, uint32_t) override {}
  bool IndicateReceive(ReceiveIndication*, const void*, uint32_t, const void*, uint32_t,
                       uint32_t) override {
    return false;
  }
  bool IndicateReceiveComplete() override { return true; }
  bool IndicateReceivePacket(NDIS_PACKET* packet, bool* delivered) override {
    std::lock_guard lock(mu);
    *delivered = true;
    frames.push_back(PacketBytes(packet));
    header_sizes.push_back(NDIS_GET_PACKET_HEADER_SIZE(packet));
    if (keep_) kept.push_back(packet);
    return keep_;
  }
  bool IndicateStatus(NDIS_STATUS status, const void*, uint32_t) override {
    std::lock_guard lock(mu);
    statuses.push_back(status);
    return true;
  }
  bool IndicateStatusComplete() override { return true; }
  NDIS_STATUS IndicatePnPEvent(NET_PNP_EVENT*) override { return NDIS_STATUS_SUCCESS; }

  std::mutex mu;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint32_t> header_sizes;
  std::vector<NDIS_STATUS> statuses;
  std::vector<NDIS_PACKET*> kept;

 private:
  const bool keep_;
};

AdapterProfile Ethernet() {
  AdapterProfile p;
  p.mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
  return p;
}

TEST(SourceAdapterTest, FramesCarrierAndHeldPackets) {
  auto adapter = std::make_shared<SourceAdapter>("t0", Ethernet());
  auto edge = std::make_shared<RecordingEdge>();
  ASSERT_EQ(adapter->Open(edge), NDIS_STATUS_SUCCESS);

  // A frame cut by its capture is filled up to its length on the wire; an overlong one is cut.
  const std::vector<uint8_t> head = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(adapter->IndicateFrame({head, 100}), 1u);
  const std::vector<uint8_t> huge(kMaxFrameLength + 10, 0x5A);
  EXPECT_EQ(adapter->IndicateFrame({huge, static_cast<uint32_t>(huge.size())}), 1u);
  const std::vector<uint8_t> tiny = {0xFF, 0xFF};
  EXPECT_EQ(adapter->IndicateFrame({tiny, 2}), 1u);
  ASSERT_EQ(edge->frames.size(), 3u);
  std::vector<uint8_t> padded = head;
  padded.resize(100, 0);
  EXPECT_EQ(edge->frames[0], padded);
  EXPECT_EQ(edge->frames[1].size(), kMaxFrameLength);
  EXPECT_EQ(edge->frames[2], tiny);
  EXPECT_EQ(edge->header_sizes, (std::vector<uint32_t>{14, 14, 2}));
  EXPECT_EQ(adapter->Counters().received, 3u);

  // Carrier: indicated once per change, and answered by the connect-status query.
  adapter->SetConnected(true);
  adapter->SetConnected(false);
  adapter->SetConnected(false);
  adapter->SetConnected(true);
  EXPECT_EQ(edge->statuses,
            (std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_DISCONNECT, NDIS_STATUS_MEDIA_CONNECT}));

  // Sends complete at once without a packet being touched; transfers have nothing to give.
  NDIS_PACKET* no_packet = nullptr;
  EXPECT_EQ(adapter->Send(*edge, no_packet), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->Counters().sent, 1u);
  uint32_t transferred = 7;
  EXPECT_EQ(adapter->TransferData(*edge, nullptr, 0, 10, nullptr, &transferred),
            NDIS_STATUS_FAILURE);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(adapter->Close(*edge), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->IndicateFrame({head, 16}), 0u) << "closed opens get nothing";

  // A protocol that keeps a packet gives it back later; the adapter must not free it before.
  auto keeper = std::make_shared<RecordingEdge>(/*keep=*/true);
  adapter->Open(keeper);
  adapter->IndicateFrame({head, 16});
  ASSERT_EQ(keeper->kept.size(), 1u);
  EXPECT_EQ(PacketBytes(keeper->kept[0]), head);
  adapter->PacketReturned(keeper->kept[0]);
  adapter->Close(*keeper);
}

TEST(SourceAdapterTest, IndicationsFromSeveralThreadsWhileOpensComeAndGo) {
  auto adapter = std::make_shared<SourceAdapter>("t1", Ethernet());
  auto steady = std::make_shared<RecordingEdge>();
  adapter->Open(steady);
  constexpr int kThreads = 4;
  constexpr int kFrames = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      std::vector<uint8_t> frame(60, static_cast<uint8_t>(t));
      for (int i = 0; i < kFrames; ++i) adapter->IndicateFrame({frame, 60});
    });
  }
  threads.emplace_back([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 50; ++i) {
      auto passing = std::make_shared<RecordingEdge>();
      adapter->Open(passing);
      adapter->SetConnected(i % 2 == 0);
      adapter->Close(*passing);
    }
  });
  go.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(steady->frames.size(), static_cast<size_t>(kThreads * kFrames));
  for (const auto& frame : steady->frames) {
    ASSERT_EQ(frame.size(), 60u);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), frame[0]), 60) << "frames never mix";
  }
  EXPECT_EQ(adapter->OpenEdges(), 1u);
}

}  // namespace
}  // namespace flowsentry::ndis
