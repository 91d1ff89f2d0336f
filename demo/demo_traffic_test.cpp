// The demo's traffic read back byte by byte: well-formed frames from documentation addresses
// only, counts that agree with what the frames hold, the same frames for the same seed, and the
// capture file's layout.
#include "demo/demo_traffic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace flowsentry::demo {
namespace {

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}
uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t{Get16(bytes, at)} << 16 | Get16(bytes, at + 2);
}

bool Documentation(uint32_t address) {
  const uint32_t net = address & 0xFFFFFF00;
  return net == 0xC0000200 || net == 0xC6336400 ||
         net == 0xCB007100;  // 192.0.2, 198.51.100, 203.0.113
}
bool DocumentationMac(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] == 0x00 && bytes[at + 1] == 0x00 && bytes[at + 2] == 0x5E &&
         bytes[at + 3] == 0x00 && bytes[at + 4] == 0x53;
}
bool Broadcast(const std::vector<uint8_t>& bytes, size_t at) {
  for (size_t i = 0; i < 6; ++i) {
    if (bytes[at + i] != 0xFF) return false;
  }
  return true;
}

// Checks one frame the way a receiver would and names the demo counters that must count it,
// from its bytes alone.
std::vector<std::string> CheckAndClassify(const std::vector<uint8_t>& frame) {
  std::vector<std::string> counters = {kAllTraffic};
  EXPECT_GE(frame.size(), 42u);
  EXPECT_LE(frame.size(), 1514u);
  EXPECT_TRUE(DocumentationMac(frame, 6));
  EXPECT_TRUE(DocumentationMac(frame, 0) || Broadcast(frame, 0));
  const uint16_t ether_type = Get16(frame, 12);
  if (ether_type == 0x0806) {
    EXPECT_TRUE(Documentation(Get32(frame, 28)));
    EXPECT_TRUE(Documentation(Get32(frame, 38)));
    counters.push_back(kArp);
    return counters;
  }
  EXPECT_EQ(ether_type, 0x0800);
  EXPECT_EQ(frame[14], 0x45);
  EXPECT_EQ(InternetChecksum(frame.data() + 14, 20), 0) << "IP header checksum";
  const size_t ip_length = Get16(frame, 16);
  // Only frames padded to Ethernet's minimum of 60 bytes hold more than their IP packet.
  if (frame.size() > 60) {
    EXPECT_EQ(ip_length + 14, frame.size());
  } else {
    EXPECT_LE(ip_length + 14, frame.size());
  }
  const uint8_t protocol = frame[23];
  const uint32_t source = Get32(frame, 26), destination = Get32(frame, 30);
  EXPECT_TRUE(Documentation(source));
  EXPECT_TRUE(Documentation(destination));
  const size_t transport = 34, transport_size = ip_length - 20;
  const uint32_t pseudo = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                          (destination & 0xFFFF) + protocol + static_cast<uint32_t>(transport_size);
  const bool from_host = source == 0xC000020A;
  EXPECT_TRUE(from_host || destination == 0xC000020A) << "the host sees only its own traffic";
  if (from_host) counters.push_back(kToPublic);
  if ((source & 0xFFFFFF00) == 0xC0000200 && (destination & 0xFFFFFF00) == 0xC0000200) {
    counters.push_back(kWithinLan);
  }
  const uint16_t source_port = Get16(frame, transport),
                 destination_port = Get16(frame, transport + 2);
  switch (protocol) {
    case 1:
      EXPECT_EQ(InternetChecksum(frame.data() + transport, transport_size), 0) << "ICMP checksum";
      counters.push_back(kIcmp);
      break;
    case 17:
      EXPECT_EQ(InternetChecksum(frame.data() + transport, transport_size, pseudo), 0)
          << "UDP checksum";
      EXPECT_EQ(Get16(frame, transport + 4), transport_size);
      if (destination_port == 53) counters.push_back(kDnsQueries);
      if (source_port == 53) counters.push_back(kDnsAnswers);
      break;
    case 6:
      EXPECT_EQ(InternetChecksum(frame.data() + transport, transport_size, pseudo), 0)
          << "TCP checksum";
      if (!from_host && (source_port == 80 || source_port == 443)) counters.push_back(kWebReceived);
      if (from_host && (destination_port == 80 || destination_port == 443)) {
        counters.push_back(kWebSent);
      }
      break;
    default:
      ADD_FAILURE() << "protocol " << int{protocol};
  }
  return counters;
}

