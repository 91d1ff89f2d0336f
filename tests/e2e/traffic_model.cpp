#include "tests/e2e/traffic_model.h"

#include <cstdio>

namespace flowsentry::e2e {

using ndis::testing::CapturedFrame;

namespace {

constexpr std::array<uint8_t, 6> kHostMac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x10};
constexpr uint32_t kHostIp = 0xC000020A;  // 192.0.2.10

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

// Peers outside and inside the private ranges, and just beside their edges. These addresses
// only ever stand in capture files; nothing is sent to them.
const std::vector<uint32_t>& PeerAddresses() {
  static const std::vector<uint32_t> peers = {
      Ip(198, 51, 100, 1), Ip(198, 51, 100, 2), Ip(198, 51, 100, 3),   Ip(198, 51, 100, 6),
      Ip(198, 51, 100, 7), Ip(203, 0, 113, 7),  Ip(203, 0, 113, 15),   Ip(203, 0, 113, 16),
      Ip(10, 1, 2, 3),     Ip(172, 16, 0, 1),   Ip(172, 31, 255, 255), Ip(192, 168, 0, 1),
      Ip(169, 254, 1, 1),  Ip(172, 15, 0, 1),   Ip(172, 32, 0, 1),
  };
  return peers;
}

std::array<uint8_t, 6> PeerMac(size_t peer) {
  return {0x02, 0x00, 0x5E, 0x00, 0x53, static_cast<uint8_t>(0x21 + peer)};
}

constexpr std::array<uint16_t, 14> kPorts = {53,   5353, 80,   443,   1023,  1024,  1025,
                                             2047, 2048, 2049, 40000, 65000, 65001, 123};

class Bytes {
 public:
  // Room for the longest frame from the start: also keeps GCC 12 at -O3 from warning of an
  // overflow in the first insert into an empty vector, which cannot happen.
  Bytes() { data_.reserve(1514); }
  void Add(std::initializer_list<uint8_t> bytes) { data_.insert(data_.end(), bytes); }
  void Add(const std::array<uint8_t, 6>& mac) { data_.insert(data_.end(), mac.begin(), mac.end()); }
  void Be16(uint32_t v) { Add({static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
  void Be32(uint32_t v) {
    Be16(v >> 16);
    Be16(v & 0xFFFF);
  }
  void Fill(size_t n, uint8_t value) { data_.resize(data_.size() + n, value); }
  std::vector<uint8_t> Take() {
    if (data_.size() < 60) data_.resize(60, 0);  // the shortest Ethernet frame
    return std::move(data_);
  }

 private:
  std::vector<uint8_t> data_;
};

std::vector<uint8_t> Ipv4Frame(const std::array<uint8_t, 6>& dest_mac,
                               const std::array<uint8_t, 6>& source_mac, uint8_t protocol,
                               int header_words, uint32_t source_ip, uint32_t dest_ip,
                               uint16_t source_port, uint16_t dest_port, size_t payload) {
  Bytes b;
  b.Add(dest_mac);
  b.Add(source_mac);
  b.Be16(0x0800);
  const size_t options = static_cast<size_t>(header_words - 5) * 4;
  b.Add({static_cast<uint8_t>(0x40 | header_words), 0});
  b.Be16(static_cast<uint32_t>(20 + options + 8 + payload));
  b.Be32(0);
  b.Add({64, protocol});
  b.Be16(0);
  b.Be32(source_ip);
  b.Be32(dest_ip);
  b.Fill(options, 0x01);  // no-operation options
  b.Be16(source_port);
  b.Be16(dest_port);
  b.Be32(0);
  b.Fill(payload, 0x5A);
  return b.Take();
}

// ARP or RARP: hardware type 1, protocol type 0x0800, so the driver reads the port fields from
// frame offsets 14 and 16 (the header length nibble of byte 14 is 0).
std::vector<uint8_t> ArpFrame(uint16_t ether_type, const std::array<uint8_t, 6>& dest_mac,
                              const std::array<uint8_t, 6>& source_mac, uint32_t source_ip,
                              uint32_t target_ip, uint16_t operation) {
  Bytes b;
  b.Add(dest_mac);
  b.Add(source_mac);
  b.Be16(ether_type);
  b.Be16(1);
  b.Be16(0x0800);
  b.Add({6, 4});
  b.Be16(operation);
  b.Add(source_mac);
  b.Be32(source_ip);
  b.Add({0, 0, 0, 0, 0, 0});
  b.Be32(target_ip);
  return b.Take();
}

std::vector<uint8_t> Ipv6Frame(const std::array<uint8_t, 6>& dest_mac,
                               const std::array<uint8_t, 6>& source_mac, size_t payload) {
  Bytes b;
  b.Add(dest_mac);
  b.Add(source_mac);
  b.Be16(0x86DD);
  b.Add({0x60, 0, 0, 0});
  b.Be16(static_cast<uint32_t>(payload));
  b.Add({17, 64});
  b.Add({0x20, 0x01, 0x0D, 0xB8});  // 2001:db8::1 to 2001:db8::2
  b.Fill(11, 0);
  b.Add({1, 0x20, 0x01, 0x0D, 0xB8});
  b.Fill(11, 0);
  b.Add({2});
  b.Fill(payload, 0x66);
  return b.Take();
}

bool Private(uint32_t a) {
  return (a >> 24) == 10 || (a >> 20) == (Ip(172, 16, 0, 0) >> 20) ||
         (a >> 16) == (Ip(192, 168, 0, 0) >> 16) || (a >> 16) == (Ip(169, 254, 0, 0) >> 16);
}

bool OneOf(uint16_t value, std::initializer_list<uint16_t> list) {
  for (uint16_t v : list) {
    if (v == value) return true;
  }
  return false;
}

}  // namespace

Seen Summarize(const std::vector<uint8_t>& frame, uint16_t adapter) {
  auto at = [&frame](size_t i) -> uint32_t { return i < frame.size() ? frame[i] : 0; };
  auto be16 = [&](size_t i) { return static_cast<uint16_t>(at(i) << 8 | at(i + 1)); };
  auto be32 = [&](size_t i) { return static_cast<uint32_t>(be16(i)) << 16 | be16(i + 2); };
  Seen seen;
  seen.adapter = adapter;
  for (size_t i = 0; i < 6; ++i) {
    seen.dest_mac[i] = static_cast<uint8_t>(at(i));
    seen.source_mac[i] = static_cast<uint8_t>(at(6 + i));
  }
  seen.ether_type = be16(12);
  seen.protocol = static_cast<uint8_t>(at(23));
  seen.source_ip = be32(26);
  seen.dest_ip = be32(30);
  const size_t header = 4 * (at(14) & 0x0F);
  seen.source_port = be16(14 + header);
  seen.dest_port = be16(16 + header);
  seen.length = static_cast<uint32_t>(frame.size());
  return seen;
}

std::vector<CounterCase> CounterCases(uint16_t adapter) {
  const std::string on = "Interface=" + std::to_string(adapter) + "|";
  const std::array<uint8_t, 6> host = kHostMac;
  auto in_net = [](uint32_t a, uint32_t net, uint32_t mask) { return (a & mask) == (net & mask); };
  std::vector<CounterCase> cases = {
      // Adapters and the counter's state.
      {"all", on, 0, [](const Seen&) { return true; }},
      {"adapter without bar", "Interface=" + std::to_string(adapter), 0,
       [](const Seen&) { return true; }},
      {"key in any case", "iNTERFACE=" + std::to_string(adapter) + "|", 0,
       [](const Seen&) { return true; }},
      {"other adapters", "Interface=7|9|", 0, [](const Seen&) { return false; }},
      {"no adapter", "Interface=", 0, [](const Seen&) { return false; }},
      {"blank before the key", "Interface =" + std::to_string(adapter) + "|", 0,
       [](const Seen&) { return false; }},
      {"stopped", on, 2, [](const Seen&) { return false; }},
      {"counting state 1", on + ",SourceProt=2", 1,
       [](const Seen& s) { return s.ether_type == 0x0806; }},
      // MAC lists.
      {"from host mac", on + ",SourceMac=02-00-5E-00-53-10|", 0,
       [host](const Seen& s) { return s.source_mac == host; }},
      {"to peers 1 and 2 mac", on + ",DestMac=02-00-5E-00-53-21|02-00-5E-00-53-22|", 0,
       [](const Seen& s) { return s.dest_mac == PeerMac(0) || s.dest_mac == PeerMac(1); }},
      {"broadcast", on + ",DestMac=FF-FF-FF-FF-FF-FF|", 0,
       [](const Seen& s) {
         return s.dest_mac == std::array<uint8_t, 6>{255, 255, 255, 255, 255, 255};
       }},
      {"mac without bar is any", on + ",SourceMac=02-00-5E-00-53-10", 0,
       [](const Seen&) { return true; }},
      {"lower-case mac", on + ",SourceMac=02-00-5e-00-53-10|", 0,
       [](const Seen&) { return false; }},
      // EtherType selectors.
      {"ipv4", on + ",SourceProt=1", 0, [](const Seen& s) { return s.ether_type == 0x0800; }},
      {"arp", on + ",DestProt=2", 0, [](const Seen& s) { return s.ether_type == 0x0806; }},
      {"rarp", on + ",SourceProt=3", 0, [](const Seen& s) { return s.ether_type == 0x8035; }},
      {"ipv6 by code", on + ",SourceProt=4,SourceCode=34525", 0,
       [](const Seen& s) { return s.ether_type == 0x86DD; }},
      {"ipv4 by dest code", on + ",DestProt=9,DestCode=2048", 0,
       [](const Seen& s) { return s.ether_type == 0x0800; }},
      {"ipv4 and arp at once", on + ",SourceProt=1,DestProt=2", 0,
       [](const Seen&) { return false; }},
      // IP protocol selectors.
      {"tcp", on + ",SourceProt=1,SourceProt2=1", 0,
       [](const Seen& s) { return s.ether_type == 0x0800 && s.protocol == 6; }},
      {"udp byte", on + ",DestProt2=2", 0, [](const Seen& s) { return s.protocol == 17; }},
      {"icmp", on + ",SourceProt2=3", 0, [](const Seen& s) { return s.protocol == 1; }},
      {"igmp", on + ",DestProt2=4", 0, [](const Seen& s) { return s.protocol == 2; }},
      {"protocol byte 0", on + ",SourceProt2=7", 0, [](const Seen& s) { return s.protocol == 0; }},
      // Address filters.
      {"from host ip", on + ",SourceIPoption=1,SourceIP=192.0.2.10|", 0,
       [](const Seen& s) { return s.source_ip == kHostIp; }},
      {"to three peers", on + ",DestIPoption=2,DestIP=198.51.100.1|198.51.100.3|203.0.113.7|", 0,
       [](const Seen& s) {
         return s.dest_ip == Ip(198, 51, 100, 1) || s.dest_ip == Ip(198, 51, 100, 3) ||
                s.dest_ip == Ip(203, 0, 113, 7);
       }},
      {"to 198.51.100.0/24", on + ",DestIPoption=3,DestIP=198.51.100.0|255.255.255.0|", 0,
       [in_net](const Seen& s) { return in_net(s.dest_ip, Ip(198, 51, 100, 0), 0xFFFFFF00); }},
      {"from 203.0.113.0/28", on + ",SourceIPoption=3,SourceIP=203.0.113.0|255.255.255.240|", 0,
       [in_net](const Seen& s) { return in_net(s.source_ip, Ip(203, 0, 113, 0), 0xFFFFFFF0); }},
      {"from between .2 and .6", on + ",SourceIPoption=4,SourceIP=198.51.100.2|198.51.100.6|", 0,
       [](const Seen& s) {
         return s.source_ip > Ip(198, 51, 100, 2) && s.source_ip < Ip(198, 51, 100, 6);
       }},
      {"range without bounds", on + ",DestIPoption=4", 0, [](const Seen&) { return true; }},
      {"to outside private", on + ",DestIPoption=5", 0,
       [](const Seen& s) { return !Private(s.dest_ip); }},
      {"ipv4 from outside private", on + ",SourceProt=1,SourceIPoption=5", 0,
       [](const Seen& s) { return s.ether_type == 0x0800 && !Private(s.source_ip); }},
      {"address option 6", on + ",SourceIPoption=6,SourceIP=192.0.2.10|", 0,
       [](const Seen&) { return false; }},
      {"empty address list", on + ",SourceIPoption=1,SourceIP=|", 0,
       [](const Seen&) { return false; }},
      {"no address list", on + ",SourceIPoption=1,SourceIP=", 0, [](const Seen&) { return true; }},
      {"option 0 ignores the list", on + ",DestIPoption=0,DestIP=192.0.2.10|", 0,
       [](const Seen&) { return true; }},
      {"blank item ends the keys", on + ", ,SourceProt=2", 0, [](const Seen&) { return true; }},
      // Port filters.
      {"from dns ports", on + ",SourcePortOption=1,SourcePort=53|5353|", 0,
       [](const Seen& s) {
         return OneOf(s.source_port, {53, 5353});
       }},
      {"to web ports", on + ",DestPortOption=7,DestPort=80|443|", 0,
       [](const Seen& s) {
         return OneOf(s.dest_port, {80, 443});
       }},
      {"from 40000 option 3", on + ",SourcePortOption=3,SourcePort=40000|", 0,
       [](const Seen& s) { return s.source_port == 40000; }},
      {"to between 1024 and 2048", on + ",DestPortOption=5,DestPort=1024|2048|", 0,
       [](const Seen& s) { return s.dest_port > 1024 && s.dest_port < 2048; }},
      {"from outside 1024 to 65000", on + ",SourcePortOption=6,SourcePort=1024|65000|", 0,
       [](const Seen& s) { return s.source_port < 1024 || s.source_port > 65000; }},
      {"port range without bounds", on + ",DestPortOption=6", 0, [](const Seen&) { return true; }},
      {"port option 8", on + ",DestPortOption=8,DestPort=80|", 0,
       [](const Seen&) { return false; }},
      // Everything at once: the host's UDP queries to public name servers.
      {"dns queries out",
       on + ",SourceMac=02-00-5E-00-53-10|,SourceProt=1,SourceIPoption=1,SourceIP=192.0.2.10|,"
            "DestIPoption=5,DestProt2=2,DestPortOption=1,DestPort=53|",
       0,
       [host](const Seen& s) {
         return s.source_mac == host && s.ether_type == 0x0800 && s.source_ip == kHostIp &&
                !Private(s.dest_ip) && s.protocol == 17 && s.dest_port == 53;
       }},
  };
  for (CounterCase& c : cases) {
    // Every rule holds on this adapter only.
    c.counts = [adapter, rule = std::move(c.counts)](const Seen& s) {
      return s.adapter == adapter && rule(s);
    };
  }
  return cases;
}

std::map<std::string, Counts> Expected(const std::vector<CounterCase>& cases,
                                       const std::vector<CapturedFrame>& frames, uint16_t adapter) {
  std::map<std::string, Counts> expected;
  for (const CounterCase& c : cases) expected[c.name] = {};
  for (const CapturedFrame& frame : frames) {
    const Seen seen = Summarize(frame.bytes, adapter);
    for (const CounterCase& c : cases) {
      if (c.state == 2 || !c.counts(seen)) continue;
      expected[c.name].packets += 1;
      expected[c.name].bytes += seen.length;
    }
  }
  return expected;
}

std::vector<CapturedFrame> MakeFrames(int count, uint32_t first_second, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 1;
  auto next = [&state](uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  };
  const std::vector<uint32_t>& peers = PeerAddresses();
  std::vector<CapturedFrame> frames;
  for (int i = 0; i < count; ++i) {
    const size_t peer = next(static_cast<uint32_t>(peers.size()));
    const size_t other = (peer + 1 + next(static_cast<uint32_t>(peers.size() - 1))) % peers.size();
    std::array<uint8_t, 6> source_mac = kHostMac, dest_mac = PeerMac(peer);
    uint32_t source_ip = kHostIp, dest_ip = peers[peer];
    switch (next(3)) {
      case 0:  // the host sends
        break;
      case 1:  // the host receives
        std::swap(source_mac, dest_mac);
        std::swap(source_ip, dest_ip);
        break;
      default:  // two peers, seen on the same link
        source_mac = PeerMac(other);
        source_ip = peers[other];
    }
    const uint16_t source_port = kPorts[next(kPorts.size())];
    const uint16_t dest_port = kPorts[next(kPorts.size())];
    const size_t payload = next(300);
    CapturedFrame frame;
    frame.seconds = first_second + static_cast<uint32_t>(i / 50);
    frame.fraction = static_cast<uint32_t>(i % 50) * 20000 + 7 + next(1000);
    switch (next(10)) {
      case 0:
      case 1:
        frame.bytes = Ipv4Frame(dest_mac, source_mac, 17, 5, source_ip, dest_ip, source_port,
                                dest_port, payload);
        break;
      case 2:
        frame.bytes = Ipv4Frame(dest_mac, source_mac, 6, 5, source_ip, dest_ip, source_port,
                                dest_port, payload);
        break;
      case 3:
        frame.bytes =
            Ipv4Frame(dest_mac, source_mac, 1, 5, source_ip, dest_ip, 0x0800, dest_port, payload);
        break;
      case 4:
        frame.bytes =
            Ipv4Frame(dest_mac, source_mac, 2, 5, source_ip, dest_ip, 0x1600, 0, payload % 8);
        break;
      case 5:
        frame.bytes = Ipv4Frame(dest_mac, source_mac, 0, 5, source_ip, dest_ip, source_port,
                                dest_port, payload);
        break;
      case 6:  // IPv4 with a header option: the ports stand 4 bytes further
        frame.bytes = Ipv4Frame(dest_mac, source_mac, 17, 6, source_ip, dest_ip, source_port,
                                dest_port, payload);
        break;
      case 7: {
        const bool request = next(2) == 0;
        frame.bytes = ArpFrame(
            0x0806, request ? std::array<uint8_t, 6>{255, 255, 255, 255, 255, 255} : dest_mac,
            source_mac, source_ip, dest_ip, request ? 1 : 2);
        break;
      }
      case 8:
        frame.bytes = ArpFrame(0x8035, dest_mac, source_mac, source_ip, dest_ip, 3);
        break;
      default:
        frame.bytes = Ipv6Frame(dest_mac, source_mac, payload);
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::string MacText(const std::array<uint8_t, 6>& mac) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

std::string IpText(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
         std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

std::string TimeOfDay(uint32_t seconds, uint32_t microseconds, int offset_seconds) {
  const int64_t local = (static_cast<int64_t>(seconds) + offset_seconds) % 86400;
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%u", static_cast<int>(local / 3600),
                static_cast<int>(local / 60 % 60), static_cast<int>(local % 60), microseconds);
  return text;
}

std::string PacketLine(const CapturedFrame& frame, uint16_t adapter, int zone_offset_seconds) {
  const Seen s = Summarize(frame.bytes, adapter);
  auto q = [](const std::string& field) { return "\"" + field + "\""; };
  return q(std::to_string(adapter)) + " " +
         q(TimeOfDay(frame.seconds, frame.fraction, zone_offset_seconds)) + " " +
         q(MacText(s.source_mac)) + " " + q(MacText(s.dest_mac)) + " " +
         q(std::to_string(s.ether_type)) + " " + q(IpText(s.source_ip)) + " " +
         q(IpText(s.dest_ip)) + " " + q(std::to_string(s.source_port)) + " " +
         q(std::to_string(s.dest_port)) + " " + q(std::to_string(s.length));
}

}  // namespace flowsentry::e2e
