#include "driver/runtime/sources/live/live_source.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>
// After net/if.h, whose flag names the kernel headers would otherwise redefine.
#include <linux/rtnetlink.h>

#include <cstring>

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

// A link message as the kernel sends it: header, ifinfomsg, then attributes.
class LinkMessage {
 public:
  LinkMessage(uint16_t type, int index, uint16_t link_type, uint32_t flags) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    Append(&header, sizeof(header));
    ifinfomsg info{};
    info.ifi_index = index;
    info.ifi_type = link_type;
    info.ifi_flags = flags;
    Append(&info, sizeof(info));
  }
  LinkMessage& Attribute(uint16_t type, const void* data, size_t size) {
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    Append(&attribute, sizeof(attribute));
    Append(data, size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()), 0);
    return *this;
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out = bytes_;
    const auto length = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), &length, sizeof(length));
    return out;
  }

 private:
  void Append(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  std::vector<uint8_t> bytes_;
};

TEST(ParseLinkMessageTest, ReadsTheLinkAndRefusesWhatDoesNotFit) {
  const uint8_t mac[6] = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x07};
  const uint32_t mtu = 9000;
  const uint32_t flags = IFF_UP | IFF_RUNNING | (1u << 16);
  std::vector<uint8_t> message = LinkMessage(RTM_NEWLINK, 7, ARPHRD_ETHER, flags)
                                     .Attribute(IFLA_IFNAME, "veth7", 6)
                                     .Attribute(IFLA_ADDRESS, mac, 6)
                                     .Attribute(IFLA_MTU, &mtu, 4)
                                     .Bytes();
  bool removed = true;
  std::optional<LinkInfo> link = ParseLinkMessage(message, &removed);
  ASSERT_TRUE(link.has_value());
  EXPECT_FALSE(removed);
  EXPECT_EQ(link->index, 7);
  EXPECT_EQ(link->name, "veth7");
  EXPECT_EQ(link->type, ARPHRD_ETHER);
  EXPECT_EQ(link->address, std::vector<uint8_t>(mac, mac + 6));
  EXPECT_EQ(link->mtu, 9000u);
  EXPECT_TRUE(link->Up());
  EXPECT_TRUE(link->Carrier());

  // Up without the lower layer: no carrier.
  link = ParseLinkMessage(LinkMessage(RTM_DELLINK, 7, ARPHRD_ETHER, IFF_UP).Bytes(), &removed);
  ASSERT_TRUE(link.has_value());
  EXPECT_TRUE(removed);
  EXPECT_TRUE(link->Up());
  EXPECT_FALSE(link->Carrier());

  // Truncated messages and attributes that claim more than there is.
  for (size_t cut = 0; cut < message.size(); ++cut) {
    std::vector<uint8_t> shorter(message.begin(), message.begin() + cut);
    std::optional<LinkInfo> parsed = ParseLinkMessage(shorter, &removed);
    EXPECT_FALSE(parsed.has_value()) << "cut at " << cut;  // the header's length is too long
  }
  std::vector<uint8_t> lying = message;
  const size_t first_attribute = NLMSG_LENGTH(sizeof(ifinfomsg));
  const uint16_t huge = 4000;
  std::memcpy(lying.data() + first_attribute, &huge, 2);
  link = ParseLinkMessage(lying, &removed);
  ASSERT_TRUE(link.has_value());
  EXPECT_TRUE(link->name.empty());

  // Other messages, and links without a valid index.
  EXPECT_FALSE(ParseLinkMessage(LinkMessage(RTM_NEWADDR, 7, 1, 0).Bytes(), &removed));
  EXPECT_FALSE(ParseLinkMessage(LinkMessage(RTM_NEWLINK, 0, 1, 0).Bytes(), &removed));
}

}  // namespace
}  // namespace flowsentry::ndis
