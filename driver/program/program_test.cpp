// The pactrak program run as a process under a temporary machine root: capture files replayed
// and read to the end through the control device, files it must refuse, its exit codes, and a
// live capture between two network namespaces.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/device.h"
#include "platform/testing/child_process.h"
#include "platform/testing/network_namespaces.h"
#include "platform/testing/sanitizers.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {
namespace {

using ndis::testing::CapturedFrame;
using ndis::testing::CaptureFile;
using ndis::testing::UdpFrame;
using ndis::testing::WriteWholeFile;
using platform::testing::ChildProcess;
using platform::testing::UdpSink;
using platform::testing::VethNamespaces;

const std::vector<uint8_t> kHostMac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
const std::vector<uint8_t> kPeerMac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x02};
constexpr uint32_t kHostIp = 0xC0000201;  // 192.0.2.1
constexpr uint32_t kPeerIp = 0xC0000202;  // 192.0.2.2
constexpr auto kReadLimit = std::chrono::seconds(30);

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }
uint16_t Port(const uint8_t (&b)[2]) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }
uint32_t Ip(const uint8_t (&b)[4]) {
  return static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
}

class ProgramTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return root_.path() + "/" + name; }

  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {PACTRAK_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess::Start(argv);
  }

  // Opens the control device and switches capture on.
  platform::DeviceHandle OpenCapture() {
    platform::DeviceHandle handle = platform::DeviceHandle::Open(kDeviceName);
    EXPECT_TRUE(handle.IsOpen());
    SetCapture(handle, CAPTURE_ENABLED);
    return handle;
  }

  // IOCTL_SET_CAPTURE; returns the records dropped since the previous one.
  static uint32_t SetCapture(const platform::DeviceHandle& handle, uint8_t flags) {
    std::array<uint8_t, 4> dropped{};
    uint32_t returned = 0;
    EXPECT_TRUE(handle.DeviceIoControl(IOCTL_SET_CAPTURE, std::span<const uint8_t>(&flags, 1),
                                       dropped, &returned));
    EXPECT_EQ(returned, 4u);
    return dropped[0] | dropped[1] << 8 | dropped[2] << 16 |
           static_cast<uint32_t>(dropped[3]) << 24;
  }

  // Reads records of 50-byte reads until `enough` says so. A watchdog closes the handle when
  // the records do not come, so that a lost record fails the test instead of hanging it.
  static std::vector<PacketRecord> ReadUntil(
      platform::DeviceHandle& handle,
      const std::function<bool(const std::vector<PacketRecord>&)>& enough) {
    std::mutex mu;
    std::condition_variable done_changed;
    bool done = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mu);
      if (!done_changed.wait_for(lock, kReadLimit, [&] { return done; })) handle.Close();
    });
    std::vector<PacketRecord> records;
    while (!enough(records)) {
      std::array<uint8_t, kReadSize> buffer;
      buffer.fill(0xEE);
      uint32_t read = 0;
      if (!handle.ReadFile(buffer, &read)) {
        ADD_FAILURE() << "read failed after " << records.size() << " records";
        break;
      }
      EXPECT_EQ(read, kReadSize);
      EXPECT_EQ(buffer[41], 0xEE) << "bytes behind the record must stay as they were";
      records.push_back(*DecodePacketRecord(buffer));
    }
    {
      std::lock_guard lock(mu);
      done = true;
    }
    done_changed.notify_all();
    watchdog.join();
    return records;
  }

  static std::vector<PacketRecord> ReadCount(platform::DeviceHandle& handle, size_t count) {
    return ReadUntil(handle, [count](const auto& records) { return records.size() >= count; });
  }

  // Ends the program as a user would and checks that it went cleanly.
  void Terminate(ChildProcess& child) {
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(), 0) << child.Output();
    EXPECT_FALSE(root_.Exists("/run/flowsentry/devices/pactrak"))
        << "the control device must go away";
  }

  platform::testing::TempRoot root_;
};

