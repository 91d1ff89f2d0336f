#include "driver/runtime/sources/live/links.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>
// After net/if.h, whose flag names the kernel headers would otherwise redefine.
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace flowsentry::ndis {
namespace {

// A link message as the kernel sends it: header, ifinfomsg, then attributes.
class LinkMessage {
 public:
  LinkMessage(uint16_t type, int index, uint16_t link_type, uint32_t flags) {
    // Room for every message the tests build: GCC 12 at -O3 otherwise warns about the first
    // insertion into the empty vector, which cannot overflow.
    bytes_.reserve(256);
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

TEST(ParseLinkDatagramTest, TakesTheLinkMessagesInOrderAndSaysTheEndOrAnError) {
  nlmsghdr done{};
  done.nlmsg_len = sizeof(done);
  done.nlmsg_type = NLMSG_DONE;
  nlmsghdr error = done;
  error.nlmsg_type = NLMSG_ERROR;
  auto end = [](const nlmsghdr& header) {
    const auto* p = reinterpret_cast<const uint8_t*>(&header);
    return std::vector<uint8_t>(p, p + sizeof(header));
  };
  auto join = [](std::vector<std::vector<uint8_t>> messages) {
    std::vector<uint8_t> out;
    for (const auto& m : messages) out.insert(out.end(), m.begin(), m.end());
    return out;
  };
  const std::vector<uint8_t> two = LinkMessage(RTM_NEWLINK, 2, ARPHRD_ETHER, 0).Bytes();
  const std::vector<uint8_t> three = LinkMessage(RTM_DELLINK, 3, ARPHRD_ETHER, 0).Bytes();
  const std::vector<uint8_t> other = LinkMessage(RTM_NEWADDR, 4, 1, 0).Bytes();
  struct Case {
    std::vector<uint8_t> data;
    std::vector<int> indexes;  // negative: removed
    bool done;
    bool failed;
  } cases[] = {
      {join({two, other, three, end(done)}), {2, -3}, true, false},
      {join({three, end(error), two}), {-3, 2}, false, true},
      // A message longer than the rest of the datagram ends the reading.
      {join({two, std::vector<uint8_t>(three.begin(), three.end() - 1)}), {2}, false, false},
      {{}, {}, false, false},
  };
  for (const Case& c : cases) {
    bool is_done = false, is_failed = false;
    std::vector<int> indexes;
    for (const LinkChange& change : ParseLinkDatagram(c.data, &is_done, &is_failed)) {
      indexes.push_back(change.removed ? -change.link.index : change.link.index);
    }
    EXPECT_EQ(indexes, c.indexes);
    EXPECT_EQ(is_done, c.done);
    EXPECT_EQ(is_failed, c.failed);
  }
}

TEST(LinkWatchTest, ListsTheLoopbackAndEndsWhenWoken) {
  LinkWatch watch;
  std::map<int, LinkInfo> links;
  std::string error;
  ASSERT_TRUE(watch.Open(&links, &error)) << error;
  const auto lo =
      std::find_if(links.begin(), links.end(), [](const auto& l) { return l.second.name == "lo"; });
  ASSERT_NE(lo, links.end());
  EXPECT_EQ(lo->first, lo->second.index);
  EXPECT_EQ(lo->second.type, ARPHRD_LOOPBACK);
  watch.Wake();
  std::vector<std::string> said;
  watch.Run([](const std::vector<LinkChange>&) {},
            [&](const std::string& l) { said.push_back(l); });
  EXPECT_TRUE(said.empty());
}

}  // namespace
}  // namespace flowsentry::ndis
