// Capture files replayed through the driver inside one process, several at once, with readers
// on the control device: the lossless pacing shares the driver's queue between the replays
// without a loss, and each frame takes the path its source address calls for.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_device.h"
#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/capture_file/capture_file_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/device.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {
namespace {

using ndis::testing::CapturedFrame;

const std::vector<uint8_t> kHost = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
const std::vector<uint8_t> kPeer = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x02};

// Frames of file `file`: sent ones (from kHost) where `sent(i)` says so; the source port
// carries the index, the destination port the file.
std::vector<CapturedFrame> Frames(int file, int count, bool (*sent)(int)) {
  std::vector<CapturedFrame> frames;
  for (int i = 0; i < count; ++i) {
    const bool s = sent(i);
    CapturedFrame frame;
    frame.seconds = 100 * file + 1;
    frame.bytes =
        ndis::testing::UdpFrame(s ? kPeer : kHost, s ? kHost : kPeer, 0xC0000201, 0xC0000202,
                                static_cast<uint16_t>(i), static_cast<uint16_t>(file), 18);
    frames.push_back(std::move(frame));
  }
  return frames;
}

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_.SetDeviceHost(&device_host_);
    runtime_.AttachUpperProtocol(&host_stack_);
    ASSERT_EQ(runtime_.LoadDriver(kProtocolName, &DriverEntry), ddk::STATUS_SUCCESS);
  }
  void TearDown() override {
    if (source_ != nullptr) source_->Stop();
    runtime_.UnloadDriver();
    runtime_.DetachUpperProtocol(&host_stack_);
  }

  bool StartReplay(std::vector<std::string> files, ndis::ReplayOptions options,
                   std::string* error) {
    options.files = std::move(files);
    source_ = std::make_unique<ndis::CaptureFileSource>(
        runtime_, host_stack_,
        [this](const std::string& line) {
          std::lock_guard lock(log_mu_);
          log_.push_back(line);
        },
        std::move(options));
    return source_->Start(error);
  }

  std::string Write(const std::string& name, const std::vector<CapturedFrame>& frames) {
    const std::string path = root_.path() + "/" + name;
    EXPECT_TRUE(ndis::testing::WriteWholeFile(path, ndis::testing::CaptureFile(1, frames)));
    return path;
  }

  platform::testing::TempRoot root_;
  ddk::SocketDeviceHost device_host_;
  ndis::HostStack host_stack_{kProtocolName};
  ndis::Runtime runtime_;
  std::mutex log_mu_;
  std::vector<std::string> log_;
  std::unique_ptr<ndis::CaptureFileSource> source_;
};