// A file of `count` UDP frames, even ones sent by the host, odd ones received from the peer;
// the frame's index is its source port and its time stamp (1000 + i seconds, i microseconds).
std::vector<CapturedFrame> AlternatingFrames(int count) {
  std::vector<CapturedFrame> frames;
  for (int i = 0; i < count; ++i) {
    const bool sent = i % 2 == 0;
    CapturedFrame frame;
    frame.seconds = 1000 + i;
    frame.fraction = i;
    frame.bytes =
        UdpFrame(sent ? kPeerMac : kHostMac, sent ? kHostMac : kPeerMac, sent ? kHostIp : kPeerIp,
                 sent ? kPeerIp : kHostIp, static_cast<uint16_t>(i), 53, 10 + i % 7);
    frames.push_back(std::move(frame));
  }
  return frames;
}

TEST_F(ProgramTest, LosslessReplayDeliversEveryRecordWithTheFilesTimes) {
  constexpr int kFrames = 240;  // several times the driver's queue
  std::vector<CapturedFrame> frames = AlternatingFrames(kFrames);
  // The last frame was cut by the capture: 40 bytes kept of 900.
  frames.back().bytes.resize(40);
  frames.back().length = 900;
  ASSERT_TRUE(
      WriteWholeFile(Path("a.pcap"), CaptureFile(ndis::testing::kLinkTypeEthernet, frames)));

  auto child = Start({"--replay", Path("a.pcap"), "--lossless", "--file-time"});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("pactrak: bound pcap0")) << child->Output();
  platform::DeviceHandle handle = OpenCapture();
  std::vector<PacketRecord> records = ReadCount(handle, kFrames);
  ASSERT_EQ(records.size(), static_cast<size_t>(kFrames));
  EXPECT_TRUE(child->WaitForOutput("finished: " + std::to_string(kFrames) + " frames"))
      << child->Output();
  EXPECT_EQ(SetCapture(handle, 0), 0u) << "no record may be dropped";

  std::map<int, PacketRecord> by_index;
  for (const PacketRecord& r : records) by_index[Port(r.SourcePort)] = r;
  ASSERT_EQ(by_index.size(), static_cast<size_t>(kFrames)) << "every frame exactly once";
  for (const auto& [i, r] : by_index) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const bool sent = i % 2 == 0;
    EXPECT_EQ(uint32_t{r.TimeSeconds}, 1000u + i);
    EXPECT_EQ(uint32_t{r.TimeMicroseconds}, static_cast<uint32_t>(i));
    EXPECT_EQ(uint16_t{r.Interface}, 0);
    EXPECT_EQ(Bytes(r.SourceMac, 6), sent ? kHostMac : kPeerMac);
    EXPECT_EQ(Bytes(r.DestMac, 6), sent ? kPeerMac : kHostMac);
    EXPECT_EQ(Bytes(r.EtherType, 2), (std::vector<uint8_t>{0x08, 0x00}));
    EXPECT_EQ(r.Protocol, 17);
    EXPECT_EQ(Ip(r.SourceIP), sent ? kHostIp : kPeerIp);
    EXPECT_EQ(Port(r.DestPort), 53);
    if (i == kFrames - 1) {
      EXPECT_EQ(uint32_t{r.PacketLength}, 900u) << "a cut frame keeps its length on the wire";
    } else {
      EXPECT_EQ(uint32_t{r.PacketLength}, 42u + 10 + i % 7);
    }
  }
  Terminate(*child);
  EXPECT_NE(child->Output().find("pactrak: unbound pcap0"), std::string::npos);
}

