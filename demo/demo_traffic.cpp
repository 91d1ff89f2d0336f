#include "demo/demo_traffic.h"

#include <algorithm>
#include <array>
#include <utility>

namespace flowsentry::demo {

struct TrafficGenerator::Peer {
  const char* name;
  uint32_t address;
  uint32_t rtt_us;
  uint8_t ttl;     // as the frames reach the host
  unsigned share;  // how often the host visits it, relative to the others
};

namespace {

using Mac = std::array<uint8_t, 6>;

constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t{a} << 24 | uint32_t{b} << 16 | uint32_t{c} << 8 | d;
}

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Mac DocMac(uint8_t last) { return {0x00, 0x00, 0x5E, 0x00, 0x53, last}; }

constexpr uint32_t kHost = Ip(192, 0, 2, 10);
constexpr Mac kHostMacBytes = DocMac(0x0A);
constexpr uint32_t kGateway = Ip(192, 0, 2, 1);  // also the LAN's DNS resolver
constexpr Mac kGatewayMac = DocMac(0x01);
constexpr uint32_t kFileServer = Ip(192, 0, 2, 20);
constexpr Mac kFileServerMac = DocMac(0x14);
constexpr uint32_t kNtpServer = Ip(203, 0, 113, 123);

struct LanNeighbour {
  uint32_t address;
  Mac mac;
};
constexpr std::array<LanNeighbour, 3> kNeighbours = {{
    {Ip(192, 0, 2, 11), DocMac(0x0B)},
    {kFileServer, kFileServerMac},
    {Ip(192, 0, 2, 30), DocMac(0x1E)},
}};

constexpr uint16_t kMss = 1448;              // with the timestamp option, on a 1500-byte MTU
constexpr uint64_t kWireUs = 120;            // one full-size frame at 100 Mbit/s
constexpr uint32_t kStartTime = 1710230400;  // 2024-03-12 08:00:00 UTC

bool InLan(uint32_t address) { return (address & 0xFFFFFF00) == Ip(192, 0, 2, 0); }

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value >> 16));
  Put16(out, static_cast<uint16_t>(value));
}
void Set16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}
void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}
void PutMac(std::vector<uint8_t>& out, const Mac& mac) {
  out.insert(out.end(), mac.begin(), mac.end());
}

std::vector<uint8_t> EthernetHeader(const Mac& destination, const Mac& source, uint16_t type) {
  std::vector<uint8_t> frame;
  frame.reserve(1514);
  PutMac(frame, destination);
  PutMac(frame, source);
  Put16(frame, type);
  return frame;
}

// Frames shorter than Ethernet's minimum are padded by the sender's adapter, so the host sees
// its own short frames unpadded and everybody else's padded.
void PadReceived(std::vector<uint8_t>& frame) {
  if (frame.size() < 60) frame.resize(60, 0);
}

std::vector<uint8_t> DnsName(const std::string& name) {
  std::vector<uint8_t> out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<long>(start),
               name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

}  // namespace