TEST_F(ReplayTest, LosslessReplaysShareTheQueueWithoutALossAndPickTheirPaths) {
  constexpr int kFrames = 150;
  // File 1's host sends every third frame. File 2's first frame is the only one from its
  // sender, and the first frame names the host: one frame goes down, the others come up.
  const std::string one = Write("one.pcap", Frames(1, kFrames, [](int i) { return i % 3 == 0; }));
  const std::string two = Write("two.pcap", Frames(2, kFrames, [](int i) { return i == 0; }));

  ndis::ReplayOptions options;
  options.wait_for_room = [](const std::atomic<bool>& stop) { return WaitForRecordRoom(stop); };
  options.file_time = true;
  std::string error;
  ASSERT_TRUE(StartReplay({one, two}, options, &error)) << error;

  // Three readers on two handles, all competing for the records.
  platform::DeviceHandle first = platform::DeviceHandle::Open(kDeviceName);
  platform::DeviceHandle second = platform::DeviceHandle::Open(kDeviceGlobalName);
  ASSERT_TRUE(first.IsOpen() && second.IsOpen());
  const uint8_t on = CAPTURE_ENABLED;
  std::array<uint8_t, 4> dropped{};
  ASSERT_TRUE(first.DeviceIoControl(IOCTL_SET_CAPTURE, {&on, 1}, dropped, nullptr));

  std::mutex mu;
  std::map<std::pair<int, int>, PacketRecord> records;  // (file, index)
  std::atomic<int> remaining{2 * kFrames};
  std::vector<std::thread> readers;
  for (platform::DeviceHandle* handle : {&first, &second, &second}) {
    readers.emplace_back([&, handle] {
      while (remaining.fetch_sub(1) > 0) {
        std::array<uint8_t, kReadSize> buffer{};
        if (!handle->ReadFile(buffer, nullptr)) return;
        PacketRecord r = *DecodePacketRecord(buffer);
        const int file = r.DestPort[0] << 8 | r.DestPort[1];
        const int index = r.SourcePort[0] << 8 | r.SourcePort[1];
        std::lock_guard lock(mu);
        EXPECT_TRUE(records.emplace(std::make_pair(file, index), r).second);
      }
    });
  }
  source_->WaitUntilFinished();
  for (auto& reader : readers) reader.join();
  ASSERT_TRUE(first.DeviceIoControl(IOCTL_SET_CAPTURE, {&on, 1}, dropped, nullptr));
  EXPECT_EQ(dropped, (std::array<uint8_t, 4>{})) << "a lossless replay drops nothing";
  ASSERT_EQ(records.size(), 2u * kFrames);
  for (const auto& [key, r] : records) {
    EXPECT_EQ(uint32_t{r.TimeSeconds}, 100u * key.first + 1);
    EXPECT_EQ(uint32_t{r.PacketLength}, 14u + 28 + 18);
  }

  // Every frame from the file's host went down the send path, the rest came up.
  EXPECT_EQ(source_->FramesReplayed(), 2u * kFrames);
  EXPECT_EQ(source_->Counters(0).sent, 50u);
  EXPECT_EQ(source_->Counters(0).received, 100u);
  EXPECT_EQ(source_->Counters(1).sent, 1u);
  EXPECT_EQ(source_->Counters(1).received, 149u);
  EXPECT_EQ(host_stack_.SendsOutstanding(), 0u);
  EXPECT_EQ(host_stack_.SendsFailed(), 0u);
}

TEST_F(ReplayTest, StopEndsAReplayWaitingForRoom) {
  // Capture stays off, so the paced replay waits before its first frame until it is stopped.
  const std::string path = Write("a.pcap", Frames(1, 10, [](int) { return true; }));
  ndis::ReplayOptions options;
  options.wait_for_room = [](const std::atomic<bool>& stop) { return WaitForRecordRoom(stop); };
  options.loops = 3;
  std::string error;
  ASSERT_TRUE(StartReplay({path}, options, &error)) << error;
  EXPECT_EQ(runtime_.VirtualAdapters().size(), 1u);
  source_->Stop();
  EXPECT_EQ(source_->FramesReplayed(), 0u);
  EXPECT_TRUE(runtime_.VirtualAdapters().empty());
  std::lock_guard lock(log_mu_);
  EXPECT_EQ(log_.back(), "pactrak: unbound pcap0");
  EXPECT_NE(
      std::find(log_.begin(), log_.end(), "pactrak: replay of " + path + " stopped after 0 frames"),
      log_.end());
}

// The records the driver should make of the frames of a classic little-endian capture file with
// microsecond times, read here byte by byte rather than through libpcap. Empty when the file
// cannot be read or has another form.
std::vector<std::array<uint8_t, kPacketRecordSize>> ExpectedRecords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
           static_cast<uint32_t>(file[at + 2]) << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
  };
  std::vector<std::array<uint8_t, kPacketRecordSize>> records;
  if (file.size() < 24 || le32(0) != 0xA1B2C3D4 || le32(20) != 1) return records;
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t captured = le32(at + 8);
    const uint32_t length = le32(at + 12);
    if (at + 16 + captured > file.size()) break;
    std::array<uint8_t, 78> head{};  // bytes past the captured ones read as 0
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(at + 16), std::min<size_t>(captured, 78),
                head.begin());
    PacketRecord r;
    r.TimeSeconds = le32(at);
    r.TimeMicroseconds = le32(at + 4);
    r.PacketLength = length;
    std::copy_n(head.begin(), 6, r.DestMac);
    std::copy_n(head.begin() + 6, 6, r.SourceMac);
    std::copy_n(head.begin() + 12, 2, r.EtherType);
    r.Protocol = head[23];
    std::copy_n(head.begin() + 26, 4, r.SourceIP);
    std::copy_n(head.begin() + 30, 4, r.DestIP);
    const size_t ihl = head[14] & 0x0F;
    std::copy_n(head.begin() + 14 + 4 * ihl, 2, r.SourcePort);
    std::copy_n(head.begin() + 16 + 4 * ihl, 2, r.DestPort);
    std::array<uint8_t, kPacketRecordSize> bytes{};
    EncodePacketRecord(r, bytes);
    records.push_back(bytes);
    at += 16 + captured;
  }
  return records;
}

