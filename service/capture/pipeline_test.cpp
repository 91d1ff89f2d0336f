// The capture pipeline end to end: a real pactrak replays a generated capture file losslessly
// into a temporary machine root, and the service's capture threads list the adapter, credit the
// counters and write the packet log. Expected counts come from the frames themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/testing/child_process.h"
#include "platform/threads.h"
#include "service/capture/capture_thread.h"
#include "service/capture/packet_text.h"
#include "service/capture/service_context.h"
#include "service/capture/service_sync.h"
#include "service/counters/testing/counters_db_testing.h"
#include "service/host/config.h"

namespace flowsentry::capture {
namespace {

using counters::testing::CountersDbTest;
using ndis::testing::CapturedFrame;
using platform::testing::ChildProcess;

constexpr char kPackets[] = "/opt/flowsentry/packets";
constexpr int kFrames = 3000;
constexpr uint16_t kThreads = 3;

struct Traffic {
  std::vector<CapturedFrame> frames;
  std::map<std::string, std::pair<int64_t, int64_t>> expected;  // counter -> packets, bytes
};

// Frames between a host 192.0.2.10 and five peers in 198.51.100.0/24, to and from ports 53, 80
// and 443, of varied lengths; and what each test counter must hold afterwards.
Traffic MakeTraffic() {
  const std::vector<uint8_t> host_mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x10};
  const std::vector<uint8_t> peer_mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x20};
  const std::array<uint16_t, 3> ports = {53, 80, 443};
  constexpr uint32_t kHost = 0xC000020A;  // 192.0.2.10
  Traffic traffic;
  auto credit = [&traffic](const std::string& name, size_t length) {
    auto& [packets, bytes] = traffic.expected[name];
    packets += 1;
    bytes += static_cast<int64_t>(length);
  };
  for (int i = 0; i < kFrames; ++i) {
    const uint32_t peer = 0xC6336401 + static_cast<uint32_t>(i % 5);  // 198.51.100.1 .. .5
    const uint16_t service = ports[static_cast<size_t>(i) % ports.size()];
    const bool outbound = i % 2 == 0;
    const size_t payload = static_cast<size_t>((i * 37) % 1400);
    CapturedFrame frame;
    frame.seconds = 1700000000 + static_cast<uint32_t>(i / 100);
    frame.fraction = static_cast<uint32_t>(i % 100) * 1000;
    frame.bytes =
        outbound
            ? ndis::testing::UdpFrame(peer_mac, host_mac, kHost, peer, 40000, service, payload)
            : ndis::testing::UdpFrame(host_mac, peer_mac, peer, kHost, service, 40000, payload);
    const size_t length = frame.bytes.size();
    traffic.frames.push_back(std::move(frame));
    credit("all", length);
    if (outbound) credit("from host", length);
    if (outbound && service == 53) credit("dns queries", length);
    if (!outbound && service == 443 && (peer & 0xFF) <= 2) credit("tls from peers 1-2", length);
  }
  return traffic;
}

class PipelineTest : public CountersDbTest {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    host::Settings& settings = host::MutableSettings();
    settings.DIRPACKETS = kPackets;
    settings.DESTPACKETS = 1;
    settings.OPTIONS = 255;
    settings.INTERVALCREATEFILE = 1000000;
    std::filesystem::create_directories(root_->Host(kPackets));
    InitializeServiceLock();
    ASSERT_TRUE(CreateSyncEvent());
    context_ = std::make_unique<ServiceContext>(accounting_);
  }
  void TearDown() override {
    for (platform::Thread& thread : threads_) thread.Terminate(0);
    threads_.clear();
    if (pactrak_ != nullptr) {
      pactrak_->Signal(SIGTERM);
      pactrak_->Wait();
    }
    context_.reset();
    CloseSyncEvent();
    DeleteServiceLock();
    ResetPacketTextForTesting();
    host::MutableSettings() = host::Settings{};
    CountersDbTest::TearDown();
  }

  int64_t Counted(const std::string& name) {
    const std::vector<std::string> rows =
        Rows("SELECT packets FROM counters WHERE countername = '" + name + "'");
    return rows.empty() ? -1 : std::stoll(rows.front());
  }

  std::unique_ptr<ChildProcess> pactrak_;
  std::array<uint16_t, kThreads> numbers_{};
  std::vector<platform::Thread> threads_;
  host::AccountingSettings accounting_;
  std::unique_ptr<ServiceContext> context_;
};

