#include "service/counters/matching.h"

#include <algorithm>
#include <cstring>

namespace flowsentry::counters {
namespace {

constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeArp = 0x0806;
constexpr uint16_t kEtherTypeRarp = 0x8035;

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolIgmp = 2;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;

// A network-order address held in a uint32_t, as a number whose first octet is most significant.
uint32_t AddressOrder(uint32_t network_order) {
  uint8_t b[4];
  std::memcpy(b, &network_order, 4);
  return Net32(b);
}

bool IsPrivateOrLinkLocal(const uint8_t (&a)[4]) {
  return a[0] == 10 || (a[0] == 172 && (a[1] & 0xF0) == 16) || (a[0] == 192 && a[1] == 168) ||
         (a[0] == 169 && a[1] == 254);
}

bool MaskedEqual(const uint8_t (&address)[4], uint32_t network, uint32_t mask) {
  uint8_t net[4];
  uint8_t m[4];
  std::memcpy(net, &network, 4);
  std::memcpy(m, &mask, 4);
  for (int i = 0; i < 4; ++i) {
    if ((address[i] & m[i]) != (net[i] & m[i])) return false;
  }
  return true;
}

}  // namespace

bool MatchInterface(const CounterRule& rule, uint16_t interface_number) {
  const auto wanted = static_cast<uint8_t>(interface_number);
  for (uint8_t entry : rule.interfaces) {
    if (entry == kInterfaceListEnd) return false;
    if (entry == wanted) return true;
  }
  return false;
}

bool MatchMac(const CounterRule& rule, Side side, const uint8_t (&mac)[6]) {
  const auto& list = side == Side::Source ? rule.source_macs : rule.dest_macs;
  if (!list) return true;
  for (const MacAddress& entry : *list) {
    if (entry == kMacListEnd) return false;
    if (std::equal(entry.begin(), entry.end(), mac)) return true;
  }
  return false;
}

bool MatchEtherType(const CounterRule& rule, Side side, const uint8_t (&ether_type)[2]) {
  const uint16_t selector = side == Side::Source ? rule.SourceProt : rule.DestProt;
  const uint16_t type = Net16(ether_type);
  switch (selector) {
    case 0:
      return true;
    case 1:
      return type == kEtherTypeIpv4;
    case 2:
      return type == kEtherTypeArp;
    case 3:
      return type == kEtherTypeRarp;
    default:
      return type == (side == Side::Source ? rule.SourceCode : rule.DestCode);
  }
}

bool MatchAddress(const CounterRule& rule, Side side, const uint8_t (&address)[4]) {
  const bool source = side == Side::Source;
  const AddressFilter& filter = source ? rule.source_ip : rule.dest_ip;
  switch (source ? rule.SourceIPoption : rule.DestIPoption) {
    case 0:
      return true;
    case 1:
    case 2: {
      if (!filter.list) return true;
      uint32_t value;
      std::memcpy(&value, address, 4);
      return std::find(filter.list->begin(), filter.list->end(), value) != filter.list->end();
    }
    case 3: {
      if (!filter.list) return true;
      const uint32_t network = filter.list->empty() ? 0 : filter.list->front();
      return MaskedEqual(address, network, filter.mask);
    }
    case 4: {
      if (filter.low == 0 && filter.high == 0) return true;
      const uint32_t value = Net32(address);
      return AddressOrder(filter.low) < value && value < AddressOrder(filter.high);
    }
    case 5:
      return !IsPrivateOrLinkLocal(address);
    default:
      return false;
  }
}

bool MatchProtocol(const CounterRule& rule, Side side, uint8_t protocol) {
  switch (side == Side::Source ? rule.SourceProt2 : rule.DestProt2) {
    case 0:
      return true;
    case 1:
      return protocol == kProtocolTcp;
    case 2:
      return protocol == kProtocolUdp;
    case 3:
      return protocol == kProtocolIcmp;
    case 4:
      return protocol == kProtocolIgmp;
    default:
      return protocol == 0;
  }
}

bool MatchPort(const CounterRule& rule, Side side, const uint8_t (&port)[2]) {
  const bool source = side == Side::Source;
  const PortFilter& filter = source ? rule.source_port : rule.dest_port;
  const uint16_t value = Net16(port);
  const bool no_bounds = filter.low == 0 && filter.high == 0;
  switch (source ? rule.SourcePortOption : rule.DestPortOption) {
    case 0:
      return true;
    case 1:
    case 2:
    case 3:
    case 4:
    case 7:
      if (!filter.list) return true;
      return std::find(filter.list->begin(), filter.list->end(), value) != filter.list->end();
    case 5:
      return no_bounds || (filter.low < value && value < filter.high);
    case 6:
      return no_bounds || value < filter.low || value > filter.high;
    default:
      return false;
  }
}

bool Matches(const CounterRule& rule, const PacketRecord& record) {
  return rule.state != kStateStopped && MatchInterface(rule, record.Interface) &&
         MatchMac(rule, Side::Source, record.SourceMac) &&
         MatchMac(rule, Side::Dest, record.DestMac) &&
         MatchEtherType(rule, Side::Source, record.EtherType) &&
         MatchEtherType(rule, Side::Dest, record.EtherType) &&
         MatchAddress(rule, Side::Source, record.SourceIP) &&
         MatchAddress(rule, Side::Dest, record.DestIP) &&
         MatchProtocol(rule, Side::Source, record.Protocol) &&
         MatchProtocol(rule, Side::Dest, record.Protocol) &&
         MatchPort(rule, Side::Source, record.SourcePort) &&
         MatchPort(rule, Side::Dest, record.DestPort);
}

}  // namespace flowsentry::counters