TEST_F(ProgramTest, LoopedReplaysOfTwoFilesKeepTheirAdaptersApart) {
  // Two files at once, each replayed twice; the second file's host is given by --mac, which
  // turns its first frame (sent by the peer) into a received one.
  std::vector<CapturedFrame> first = AlternatingFrames(30);
  std::vector<CapturedFrame> second = AlternatingFrames(31);
  std::reverse(second.begin(), second.end());  // starts with a frame of the host
  for (auto& f : second) f.seconds += 5000;
  ASSERT_TRUE(WriteWholeFile(Path("one.pcap"), CaptureFile(1, first)));
  ASSERT_TRUE(WriteWholeFile(Path("two.pcap"), CaptureFile(1, second, /*nanoseconds=*/true)));

  auto child = Start({"--replay", Path("one.pcap"), Path("two.pcap"), "--loop", "2", "--lossless",
                      "--file-time", "--mac", "02:00:5e:00:53:01"});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("pactrak: bound pcap1")) << child->Output();
  platform::DeviceHandle handle = OpenCapture();
  std::vector<PacketRecord> records = ReadCount(handle, 2 * (30 + 31));
  EXPECT_TRUE(child->WaitForOutput("one.pcap finished: 60 frames in 2 passes"));
  EXPECT_TRUE(child->WaitForOutput("two.pcap finished: 62 frames in 2 passes"));
  EXPECT_EQ(SetCapture(handle, 0), 0u);

  std::map<std::pair<bool, int>, int> seen;  // (second file, index) -> records
  for (const PacketRecord& r : records) {
    const bool from_second = r.TimeSeconds >= 6000;
    const int i = Port(r.SourcePort);
    ++seen[{from_second, i}];
    // Nanosecond stamps are cut to microseconds: the fraction i was i nanoseconds.
    EXPECT_EQ(uint32_t{r.TimeMicroseconds}, from_second ? 0u : static_cast<uint32_t>(i));
    EXPECT_EQ(Bytes(r.SourceMac, 6), i % 2 == 0 ? kHostMac : kPeerMac);
  }
  EXPECT_EQ(seen.size(), 61u);
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 2) << key.first << "/" << key.second;
  Terminate(*child);
}

TEST_F(ProgramTest, RefusesFilesItCannotReplay) {
  ASSERT_TRUE(WriteWholeFile(Path("raw.pcap"),
                             CaptureFile(ndis::testing::kLinkTypeRaw, AlternatingFrames(2))));
  ASSERT_TRUE(WriteWholeFile(Path("junk.pcap"), "this is no capture file at all"));
  ASSERT_TRUE(WriteWholeFile(Path("good.pcap"), CaptureFile(1, AlternatingFrames(2))));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--replay", Path("raw.pcap")},
       "pactrak: capture file " + Path("raw.pcap") + " has link type RAW"},
      {{"--replay", Path("junk.pcap")}, "pactrak: cannot read capture file " + Path("junk.pcap")},
      {{"--replay", Path("missing.pcap")},
       "pactrak: cannot read capture file " + Path("missing.pcap")},
      // One bad file refuses the whole replay, before any adapter is bound.
      {{"--replay", Path("good.pcap"), Path("missing.pcap")},
       "cannot read capture file " + Path("missing.pcap")},
      {{"--live", "fsnosuch0"}, "pactrak: no network interface named fsnosuch0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    auto child = Start(c.args);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->Wait(), 1);
    EXPECT_NE(child->Output().find(c.message), std::string::npos) << child->Output();
    EXPECT_EQ(child->Output().find("pactrak: bound"), std::string::npos) << child->Output();
    EXPECT_FALSE(root_.Exists("/run/flowsentry/devices/pactrak"));
  }
}

TEST_F(ProgramTest, ExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  } cases[] = {
      {{}, 2, "pactrak: give --live or --replay"},
      {{"--replay"}, 2, "--replay needs at least one capture file"},
      {{"--live", "--loop", "3"}, 2, "go with --replay only"},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--live", "--pcap-buffer", "1025"}, 2, "MiB from 1 to 1024, not \"1025\""},
      {{"--help"}, 0, ""},
  };
  for (const Case& c : cases) {
    auto child = Start(c.args);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->Wait(), c.exit_code);
    EXPECT_NE(child->Output().find(c.message), std::string::npos) << child->Output();
  }
}

