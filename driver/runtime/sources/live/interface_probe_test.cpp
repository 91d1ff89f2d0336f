#include "driver/runtime/sources/live/interface_probe.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>

#include <optional>
#include <string>
#include <vector>

namespace flowsentry::ndis {
namespace {

TEST(MediumForLinkTypeTest, OnlyTheFourDriverMediaComeFromTheirLinkTypes) {
  struct Case {
    uint16_t type;
    NDIS_MEDIUM medium;
  } cases[] = {
      {ARPHRD_ETHER, NdisMedium802_3},
      {ARPHRD_IEEE802_TR, NdisMedium802_5},
      {ARPHRD_IEEE802, NdisMedium802_5},
      {ARPHRD_FDDI, NdisMediumFddi},
      {ARPHRD_PPP, NdisMediumWan},
      {ARPHRD_LOOPBACK, NdisMediumLoopback},
      {ARPHRD_NONE, NdisMediumTunnel},
      {ARPHRD_SIT, NdisMediumTunnel},
      {ARPHRD_IEEE80211_RADIOTAP, NdisMediumNative802_11},
      {ARPHRD_INFINIBAND, NdisMediumInfiniBand},
  };
  for (const Case& c : cases) EXPECT_EQ(MediumForLinkType(c.type), c.medium) << c.type;
}

TEST(ProfileOfTest, TheLinkGivesAddressMtuAndNameOrTheirStandIns) {
  // Interfaces that do not exist: no driver and no speed to be found for them.
  struct Case {
    LinkInfo link;
    NDIS_MEDIUM medium;
    MacAddress mac;
    uint32_t mtu;
    std::optional<MacAddress> own;
  } cases[] = {
      {{.index = 7,
        .name = "fsnone7",
        .type = ARPHRD_ETHER,
        .address = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x07},
        .mtu = 9000},
       NdisMedium802_3,
       {0x02, 0x00, 0x5E, 0x00, 0x53, 0x07},
       9000,
       MacAddress{0x02, 0x00, 0x5E, 0x00, 0x53, 0x07}},
      // No address (PPP): one made of the index; no MTU said: Ethernet's.
      {{.index = 0x1234,
        .name = "fsnone8",
        .type = ARPHRD_PPP,
        .address = {},
        .flags = 0,
        .mtu = 0},
       NdisMediumWan,
       {0x02, 0x00, 0x00, 0x00, 0x12, 0x34},
       1500,
       std::nullopt},
  };
  for (const Case& c : cases) {
    const AdapterProfile profile = ProfileOf(c.link);
    EXPECT_EQ(profile.medium, c.medium) << c.link.name;
    EXPECT_EQ(profile.mac, c.mac) << c.link.name;
    EXPECT_EQ(profile.mtu, c.mtu) << c.link.name;
    EXPECT_EQ(profile.description, c.link.name);
    EXPECT_EQ(profile.link_speed, AdapterProfile{}.link_speed) << c.link.name;
    EXPECT_EQ(MacOf(c.link), c.own) << c.link.name;
  }
}

}  // namespace
}  // namespace flowsentry::ndis