TEST_F(ReplayTest, RealCaptureReplaysLosslesslyIntoARecordPerFrame) {
  // Kernel traffic from a veth pair: ARP, IPv6, ICMP with a 60-byte IP header, and TCP
  // segmentation aggregates far above the MTU.
  const std::string path = FLOWSENTRY_SAMPLE_CAPTURE;
  std::vector<std::array<uint8_t, kPacketRecordSize>> expected = ExpectedRecords(path);
  if (expected.empty()) GTEST_SKIP() << "no sample capture at " << path;

  ndis::ReplayOptions options;
  options.wait_for_room = [](const std::atomic<bool>& stop) { return WaitForRecordRoom(stop); };
  options.file_time = true;
  std::string error;
  ASSERT_TRUE(StartReplay({path}, options, &error)) << error;
  platform::DeviceHandle handle = platform::DeviceHandle::Open(kDeviceName);
  ASSERT_TRUE(handle.IsOpen());
  const uint8_t on = CAPTURE_ENABLED;
  std::array<uint8_t, 4> dropped{};
  ASSERT_TRUE(handle.DeviceIoControl(IOCTL_SET_CAPTURE, {&on, 1}, dropped, nullptr));

  std::vector<std::array<uint8_t, kPacketRecordSize>> got;
  for (size_t i = 0; i < expected.size(); ++i) {
    std::array<uint8_t, kReadSize> buffer{};
    ASSERT_TRUE(handle.ReadFile(buffer, nullptr));
    std::array<uint8_t, kPacketRecordSize> record{};
    std::copy_n(buffer.begin(), kPacketRecordSize, record.begin());
    got.push_back(record);
  }
  source_->WaitUntilFinished();
  ASSERT_TRUE(handle.DeviceIoControl(IOCTL_SET_CAPTURE, {&on, 1}, dropped, nullptr));
  EXPECT_EQ(dropped, (std::array<uint8_t, 4>{}));

  // Records leave the queue newest first when they pile up, so compare them as sets.
  std::sort(expected.begin(), expected.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(source_->Counters(0).sent + source_->Counters(0).received, expected.size());
  EXPECT_GT(source_->Counters(0).sent, 0u);
  EXPECT_GT(source_->Counters(0).received, 0u);
}

TEST_F(ReplayTest, TheHostStackFollowsAnAdapterThatGoesAndComesBack) {
  // The host stack keeps the binding above an adapter between sends: it must go with the
  // adapter and come back with it.
  ndis::AdapterProfile profile;
  profile.medium = ndis::NdisMedium802_3;
  const std::vector<CapturedFrame> frames = Frames(3, 1, [](int) { return false; });
  const ndis::SourceFrame frame{frames[0].bytes, static_cast<uint32_t>(frames[0].bytes.size())};
  for (int round = 0; round < 2; ++round) {
    auto adapter = std::make_shared<ndis::SourceAdapter>("pcap7", profile);
    ASSERT_TRUE(runtime_.AddAdapter(adapter));
    EXPECT_TRUE(host_stack_.Send("pcap7", frame));
    EXPECT_TRUE(host_stack_.Send("pcap7", frame));
    EXPECT_EQ(adapter->Counters().sent, 2u);
    ASSERT_TRUE(runtime_.RemoveAdapter("pcap7"));
    EXPECT_FALSE(host_stack_.IsBound("pcap7"));
    EXPECT_FALSE(host_stack_.Send("pcap7", frame));
  }
  EXPECT_EQ(host_stack_.SendsOutstanding(), 0u);
  EXPECT_EQ(host_stack_.SendsFailed(), 0u);
}

}  // namespace
}  // namespace flowsentry::pactrak