TEST_F(ProgramTest, LiveCaptureBetweenTwoNamespacesSeesBothDirections) {
  std::string reason;
  std::unique_ptr<VethNamespaces> net = VethNamespaces::Create(&reason);
  if (net == nullptr) GTEST_SKIP() << "no network namespaces: " << reason;

  auto child = ChildProcess::Start(net->InNamespaceA({PACTRAK_PROGRAM, "--live", net->veth_a()}));
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("pactrak: bound " + net->veth_a() + " (802.3, "))
      << child->Output();
  platform::DeviceHandle handle = OpenCapture();

  constexpr int kEach = 5;
  constexpr size_t kPayload = 100;
  ASSERT_TRUE(VethNamespaces::SendUdp(net->namespace_a(), kPeerIp, 40001, 40002, kPayload, kEach));
  ASSERT_TRUE(VethNamespaces::SendUdp(net->namespace_b(), kHostIp, 40003, 40004, kPayload, kEach));

  auto count = [](const std::vector<PacketRecord>& records, uint16_t source_port) {
    return std::count_if(records.begin(), records.end(), [&](const PacketRecord& r) {
      return r.Protocol == 17 && Port(r.SourcePort) == source_port;
    });
  };
  std::vector<PacketRecord> records = ReadUntil(handle, [&](const auto& records) {
    return count(records, 40001) >= kEach && count(records, 40003) >= kEach;
  });
  EXPECT_EQ(count(records, 40001), kEach);
  EXPECT_EQ(count(records, 40003), kEach);
  for (const PacketRecord& r : records) {
    if (r.Protocol != 17 || Bytes(r.EtherType, 2) != std::vector<uint8_t>{0x08, 0x00}) continue;
    const bool sent = Port(r.SourcePort) == 40001;  // else received
    if (!sent && Port(r.SourcePort) != 40003) continue;
    EXPECT_EQ(Bytes(r.SourceMac, 6), sent ? net->mac_a() : net->mac_b());
    EXPECT_EQ(Bytes(r.DestMac, 6), sent ? net->mac_b() : net->mac_a());
    EXPECT_EQ(Ip(r.SourceIP), sent ? kHostIp : kPeerIp);
    EXPECT_EQ(Ip(r.DestIP), sent ? kPeerIp : kHostIp);
    EXPECT_EQ(Port(r.DestPort), sent ? 40002 : 40004);
    EXPECT_EQ(uint32_t{r.PacketLength}, 14u + 20 + 8 + kPayload);
  }
  handle.Close();
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(), 0) << child->Output();
  EXPECT_NE(child->Output().find("pactrak: unbound " + net->veth_a()), std::string::npos);
}

// Rounds of datagrams sent back to back, first out of the host and at once into it, as many as
// the capture buffers used to overflow on while the record queue still holds them all: every
// datagram becomes exactly one record, and no frame is reported lost.
TEST_F(ProgramTest, LiveBurstsBothWaysAreCountedExactly) {
  std::string reason;
  std::unique_ptr<VethNamespaces> net = VethNamespaces::Create(&reason);
  if (net == nullptr) GTEST_SKIP() << "no network namespaces: " << reason;
  // Listeners on both ends, so that no "port unreachable" adds records of its own.
  constexpr uint16_t kToPeer = 42000, kToHost = 42001;
  auto peer_sink = UdpSink::Open(net->namespace_b(), kToPeer);
  auto host_sink = UdpSink::Open(net->namespace_a(), kToHost);
  ASSERT_NE(peer_sink, nullptr);
  ASSERT_NE(host_sink, nullptr);

  // Each round's records wait in the queue until both bursts are sent: room for them and for
  // whatever the link itself carries meanwhile (neighbour discovery, router solicitations).
  auto child = ChildProcess::Start(
      net->InNamespaceA({PACTRAK_PROGRAM, "--live", net->veth_a(), "--queue-limit", "400"}));
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("pactrak: bound " + net->veth_a() + " (802.3, "))
      << child->Output();
  platform::DeviceHandle handle = OpenCapture();

  constexpr int kRounds = 25;
  constexpr int kEach = 20;  // each way
  // Round r goes out of the host from port 41000 + 2r, and into it from port 41001 + 2r.
  std::map<uint16_t, int> counts;  // source port -> records
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto out_port = static_cast<uint16_t>(41000 + 2 * round);
    const auto in_port = static_cast<uint16_t>(out_port + 1);
    ASSERT_TRUE(VethNamespaces::SendUdp(net->namespace_a(), kPeerIp, out_port, kToPeer, 60, kEach));
    ASSERT_TRUE(VethNamespaces::SendUdp(net->namespace_b(), kHostIp, in_port, kToHost, 60, kEach));
    ReadUntil(handle, [&](const std::vector<PacketRecord>& records) {
      if (!records.empty()) {
        const PacketRecord& r = records.back();
        const uint16_t to = Port(r.DestPort);
        if (r.Protocol == 17 && (to == kToPeer || to == kToHost)) ++counts[Port(r.SourcePort)];
      }
      return counts[out_port] >= kEach && counts[in_port] >= kEach;
    });
    ASSERT_EQ(counts[out_port], kEach) << "sent";
    ASSERT_EQ(counts[in_port], kEach) << "received";
  }
  EXPECT_EQ(counts.size(), static_cast<size_t>(2 * kRounds)) << "records of no datagram sent";
  EXPECT_EQ(SetCapture(handle, 0), 0u) << "no record may be dropped";
  handle.Close();
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(), 0) << child->Output();
  EXPECT_NE(child->Output().find("pactrak: " + net->veth_a() +
                                 ": 0 received and 0 sent frames dropped by the kernel, 0 "
                                 "received frames by the interface"),
            std::string::npos)
      << child->Output();
}

