// The records pactrak builds from frames on each of its three capture points, read back through
// the control device's socket.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/testing/control_device_fixture.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;
using ndis::SimulatedProtocol;

// 2024-05-17 12:34:56.789012 UTC and 3 more 100-ns units, as the kernel counts time.
constexpr int64_t kUnixSeconds = 1715949296;
constexpr int64_t kSystemTime =
    (kUnixSeconds + static_cast<int64_t>(kSecondsFrom1601To1970)) * 10'000'000 + 7'890'123;

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string text;
  char part[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(part, sizeof part, "%02x", bytes[i]);
    text += part;
  }
  return text;
}

// A record as one line, so that a mismatch shows every field at once.
std::string Describe(const PacketRecord& r) {
  return "if=" + std::to_string(r.Interface) + " time=" + std::to_string(r.TimeSeconds) + "." +
         std::to_string(r.TimeMicroseconds) + " length=" + std::to_string(r.PacketLength) +
         " dst=" + Hex(r.DestMac, 6) + " src=" + Hex(r.SourceMac, 6) +
         " type=" + Hex(r.EtherType, 2) + " proto=" + Hex(&r.Protocol, 1) +
         " sip=" + Hex(r.SourceIP, 4) + " dip=" + Hex(r.DestIP, 4) +
         " sport=" + Hex(r.SourcePort, 2) + " dport=" + Hex(r.DestPort, 2);
}

// What a record of these frame bytes holds: the frame read as Ethernet and IPv4, bytes beyond
// what the driver could see taken as zero.
PacketRecord Expected(const std::vector<uint8_t>& visible, uint32_t packet_length,
                      uint16_t interface_number = 0) {
  std::array<uint8_t, 78> area{};
  std::copy_n(visible.begin(), std::min(visible.size(), area.size()), area.begin());
  PacketRecord r;
  r.Interface = interface_number;
  r.TimeSeconds = static_cast<uint32_t>(kUnixSeconds);
  r.TimeMicroseconds = 789012;
  r.PacketLength = packet_length;
  std::copy_n(&area[0], 6, r.DestMac);
  std::copy_n(&area[6], 6, r.SourceMac);
  std::copy_n(&area[12], 2, r.EtherType);
  r.Protocol = area[23];
  std::copy_n(&area[26], 4, r.SourceIP);
  std::copy_n(&area[30], 4, r.DestIP);
  const size_t ihl = area[14] & 0x0F;
  std::copy_n(&area[14 + 4 * ihl], 2, r.SourcePort);
  std::copy_n(&area[16 + 4 * ihl], 2, r.DestPort);
  return r;
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& frame, size_t count) {
  return std::vector<uint8_t>(frame.begin(), frame.begin() + std::min(count, frame.size()));
}

enum class Path { kSend, kPacket, kLookahead, kLookaheadWithPacket };

// One way for a frame to pass the driver: the capture point, how the packet's buffers are cut,
// and how much look-ahead the lower adapter offers.
struct Way {
  const char* name;
  Path path;
  std::vector<size_t> chunks;
  uint32_t lookahead_limit = UINT32_MAX;
};

const Way kEveryWay[] = {
    {"send, one buffer", Path::kSend, {}},
    {"send, empty and 1-byte buffers", Path::kSend, {0, 1, 0, 13, 1, 0, 0, 20, 1}},
    {"send, cut at the end of the work area", Path::kSend, {77, 0, 1}},
    {"send, 1-byte buffers", Path::kSend, std::vector<size_t>(90, 1)},
    {"receive packet, one buffer", Path::kPacket, {}},
    {"receive packet, empty and 1-byte buffers", Path::kPacket, {0, 0, 14, 1, 0, 5, 0}},
    {"receive packet, 1-byte buffers", Path::kPacket, std::vector<size_t>(90, 1)},
    {"receive look-ahead", Path::kLookahead, {}},
    {"receive look-ahead with its packet", Path::kLookaheadWithPacket, {3, 0, 40}},
};

class CaptureTest : public ControlDeviceTest {
 protected:
  void SetUp() override {
    ControlDeviceTest::SetUp();
    SetClock(kSystemTime);
    adapter_ = AddAdapter("sim0");
    reader_ = Connect();
    SetCapture(CAPTURE_ENABLED);
  }

  void TearDown() override {
    reader_.reset();
    ControlDeviceTest::TearDown();
  }

