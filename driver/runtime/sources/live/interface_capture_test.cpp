#include "driver/runtime/sources/live/interface_capture.h"

#include <gtest/gtest.h>

#include <vector>

namespace flowsentry::ndis {
namespace {

TEST(AsEthernetFrameTest, CookedAndRawFramesGetAnEthernetHeaderWithTheOwnAddress) {
  const MacAddress own = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
  // A cooked header (16 bytes, the protocol in its last two) before an IPv4 packet of 4 bytes.
  std::vector<uint8_t> cooked(16, 0xEE);
  cooked[14] = 0x08;
  cooked[15] = 0x06;
  cooked.insert(cooked.end(), {0x45, 1, 2, 3});
  const std::vector<uint8_t> ipv4 = {0x45, 1, 2, 3};
  const std::vector<uint8_t> ipv6 = {0x60, 1, 2, 3};
  const std::vector<uint8_t> zero(6, 0);
  auto ethernet = [&](bool outgoing, uint16_t type, std::vector<uint8_t> payload) {
    std::vector<uint8_t> out = outgoing ? zero : std::vector<uint8_t>(own.begin(), own.end());
    if (outgoing) {
      out.insert(out.end(), own.begin(), own.end());
    } else {
      out.insert(out.end(), zero.begin(), zero.end());
    }
    out.push_back(static_cast<uint8_t>(type >> 8));
    out.push_back(static_cast<uint8_t>(type));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  };
  struct Case {
    int link_type;
    bool outgoing;
    std::vector<uint8_t> captured;
    uint32_t length;  // on the wire
    std::vector<uint8_t> bytes;
    uint32_t expected_length;
  } cases[] = {
      {DLT_LINUX_SLL, false, cooked, 100, ethernet(false, 0x0806, ipv4), 98},
      {DLT_RAW, true, ipv4, 60, ethernet(true, 0x0800, ipv4), 74},
      {DLT_RAW, false, ipv6, 4, ethernet(false, 0x86DD, ipv6), 18},
      // Ethernet, and frames too short for their header, come as they are.
      {DLT_EN10MB, true, ipv4, 60, ipv4, 60},
      {DLT_LINUX_SLL, true, ipv4, 60, ipv4, 60},
      {DLT_RAW, true, {}, 0, {}, 0},
  };
  std::vector<uint8_t> scratch;
  for (const Case& c : cases) {
    const SourceFrame frame =
        AsEthernetFrame(c.link_type, c.outgoing, own, SourceFrame{c.captured, c.length}, scratch);
    EXPECT_EQ(std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.end()), c.bytes)
        << c.link_type << " " << c.length;
    EXPECT_EQ(frame.length, c.expected_length) << c.link_type << " " << c.length;
  }
}

}  // namespace
}  // namespace flowsentry::ndis