// The program under limits that let it make only so many threads: every thread's stack is as
// large as the stack limit, and the address space holds `threads` of them and the program.
std::vector<std::string> WithThreadsFor(int threads, const std::vector<std::string>& argv) {
  constexpr uint64_t kStackKiB = uint64_t{4} << 20;                      // 4 GiB
  const uint64_t space_kib = threads * kStackKiB + (uint64_t{3} << 19);  // and 1.5 GiB
  std::vector<std::string> command = {"/bin/sh", "-c",
                                      "ulimit -s " + std::to_string(kStackKiB) + " && ulimit -v " +
                                          std::to_string(space_kib) + " && exec \"$@\"",
                                      "sh"};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

// A thread that cannot be made refuses its file or interface instead of ending the process: a
// replay fails as for a file that cannot be read (the replay already running is ended first);
// an interface that appears later is said and left unbound while the others are served on.
TEST_F(ProgramTest, AThreadThatCannotBeMadeRefusesItsFileOrInterface) {
  if (flowsentry::testing::kSanitized) {
    GTEST_SKIP() << "the sanitizers' thread creation does not fail quietly for want of memory";
  }
  ASSERT_TRUE(WriteWholeFile(Path("a.pcap"), CaptureFile(1, AlternatingFrames(2))));
  ASSERT_TRUE(WriteWholeFile(Path("b.pcap"), CaptureFile(1, AlternatingFrames(2))));
  // The control device's thread and the first replay's.
  auto replay = ChildProcess::Start(WithThreadsFor(
      2, {PACTRAK_PROGRAM, "--replay", Path("a.pcap"), Path("b.pcap"), "--loop", "1000000000"}));
  ASSERT_NE(replay, nullptr);
  EXPECT_EQ(replay->Wait(), 1) << replay->Output();
  EXPECT_NE(replay->Output().find("pactrak: cannot start the replay of " + Path("b.pcap") + ": "),
            std::string::npos)
      << replay->Output();
  EXPECT_FALSE(root_.Exists("/run/flowsentry/devices/pactrak"));

  std::string reason;
  std::unique_ptr<VethNamespaces> net = VethNamespaces::Create(&reason);
  if (net == nullptr) GTEST_SKIP() << "no network namespaces: " << reason;
  // The control device's thread, the capture of the veth end, and the watch of the links.
  auto live = ChildProcess::Start(
      WithThreadsFor(3, net->InNamespaceA({PACTRAK_PROGRAM, "--live", "--pcap-buffer", "1"})));
  ASSERT_NE(live, nullptr);
  ASSERT_TRUE(live->WaitForOutput("pactrak: bound " + net->veth_a() + " (802.3, "))
      << live->Output();
  const std::string later = "fsx" + net->veth_a().substr(4);
  ASSERT_EQ(platform::testing::RunQuietly({net->ip(), "-n", net->namespace_a(), "link", "add",
                                           later, "up", "type", "veth", "peer", "name",
                                           "fsy" + net->veth_a().substr(4)}),
            0);
  EXPECT_TRUE(live->WaitForOutput("pactrak: cannot start a capture thread for " + later + ": "))
      << live->Output();
  platform::DeviceHandle handle = OpenCapture();  // still served
  handle.Close();
  live->Signal(SIGTERM);
  EXPECT_EQ(live->Wait(), 0) << live->Output();
  EXPECT_EQ(live->Output().find("pactrak: bound " + later), std::string::npos) << live->Output();
  EXPECT_NE(live->Output().find("pactrak: unbound " + net->veth_a()), std::string::npos);
}

}  // namespace
}  // namespace flowsentry::pactrak