  // Passes `frame` through the driver on `way`, checks that it came out unchanged, and reads the
  // record it made.
  std::optional<PacketRecord> Capture(SimulatedAdapter& adapter, const Way& way,
                                      const std::vector<uint8_t>& frame) {
    if (way.path == Path::kSend) {
      SimulatedProtocol::SendOptions options;
      options.chunks = way.chunks;
      EXPECT_EQ(protocol_.SendAndWait(VirtualName(adapter.Name()), frame, options),
                ndis::NDIS_STATUS_SUCCESS);
      auto sent = adapter.SentFrames();
      EXPECT_TRUE(!sent.empty() && sent.back() == frame) << "the frame changed on its way down";
    } else {
      SimulatedAdapter::ReceiveOptions options;
      options.kind = way.path == Path::kPacket ? SimulatedAdapter::ReceiveKind::kPacket
                     : way.path == Path::kLookahead
                         ? SimulatedAdapter::ReceiveKind::kLookahead
                         : SimulatedAdapter::ReceiveKind::kLookaheadWithPacket;
      options.chunks = way.chunks;
      options.lookahead_limit = way.lookahead_limit;
      const size_t before = protocol_.ReceivedFrames().size();
      adapter.Receive(frame, options);
      EXPECT_TRUE(protocol_.WaitForReceived(before + 1));
      auto received = protocol_.ReceivedFrames();
      EXPECT_TRUE(received.size() > before && received.back().frame == frame)
          << "the frame changed on its way up";
    }
    return ReadRecord(*reader_, next_id_++);
  }

  void ExpectRecord(SimulatedAdapter& adapter, const Way& way, const std::vector<uint8_t>& frame,
                    const PacketRecord& expected) {
    SCOPED_TRACE(way.name);
    std::optional<PacketRecord> record = Capture(adapter, way, frame);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(Describe(*record), Describe(expected));
  }

  std::shared_ptr<SimulatedAdapter> adapter_;
  std::unique_ptr<RawClient> reader_;
  uint32_t next_id_ = 1;
};

TEST_F(CaptureTest, PortsFollowTheIpHeaderLengthOnEveryPath) {
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    uint8_t protocol;
    std::array<uint8_t, 2> source_port;
    std::array<uint8_t, 2> dest_port;
  };
  const Case cases[] = {
      {"IHL 5, TCP", Ipv4Frame(90, 5, 6, 0x1F90, 0xC350), 0x06, {0x1F, 0x90}, {0xC3, 0x50}},
      {"IHL 6, UDP", Ipv4Frame(90, 6, 17, 0x0035, 0xE001), 0x11, {0x00, 0x35}, {0xE0, 0x01}},
      // The last four bytes of the work area: frame offsets 74..77.
      {"IHL 15, exactly 78 bytes",
       Ipv4Frame(78, 15, 1, 0x0800, 0xABCD),
       0x01,
       {0x08, 0x00},
       {0xAB, 0xCD}},
      {"IHL 15, long frame",
       Ipv4Frame(300, 15, 47, 0x1234, 0x5678),
       0x2F,
       {0x12, 0x34},
       {0x56, 0x78}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The fields spelled out once, as the service will read them.
    std::optional<PacketRecord> record = Capture(*adapter_, kEveryWay[0], c.frame);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(uint32_t{record->PacketLength}, c.frame.size());
    EXPECT_EQ(Hex(record->DestMac, 6), "02005e0053aa");
    EXPECT_EQ(Hex(record->SourceMac, 6), "02005e0053bb");
    EXPECT_EQ(Net16(record->EtherType), 0x0800);
    EXPECT_EQ(record->Protocol, c.protocol);
    EXPECT_EQ(Net32(record->SourceIP), 0xC0000201u);  // 192.0.2.1
    EXPECT_EQ(Net32(record->DestIP), 0xC6336402u);    // 198.51.100.2
    EXPECT_EQ(Hex(record->SourcePort, 2), Hex(c.source_port.data(), 2));
    EXPECT_EQ(Hex(record->DestPort, 2), Hex(c.dest_port.data(), 2));
    // Every other way gives the same record.
    PacketRecord expected = *record;
    for (const Way& way : kEveryWay) ExpectRecord(*adapter_, way, c.frame, expected);
  }
}

