#include "driver/runtime/sources/live/interface_probe.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/posix/fd.h"

namespace flowsentry::ndis {
namespace {

using platform::posix::Fd;

// The interface's driver, as ethtool names it ("veth", "e1000e"); empty when it does not say.
std::string DriverName(const std::string& interface) {
  Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return {};
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq request{};
  std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&info);
  if (::ioctl(socket.get(), SIOCETHTOOL, &request) != 0) return {};
  return std::string(info.driver, strnlen(info.driver, sizeof(info.driver)));
}

// Link speed in units of 100 bit/s, from the interface's speed in Mbit/s; 0 when unknown.
uint32_t LinkSpeed(const std::string& interface) {
  std::ifstream file("/sys/class/net/" + interface + "/speed");
  long long mbits = 0;
  if (!(file >> mbits) || mbits <= 0 || mbits > 400'000) return 0;
  return static_cast<uint32_t>(mbits * 10'000);
}

}  // namespace

NDIS_MEDIUM MediumForLinkType(uint16_t type) {
  switch (type) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
      return NdisMedium802_3;
    case ARPHRD_IEEE802:
    case ARPHRD_IEEE802_TR:
      return NdisMedium802_5;
    case ARPHRD_FDDI:
      return NdisMediumFddi;
    case ARPHRD_PPP:
      return NdisMediumWan;
    case ARPHRD_ARCNET:
      return NdisMediumArcnet878_2;
    case ARPHRD_ATM:
      return NdisMediumAtm;
    case ARPHRD_IEEE1394:
      return NdisMedium1394;
    case ARPHRD_IRDA:
      return NdisMediumIrda;
    case ARPHRD_INFINIBAND:
      return NdisMediumInfiniBand;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      return NdisMediumNative802_11;
    case ARPHRD_LOOPBACK:
      return NdisMediumLoopback;
    default:
      return NdisMediumTunnel;  // tunnels, raw IP devices and anything else without a MAC header
  }
}

AdapterProfile ProfileOf(const LinkInfo& link) {
  AdapterProfile profile;
  profile.medium = MediumForLinkType(link.type);
  if (link.address.size() >= 6) {
    std::copy_n(link.address.begin(), 6, profile.mac.begin());
  } else {
    // A link without a hardware address (PPP): a locally administered one made of its index.
    profile.mac = {0x02,
                   0x00,
                   0x00,
                   0x00,
                   static_cast<uint8_t>(link.index >> 8),
                   static_cast<uint8_t>(link.index)};
  }
  const std::string driver = DriverName(link.name);
  profile.description = driver.empty() ? link.name : link.name + " (" + driver + ")";
  profile.mtu = link.mtu != 0 ? link.mtu : 1500;
  if (uint32_t speed = LinkSpeed(link.name); speed != 0) profile.link_speed = speed;
  return profile;
}

std::optional<MacAddress> MacOf(const LinkInfo& link) {
  if (link.address.size() < 6) return std::nullopt;
  MacAddress mac;
  std::copy_n(link.address.begin(), 6, mac.begin());
  return mac;
}

}  // namespace flowsentry::ndis