TEST_F(PipelineTest, EveryFrameOfAReplayIsCreditedAndLoggedOnce) {
  const Traffic traffic = MakeTraffic();
  AddCounter("all", 0, 0, 7, "Interface=0|");
  AddCounter("from host", 0, 0, 7, "Interface=0|,SourceIPoption=1,SourceIP=192.0.2.10|");
  AddCounter("dns queries", 0, 0, 7,
             "Interface=0|,SourceIPoption=1,SourceIP=192.0.2.10|,DestPortOption=1,DestPort=53|");
  AddCounter("tls from peers 1-2", 0, 0, 7,
             "Interface=0|,SourceIPoption=4,SourceIP=198.51.100.0|198.51.100.3|,"
             "SourcePortOption=1,SourcePort=443|");
  AddCounter("other adapter", 0, 0, 7, "Interface=3|");
  const std::string file = root_->Host("/replay.pcap");
  ASSERT_TRUE(ndis::testing::WriteWholeFile(
      file, ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet, traffic.frames)));

  pactrak_ = ChildProcess::Start({PACTRAK_PROGRAM, "--replay", file, "--lossless", "--file-time"});
  ASSERT_NE(pactrak_, nullptr);
  ASSERT_TRUE(pactrak_->WaitForOutput("pactrak: bound pcap0")) << pactrak_->Output();
  for (uint16_t i = 0; i < kThreads; ++i) {
    numbers_[i] = i;
    threads_.push_back(platform::Thread::Create(
        [this, n = &numbers_[i]] { return capturePackets(*context_, n); }));
  }
  ASSERT_TRUE(pactrak_->WaitForOutput("finished: " + std::to_string(kFrames) + " frames",
                                      std::chrono::minutes(5)))
      << pactrak_->Output();
  // The replay has handed over its last record; wait until it is credited to every counter it
  // matches (one after the other: "all" comes first).
  const auto row = [this](const std::string& name) {
    return Rows("SELECT packets, bytes FROM counters WHERE countername = '" + name + "'");
  };
  const auto credited = [&] {
    return std::all_of(traffic.expected.begin(), traffic.expected.end(), [&](const auto& e) {
      return row(e.first) == std::vector<std::string>{std::to_string(e.second.first) + ";" +
                                                      std::to_string(e.second.second)};
    });
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!credited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  for (const auto& [name, counts] : traffic.expected) {
    EXPECT_EQ(row(name), std::vector<std::string>{std::to_string(counts.first) + ";" +
                                                  std::to_string(counts.second)})
        << name;
  }
  EXPECT_EQ(Counted("other adapter"), 0);

  // Nothing comes any more: stop asks, nobody notices, and the threads are terminated.
  SyncEvent()->Set();
  for (platform::Thread& thread : threads_) EXPECT_TRUE(thread.Terminate(0));
  for (uint16_t i = 0; i < kThreads; ++i) {
    for (const std::string& line : LogLines()) {
      EXPECT_EQ(line.find(ThreadMessage(i, "End capturePackets")), std::string::npos);
    }
  }

  // One line per frame, each ending in its frame's length; no line half written.
  const std::string log = root_->ReadFile(std::string(kPackets) + "/out.log");
  std::map<int64_t, int> lengths;
  for (const CapturedFrame& frame : traffic.frames)
    ++lengths[static_cast<int64_t>(frame.bytes.size())];
  size_t start = 0;
  int lines = 0;
  while (start < log.size()) {
    const size_t end = log.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a line without its end";
    const std::string line = log.substr(start, end - start);
    ASSERT_EQ(line.rfind("\"0\" \"", 0), 0u) << line;
    const size_t quote = line.rfind('"', line.size() - 2);
    --lengths[std::stoll(line.substr(quote + 1))];
    ++lines;
    start = end + 2;
  }
  EXPECT_EQ(lines, kFrames);
  EXPECT_TRUE(
      std::all_of(lengths.begin(), lengths.end(), [](const auto& e) { return e.second == 0; }));

  const std::string info = root_->ReadFile(std::string(kPackets) + "/info.log");
  EXPECT_EQ(info.rfind("   Interface Number: 0\r\n", 0), 0u) << info;
  EXPECT_NE(info.find("      Medium: 802.3; Mac address = "), std::string::npos) << info;
}

}  // namespace
}  // namespace flowsentry::capture