TEST_F(CaptureTest, FieldsBeyondWhatTheDriverSeesReadZero) {
  const std::vector<uint8_t> ipv4 = Ipv4Frame(90, 5, 6);
  struct Case {
    const char* name;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> visible;
  };
  const Case cases[] = {
      {"10 bytes: part of the source address", Head(ipv4, 10), Head(ipv4, 10)},
      {"14 bytes: the MAC header alone", Head(ipv4, 14), Head(ipv4, 14)},
      {"30 bytes: the source address only", Head(ipv4, 30), Head(ipv4, 30)},
      {"36 bytes: one port", Head(ipv4, 36), Head(ipv4, 36)},
      {"IHL 15 cut at 76 bytes: half the ports", Ipv4Frame(76, 15, 6, 0x1111, 0x2222),
       Ipv4Frame(76, 15, 6, 0x1111, 0x2222)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PacketRecord expected = Expected(c.visible, static_cast<uint32_t>(c.frame.size()));
    for (const Way& way : kEveryWay) ExpectRecord(*adapter_, way, c.frame, expected);
  }

  // A short look-ahead: the fields behind it read zero, the length is still the whole frame's.
  for (uint32_t limit : {0u, 9u, 10u, 15u, 19u, 22u}) {
    SCOPED_TRACE(limit);
    const Way way{"short look-ahead", Path::kLookahead, {}, limit};
    ExpectRecord(*adapter_, way, ipv4, Expected(Head(ipv4, 14 + limit), ipv4.size()));
  }
}

TEST_F(CaptureTest, ArpFrameGetsARecordFromTheIpv4Offsets) {
  // Request: who has 192.0.2.9? Tell 192.0.2.1 (02:00:5e:00:53:bb).
  const std::vector<uint8_t> arp = {
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x5E, 0x00, 0x53, 0xBB,  // MACs
      0x08, 0x06,                                                              // ARP
      0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,                          // 14..21
      0x02, 0x00, 0x5E, 0x00, 0x53, 0xBB, 0xC0, 0x00, 0x02, 0x01,              // 22..31
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x02, 0x09,              // 32..41
  };
  for (const Way& way : kEveryWay) {
    SCOPED_TRACE(way.name);
    std::optional<PacketRecord> record = Capture(*adapter_, way, arp);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(uint32_t{record->PacketLength}, 42u);
    EXPECT_EQ(Hex(record->EtherType, 2), "0806");
    EXPECT_EQ(record->Protocol, 0x00);                // frame byte 23
    EXPECT_EQ(Hex(record->SourceIP, 4), "53bbc000");  // frame bytes 26..29
    EXPECT_EQ(Hex(record->DestIP, 4), "02010000");    // frame bytes 30..33
    // Byte 14 is 0x00, so IHL 0 puts the ports at 14 and 16.
    EXPECT_EQ(Hex(record->SourcePort, 2), "0001");
    EXPECT_EQ(Hex(record->DestPort, 2), "0800");
  }
}

TEST_F(CaptureTest, EveryMediumIsReadAsEthernet) {
  const std::vector<uint8_t> frame = Ipv4Frame(80, 5, 17, 0x0101, 0x0202);
  for (ndis::NDIS_MEDIUM medium :
       {ndis::NdisMedium802_5, ndis::NdisMediumFddi, ndis::NdisMediumWan}) {
    SCOPED_TRACE(medium);
    auto adapter = AddAdapter("m" + std::to_string(medium), medium);
    for (const Way& way : {kEveryWay[0], kEveryWay[4]}) {
      ExpectRecord(*adapter, way, frame, Expected(frame, frame.size()));
    }
  }
}

TEST_F(CaptureTest, TimeStampsComeFromTheSystemClock) {
  struct Case {
    int64_t system_time;
    uint32_t seconds;
    uint32_t microseconds;
  };
  constexpr int64_t kEpoch = static_cast<int64_t>(kSecondsFrom1601To1970) * 10'000'000;
  const Case cases[] = {
      {kEpoch + 1 * 10'000'000 + 20, 1, 2},  // 1970-01-01 00:00:01.000002
      {kEpoch + 59 * 10'000'000 + 9'999'999, 59, 999'999},
      {kEpoch + (int64_t{1} << 32) * 10'000'000 + 5 * 10'000'000, 5, 0},  // kept to 32 bits
      {kSystemTime, static_cast<uint32_t>(kUnixSeconds), 789'012},
  };
  const std::vector<uint8_t> frame = Ipv4Frame(60);
  for (const Case& c : cases) {
    SetClock(c.system_time);
    for (const Way& way : {kEveryWay[0], kEveryWay[4], kEveryWay[7]}) {
      SCOPED_TRACE(way.name);
      std::optional<PacketRecord> record = Capture(*adapter_, way, frame);
      ASSERT_TRUE(record.has_value());
      EXPECT_EQ(uint32_t{record->TimeSeconds}, c.seconds) << c.system_time;
      EXPECT_EQ(uint32_t{record->TimeMicroseconds}, c.microseconds) << c.system_time;
    }
  }
}

TEST_F(CaptureTest, InterfaceIsZeroUntilAQueryStoresANumberForThatAdapter) {
  auto other = AddAdapter("sim1");
  const std::vector<uint8_t> frame = Ipv4Frame(60);
  for (const Way& way : kEveryWay) ExpectRecord(*adapter_, way, frame, Expected(frame, 60, 0));

  platform::DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  adapter_->SetOidAnswer(OID_GEN_MEDIA_IN_USE, Le32(0));
  std::vector<uint8_t> output(4);
  uint32_t returned = 0;
  ASSERT_TRUE(holder.DeviceIoControl(
      IOCTL_QUERY_BINDING, QueryInput(LowerName("sim0"), 0x00030007, OID_GEN_MEDIA_IN_USE), output,
      &returned));
  for (const Way& way : kEveryWay) ExpectRecord(*adapter_, way, frame, Expected(frame, 60, 7));
  for (const Way& way : kEveryWay) ExpectRecord(*other, way, frame, Expected(frame, 60, 0));
}

TEST_F(CaptureTest, NothingIsBuiltWhileCaptureIsOff) {
  // Fill the queue, so that a record built while off would be counted as dropped.
  for (uint32_t serial = 0; serial < MAX_QUEUED_RECORDS; ++serial) {
    ReceiveFrame(*adapter_, SerialFrame(serial));
  }
  const uint32_t full = QueuedRecords();
  platform::DeviceHandle control = Open();
  EXPECT_EQ(SetCapture(control, static_cast<uint8_t>(~CAPTURE_ENABLED)), 0u);  // other bits: off

  const std::vector<uint8_t> frame = Ipv4Frame(60);
  for (const Way& way : kEveryWay) {
    SCOPED_TRACE(way.name);
    if (way.path == Path::kSend) {
      SimulatedProtocol::SendOptions options;
      options.chunks = way.chunks;
      EXPECT_EQ(protocol_.SendAndWait(VirtualName("sim0"), frame, options),
                ndis::NDIS_STATUS_SUCCESS);
      EXPECT_EQ(adapter_->SentFrames().back(), frame);
    } else {
      SimulatedAdapter::ReceiveOptions options;
      options.kind = way.path == Path::kPacket ? SimulatedAdapter::ReceiveKind::kPacket
                                               : SimulatedAdapter::ReceiveKind::kLookahead;
      const size_t before = protocol_.ReceivedFrames().size();
      adapter_->Receive(frame, options);
      ASSERT_TRUE(protocol_.WaitForReceived(before + 1));
      EXPECT_EQ(protocol_.ReceivedFrames().back().frame, frame);
    }
    EXPECT_EQ(QueuedRecords(), full);
  }
  EXPECT_EQ(SetCapture(control, CAPTURE_ENABLED | 0x80), 0u);
  ReceiveFrame(*adapter_, SerialFrame(1000));  // on again, whatever the other bits
  EXPECT_EQ(SetCapture(control, CAPTURE_ENABLED), 1u);
}

TEST_F(CaptureTest, SendWhileAsleepIsRecordedOnlyWhenTheVirtualAdapterIsAwake) {
  const std::u16string name = VirtualName("sim0");
  const uint32_t idle = QueuedRecords();
  auto power = [&](ndis::NDIS_DEVICE_POWER_STATE state) {
    auto request = protocol_.Set(name, ndis::OID_PNP_SET_POWER, Le32(state));
    ASSERT_TRUE(protocol_.Wait(request));
    ASSERT_EQ(request->status, ndis::NDIS_STATUS_SUCCESS);
  };

  // The virtual adapter asleep: sends are refused before the capture step, receives too.
  power(ndis::NdisDeviceStateD3);
  EXPECT_EQ(protocol_.SendAndWait(name, SerialFrame(1)), ndis::NDIS_STATUS_FAILURE);
  for (auto kind :
       {SimulatedAdapter::ReceiveKind::kPacket, SimulatedAdapter::ReceiveKind::kLookahead}) {
    SimulatedAdapter::ReceiveOptions options;
    options.kind = kind;
    adapter_->Receive(SerialFrame(2), options);
  }
  EXPECT_EQ(QueuedRecords(), idle);
  power(ndis::NdisDeviceStateD0);

  // Only the lower adapter asleep: the send is recorded, then fails.
  ASSERT_EQ(adapter_->SetPower(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(protocol_.SendAndWait(name, SerialFrame(3)), ndis::NDIS_STATUS_FAILURE);
  ASSERT_EQ(adapter_->SetPower(ndis::NdisDeviceStateD0), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(adapter_->SentFrames().empty());
  std::optional<PacketRecord> record = ReadRecord(*reader_);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(SerialOf(*record), 3u);
  EXPECT_EQ(QueuedRecords(), idle);
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