TEST(DemoTrafficTest, FramesAreWellFormedAndTheCountsAreWhatTheyHold) {
  TrafficGenerator traffic(20240312);
  std::map<std::string, Tally> counted;
  std::map<uint16_t, int> kinds;  // EtherType or IP protocol, to see that the mix is there
  uint64_t last_time = 0;
  for (int i = 0; i < 60000 && !::testing::Test::HasFailure(); ++i) {
    const DemoFrame frame = traffic.Next();
    if (i == 0) {
      EXPECT_EQ(frame.bytes[6], 0x00);
      EXPECT_EQ(frame.bytes[11], 0x0A) << "the host's frame comes first";
    }
    const uint64_t time = uint64_t{frame.seconds} * 1000000 + frame.microseconds;
    EXPECT_LT(frame.microseconds, 1000000u);
    EXPECT_GT(time, last_time) << "frame " << i;
    last_time = time;
    for (const std::string& counter : CheckAndClassify(frame.bytes)) {
      ++counted[counter].packets;
      counted[counter].bytes += frame.bytes.size();
    }
    ++kinds[Get16(frame.bytes, 12) == 0x0806 ? 0x0806 : frame.bytes[23]];
  }
  EXPECT_EQ(traffic.Counts(), counted);
  EXPECT_EQ(traffic.Counts().size(), 9u) << "every counter of the demo gets traffic";
  for (const uint16_t kind : {0x0806, 1, 6, 17}) EXPECT_GT(kinds[kind], 0) << kind;
}

TEST(DemoTrafficTest, TheSameSeedGivesTheSameFrames) {
  TrafficGenerator first(7), second(7), other(8);
  bool differs = false;
  for (int i = 0; i < 20000; ++i) {
    const DemoFrame a = first.Next(), b = second.Next(), c = other.Next();
    ASSERT_EQ(a.bytes, b.bytes) << "frame " << i;
    ASSERT_EQ(a.seconds, b.seconds);
    ASSERT_EQ(a.microseconds, b.microseconds);
    differs = differs || a.bytes != c.bytes;
  }
  EXPECT_EQ(first.Counts(), second.Counts());
  EXPECT_TRUE(differs);
}

TEST(DemoTrafficTest, CaptureFileLayoutAndChecksum) {
  EXPECT_EQ(PcapFileHeader(128),
            (std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 2,   0, 4, 0, 0, 0, 0, 0,
                                  0,    0,    0,    0,    128, 0, 0, 0, 1, 0, 0, 0}));
  DemoFrame frame;
  frame.seconds = 0x65F00B00;
  frame.microseconds = 999999;
  for (int i = 0; i < 200; ++i) frame.bytes.push_back(static_cast<uint8_t>(i));
  const std::vector<uint8_t> cut = PcapRecord(frame, 128);
  ASSERT_EQ(cut.size(), 16u + 128u);
  EXPECT_EQ(std::vector<uint8_t>(cut.begin(), cut.begin() + 16),
            (std::vector<uint8_t>{0x00, 0x0B, 0xF0, 0x65, 0x3F, 0x42, 0x0F, 0x00, 128, 0, 0, 0, 200,
                                  0, 0, 0}));
  EXPECT_EQ(cut.back(), 127);
  frame.bytes.resize(60);
  EXPECT_EQ(PcapRecord(frame, 128).size(), 16u + 60u);

  // A header whose checksum is known (RFC 1071's usual example), with the field zeroed.
  const std::vector<uint8_t> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                       0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
  EXPECT_EQ(InternetChecksum(header.data(), header.size()), 0xB861);
  const std::vector<uint8_t> odd = {0x01, 0x02, 0x03};
  EXPECT_EQ(InternetChecksum(odd.data(), odd.size()), static_cast<uint16_t>(~0x0402));
}

}  // namespace
}  // namespace flowsentry::demo
