#include "platform/net.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace flowsentry::platform {
namespace {

std::array<uint8_t, 4> Octets(InAddr a) {
  std::array<uint8_t, 4> b;
  std::memcpy(b.data(), &a, 4);
  return b;
}

TEST(InetAddrTest, DottedTextBecomesNetworkOrder) {
  EXPECT_EQ(Octets(InetAddr("192.0.2.10")), (std::array<uint8_t, 4>{192, 0, 2, 10}));
  // The classic short forms: the last part fills the remaining bytes.
  EXPECT_EQ(Octets(InetAddr("10.1")), (std::array<uint8_t, 4>{10, 0, 0, 1}));
  EXPECT_EQ(Octets(InetAddr("0x7f.1")), (std::array<uint8_t, 4>{127, 0, 0, 1}));
}

TEST(InetAddrTest, NonAddressesGiveNone) {
  for (const char* text : {"", "abc", "1.2.3.4.5", "256.1.1.1", "255.255.255.255"}) {
    EXPECT_EQ(InetAddr(text), kInAddrNone) << text;
  }
}

TEST(ByteOrderTest, RoundTrips) {
  EXPECT_EQ(Ntohs(Htons(0x1234)), 0x1234);
  EXPECT_EQ(Ntohl(Htonl(0x01020304u)), 0x01020304u);
  const uint16_t net = Htons(0x0800);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&net)[0], 0x08);
}

}  // namespace
}  // namespace flowsentry::platform