uint16_t InternetChecksum(const uint8_t* bytes, size_t size, uint32_t sum) {
  for (size_t i = 0; i + 1 < size; i += 2) sum += uint32_t{bytes[i]} << 8 | bytes[i + 1];
  if (size % 2 == 1) sum += uint32_t{bytes[size - 1]} << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

TrafficGenerator::TrafficGenerator(uint64_t seed)
    : state_(seed), now_us_(uint64_t{kStartTime} * 1000000) {
  // The morning starts with the host finding its gateway: the file's first frame is the host's,
  // which tells the replay whose adapter this is.
  Arp(true);
}

uint64_t TrafficGenerator::Random() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t TrafficGenerator::Uniform(uint64_t low, uint64_t high) {
  return low + Random() % (high - low + 1);
}

bool TrafficGenerator::Chance(unsigned percent) { return Random() % 100 < percent; }

DemoFrame TrafficGenerator::Next() {
  while (queue_.empty()) Step();
  Pending pending = std::move(queue_.front());
  queue_.pop_front();
  const uint64_t length = pending.frame.bytes.size();
  for (const char* counter : pending.counters) {
    Tally& tally = counts_[counter];
    ++tally.packets;
    tally.bytes += length;
  }
  return std::move(pending.frame);
}

void TrafficGenerator::Emit(std::vector<uint8_t> bytes, std::vector<const char*> counters,
                            uint64_t gap_us) {
  counters.push_back(kAllTraffic);
  Pending pending;
  pending.frame.seconds = static_cast<uint32_t>(now_us_ / 1000000);
  pending.frame.microseconds = static_cast<uint32_t>(now_us_ % 1000000);
  pending.frame.bytes = std::move(bytes);
  pending.counters = std::move(counters);
  queue_.push_back(std::move(pending));
  now_us_ += std::max<uint64_t>(gap_us, 1);
}

void TrafficGenerator::EmitIp(bool from_host, uint32_t source, uint32_t destination,
                              uint8_t protocol, const std::vector<uint8_t>& transport,
                              uint64_t gap_us) {
  const uint32_t remote = from_host ? destination : source;
  const Mac remote_mac = InLan(remote) ? DocMac(static_cast<uint8_t>(remote & 0xFF)) : kGatewayMac;
  std::vector<uint8_t> frame = from_host ? EthernetHeader(remote_mac, kHostMacBytes, 0x0800)
                                         : EthernetHeader(kHostMacBytes, remote_mac, 0x0800);
  const size_t ip_at = frame.size();
  frame.push_back(0x45);
  frame.push_back(0);
  Put16(frame, static_cast<uint16_t>(20 + transport.size()));
  Put16(frame, from_host ? ip_id_++ : static_cast<uint16_t>(Random()));
  Put16(frame, protocol == 6 ? 0x4000 : 0);  // TCP segments are sent with "don't fragment"
  uint8_t ttl = 64;
  if (!from_host) ttl = InLan(source) ? (source == kFileServer ? 128 : 64) : 52;
  frame.push_back(ttl);
  frame.push_back(protocol);
  Put16(frame, 0);
  Put32(frame, source);
  Put32(frame, destination);
  Set16(frame, ip_at + 10, InternetChecksum(frame.data() + ip_at, 20));
  const size_t transport_at = frame.size();
  frame.insert(frame.end(), transport.begin(), transport.end());

  if (protocol == 6 || protocol == 17) {
    // The pseudo-header's sum: addresses, protocol and the segment's length.
    const uint32_t pseudo = (source >> 16) + (source & 0xFFFF) + (destination >> 16) +
                            (destination & 0xFFFF) + protocol +
                            static_cast<uint32_t>(transport.size());
    const size_t checksum_at = transport_at + (protocol == 6 ? 16 : 6);
    uint16_t checksum = InternetChecksum(frame.data() + transport_at, transport.size(), pseudo);
    if (protocol == 17 && checksum == 0) checksum = 0xFFFF;
    Set16(frame, checksum_at, checksum);
  }
  if (!from_host) PadReceived(frame);

  const uint16_t source_port =
      transport.size() >= 4 ? static_cast<uint16_t>(transport[0] << 8 | transport[1]) : 0;
  const uint16_t destination_port =
      transport.size() >= 4 ? static_cast<uint16_t>(transport[2] << 8 | transport[3]) : 0;
  std::vector<const char*> counters;
  if (from_host) counters.push_back(kToPublic);  // every documentation address is public
  if (InLan(source) && InLan(destination)) counters.push_back(kWithinLan);
  if (protocol == 1) counters.push_back(kIcmp);
  if (protocol == 17 && destination_port == 53) counters.push_back(kDnsQueries);
  if (protocol == 17 && source_port == 53) counters.push_back(kDnsAnswers);
  if (protocol == 6 && from_host && (destination_port == 80 || destination_port == 443)) {
    counters.push_back(kWebSent);
  }
  if (protocol == 6 && destination == kHost && (source_port == 80 || source_port == 443)) {
    counters.push_back(kWebReceived);
  }
  Emit(std::move(frame), std::move(counters), gap_us);
}

void TrafficGenerator::Step() {
  static constexpr std::array<Peer, 8> kServers = {{
      {"www.example.com", Ip(198, 51, 100, 25), 18000, 52, 30},
      {"cdn.example.net", Ip(198, 51, 100, 80), 9000, 57, 25},
      {"api.example.com", Ip(198, 51, 100, 143), 24000, 52, 15},
      {"static.example.net", Ip(198, 51, 100, 200), 11000, 55, 10},
      {"news.example.org", Ip(203, 0, 113, 7), 41000, 49, 8},
      {"video.example.com", Ip(203, 0, 113, 42), 33000, 50, 5},
      {"files.example.net", Ip(203, 0, 113, 99), 62000, 46, 4},
      {"mail.example.org", Ip(203, 0, 113, 150), 27000, 51, 3},
  }};
  const uint64_t roll = Uniform(0, 99);
  if (roll < 55) {
    unsigned total = 0;
    for (const Peer& peer : kServers) total += peer.share;
    uint64_t pick = Uniform(0, total - 1);
    const Peer* server = &kServers.front();
    for (const Peer& peer : kServers) {
      if (pick < peer.share) {
        server = &peer;
        break;
      }
      pick -= peer.share;
    }
    if (!resolved_[server->name] || Chance(15)) {
      DnsLookup(server->name, server->address);
      resolved_[server->name] = true;
    }
    const uint16_t port = Chance(85) ? 443 : 80;
    const uint64_t request = Chance(5) ? Uniform(20000, 300000) : Uniform(300, 900);
    const uint64_t size_class = Uniform(0, 99);
    const uint64_t response = size_class < 60   ? Uniform(800, 30000)
                              : size_class < 90 ? Uniform(30000, 400000)
                                                : Uniform(400000, 4000000);
    TcpSession(*server, port, request, response);
  } else if (roll < 67) {
    // Lookups of names the host then does not visit here: updates, telemetry, mail checks.
    static constexpr std::array<const char*, 5> kNames = {
        "update.example.com", "telemetry.example.net", "imap.example.org", "ocsp.example.com",
        "time.example.org"};
    const std::string name = kNames[Uniform(0, kNames.size() - 1)];
    DnsLookup(name, Ip(203, 0, 113, static_cast<uint8_t>(Uniform(160, 250))));
  } else if (roll < 75) {
    static constexpr Peer kFiles = {"fileserver", kFileServer, 400, 128, 0};
    TcpSession(kFiles, 445, Uniform(200, 2000), Uniform(50000, 2000000));
  } else if (roll < 83) {
    Arp(Chance(30));
  } else if (roll < 88) {
    Ping(Chance(50) ? kGateway : kServers[Uniform(0, kServers.size() - 1)].address,
         static_cast<int>(Uniform(1, 4)));
  } else if (roll < 92) {
    Ntp();
  }
  now_us_ += Uniform(20000, 3000000);  // the host is quiet for a moment
}

void TrafficGenerator::Arp(bool host_asks) {
  auto arp = [](uint16_t operation, const Mac& sender_mac, uint32_t sender, const Mac& target_mac,
                uint32_t target, const Mac& destination) {
    std::vector<uint8_t> frame = EthernetHeader(destination, sender_mac, 0x0806);
    Put16(frame, 1);
    Put16(frame, 0x0800);
    frame.push_back(6);
    frame.push_back(4);
    Put16(frame, operation);
    PutMac(frame, sender_mac);
    Put32(frame, sender);
    PutMac(frame, target_mac);
    Put32(frame, target);
    return frame;
  };
  if (host_asks) {
    Emit(arp(1, kHostMacBytes, kHost, Mac{}, kGateway, kBroadcast), {kArp}, 300);
    std::vector<uint8_t> reply = arp(2, kGatewayMac, kGateway, kHostMacBytes, kHost, kHostMacBytes);
    PadReceived(reply);
    Emit(std::move(reply), {kArp}, 1000);
    return;
  }
  // A neighbour asks for somebody; when it is the host, the host answers.
  const LanNeighbour& asker = kNeighbours[Uniform(0, kNeighbours.size() - 1)];
  const bool for_host = Chance(40);
  const uint32_t target = for_host ? kHost : kGateway;
  std::vector<uint8_t> request = arp(1, asker.mac, asker.address, Mac{}, target, kBroadcast);
  PadReceived(request);
  Emit(std::move(request), {kArp}, 150);
  if (for_host)
    Emit(arp(2, kHostMacBytes, kHost, asker.mac, asker.address, asker.mac), {kArp}, 500);
}

void TrafficGenerator::DnsLookup(const std::string& name, uint32_t address) {
  const uint16_t port = next_port_;
  next_port_ = next_port_ == 65535 ? 49152 : next_port_ + 1;
  const uint16_t id = static_cast<uint16_t>(Random());
  const std::vector<uint8_t> qname = DnsName(name);

  auto udp = [](uint16_t source_port, uint16_t destination_port,
                const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    Put16(out, source_port);
    Put16(out, destination_port);
    Put16(out, static_cast<uint16_t>(8 + payload.size()));
    Put16(out, 0);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  };
  std::vector<uint8_t> query;
  Put16(query, id);
  Put16(query, 0x0100);  // standard query, recursion desired
  Put16(query, 1);
  Put16(query, 0);
  Put16(query, 0);
  Put16(query, 0);
  query.insert(query.end(), qname.begin(), qname.end());
  Put16(query, 1);  // A
  Put16(query, 1);  // IN
  EmitIp(true, kHost, kGateway, 17, udp(port, 53, query), Uniform(400, 9000));

  std::vector<uint8_t> answer = query;
  Set16(answer, 2, 0x8180);  // response, recursion available, no error
  Set16(answer, 6, 1);
  Put16(answer, 0xC00C);  // the question's name
  Put16(answer, 1);
  Put16(answer, 1);
  Put32(answer, static_cast<uint32_t>(Uniform(60, 3600)));
  Put16(answer, 4);
  Put32(answer, address);
  EmitIp(false, kGateway, kHost, 17, udp(53, port, answer), Uniform(200, 2000));
}

void TrafficGenerator::TcpSession(const Peer& server, uint16_t port, uint64_t request_bytes,
                                  uint64_t response_bytes) {
  const uint16_t host_port = next_port_;
  next_port_ = next_port_ == 65535 ? 49152 : next_port_ + 1;
  uint32_t host_seq = static_cast<uint32_t>(Random());
  uint32_t server_seq = static_cast<uint32_t>(Random());
  const uint32_t rtt = server.rtt_us;
  uint32_t host_clock = static_cast<uint32_t>(now_us_ / 1000);
  const uint32_t server_clock = static_cast<uint32_t>(Random());

  auto segment = [&](bool from_host, uint8_t flags, uint64_t payload_size, uint64_t gap_us,
                     const std::string& text = std::string()) {
    std::vector<uint8_t> out;
    Put16(out, from_host ? host_port : port);
    Put16(out, from_host ? port : host_port);
    Put32(out, from_host ? host_seq : server_seq);
    Put32(out, (flags & kAck) ? (from_host ? server_seq : host_seq) : 0);
    const bool syn = (flags & kSyn) != 0;
    out.push_back(static_cast<uint8_t>((syn ? 10 : 8) << 4));  // header words, with options
    out.push_back(flags);
    Put16(out, syn ? 64240 : 502);  // window (scaled by 128 once agreed)
    Put16(out, 0);
    Put16(out, 0);
    if (syn) {
      Put16(out, 0x0204);  // MSS 1460
      Put16(out, 1460);
      Put16(out, 0x0402);  // SACK permitted
    }
    Put16(out, syn ? 0x080A : 0x0101);  // timestamps (behind two NOPs once agreed)
    if (!syn) Put16(out, 0x080A);
    Put32(out, from_host ? host_clock : server_clock);
    Put32(out, from_host ? server_clock : host_clock);
    if (syn) {
      Put16(out, 0x0103);  // NOP, window scale 7
      out.push_back(0x03);
      out.push_back(0x07);
    }
    const size_t payload_at = out.size();
    out.resize(payload_at + payload_size);
    if (port == 443 && payload_size > 5) {
      out[payload_at] = 0x17;  // TLS application data
      out[payload_at + 1] = 0x03;
      out[payload_at + 2] = 0x03;
    }
    std::copy_n(text.begin(), std::min<size_t>(text.size(), payload_size),
                out.begin() + static_cast<long>(payload_at));
    for (size_t i =
             payload_at + std::min<size_t>(text.size(), payload_size) + (port == 443 ? 5 : 0);
         i < out.size(); i += 8) {
      const uint64_t noise = Random();
      for (size_t b = 0; b < 8 && i + b < out.size(); ++b)
        out[i + b] = static_cast<uint8_t>(noise >> (8 * b));
    }
    if (from_host) {
      EmitIp(true, kHost, server.address, 6, out, gap_us);
    } else {
      EmitIp(false, server.address, kHost, 6, out, gap_us);
    }
    const uint32_t advance =
        static_cast<uint32_t>(payload_size) + ((flags & (kSyn | kFin)) ? 1 : 0);
    (from_host ? host_seq : server_seq) += advance;
    host_clock += static_cast<uint32_t>(gap_us / 1000);
  };
  // One side sends `size` bytes in full segments; the other acknowledges every second one.
  auto transfer = [&](bool from_host, uint64_t size, const std::string& head) {
    int unacknowledged = 0;
    bool first = true;
    while (size > 0) {
      const uint64_t part = std::min<uint64_t>(size, kMss);
      size -= part;
      segment(from_host, kAck | (size == 0 ? kPsh : 0), part, kWireUs, first ? head : "");
      first = false;
      if (++unacknowledged == 2 || size == 0) {
        segment(!from_host, kAck, 0, size == 0 ? rtt / 2 : kWireUs / 4);
        unacknowledged = 0;
      }
    }
  };

  segment(true, kSyn, 0, rtt);
  segment(false, kSyn | kAck, 0, 150);
  segment(true, kAck, 0, 80);
  if (port == 443) {
    segment(true, kAck | kPsh, 517, rtt);                 // ClientHello
    transfer(false, Uniform(2800, 5200), std::string());  // ServerHello, certificates
    segment(true, kAck | kPsh, 80, rtt);                  // Finished
  }
  std::string request_head, response_head;
  if (port == 80) {
    request_head = "GET /index.html HTTP/1.1\r\nHost: " + std::string(server.name) +
                   "\r\nUser-Agent: Mozilla/5.0\r\nAccept: */*\r\n\r\n";
    response_head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                    std::to_string(response_bytes) + "\r\n\r\n";
  }
  transfer(true, request_bytes, request_head);
  transfer(false, response_bytes, response_head);
  segment(true, kFin | kAck, 0, rtt);
  segment(false, kFin | kAck, 0, 100);
  segment(true, kAck, 0, 50);
}

void TrafficGenerator::Ping(uint32_t address, int count) {
  const uint16_t identifier = static_cast<uint16_t>(Random());
  const uint64_t rtt = InLan(address) ? Uniform(200, 900) : Uniform(9000, 60000);
  for (int sequence = 1; sequence <= count; ++sequence) {
    for (const bool request : {true, false}) {
      std::vector<uint8_t> icmp;
      icmp.push_back(request ? 8 : 0);
      icmp.push_back(0);
      Put16(icmp, 0);
      Put16(icmp, identifier);
      Put16(icmp, static_cast<uint16_t>(sequence));
      for (uint8_t i = 0; i < 56; ++i)
        icmp.push_back(i < 8 ? static_cast<uint8_t>(now_us_ >> (8 * i)) : i);
      Set16(icmp, 2, InternetChecksum(icmp.data(), icmp.size()));
      if (request) {
        EmitIp(true, kHost, address, 1, icmp, rtt);
      } else {
        EmitIp(false, address, kHost, 1, icmp, 1000000 - rtt);
      }
    }
  }
}

void TrafficGenerator::Ntp() {
  std::vector<uint8_t> request;
  Put16(request, 123);
  Put16(request, 123);
  Put16(request, 56);
  Put16(request, 0);
  request.push_back(0x23);  // version 4, client
  request.resize(56, 0);
  std::vector<uint8_t> reply = request;
  reply[8] = 0x24;  // version 4, server
  reply[9] = 2;     // stratum
  EmitIp(true, kHost, kNtpServer, 17, request, Uniform(15000, 40000));
  EmitIp(false, kNtpServer, kHost, 17, reply, 1000);
}

std::vector<uint8_t> PcapFileHeader(uint32_t snap_length) {
  std::vector<uint8_t> out;
  PutLe32(out, 0xA1B2C3D4);
  PutLe32(out, 2 | 4u << 16);  // version 2.4
  PutLe32(out, 0);             // time zone
  PutLe32(out, 0);             // accuracy
  PutLe32(out, snap_length);
  PutLe32(out, 1);  // Ethernet
  return out;
}

std::vector<uint8_t> PcapRecord(const DemoFrame& frame, uint32_t snap_length) {
  const uint32_t length = static_cast<uint32_t>(frame.bytes.size());
  const uint32_t kept = std::min(length, snap_length);
  std::vector<uint8_t> out;
  out.reserve(16 + kept);
  PutLe32(out, frame.seconds);
  PutLe32(out, frame.microseconds);
  PutLe32(out, kept);
  PutLe32(out, length);
  out.insert(out.end(), frame.bytes.begin(), frame.bytes.begin() + kept);
  return out;
}

}  // namespace flowsentry::demo
