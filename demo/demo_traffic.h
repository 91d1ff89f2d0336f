// The demo's traffic: the frames one host's adapter sees in a working morning, generated from a
// fixed seed so that every run yields the same frames, and the counts the demo's counters must
// reach when the frames are accounted.
//
// The host 192.0.2.10 sits in the LAN 192.0.2.0/24 behind the gateway 192.0.2.1, which also
// answers DNS; it browses web servers in 198.51.100.0/24 and 203.0.113.0/24 over HTTPS and HTTP,
// copies files from a LAN file server, pings, asks a time server, and hears the LAN's ARP.
// Every address is a documentation address, every MAC address lies in 00-00-5E-00-53-xx.
//
// Pure logic: no I/O. Not thread-safe; one generator per thread.
#ifndef FLOWSENTRY_DEMO_DEMO_TRAFFIC_H_
#define FLOWSENTRY_DEMO_DEMO_TRAFFIC_H_

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace flowsentry::demo {

// The names of the demo's counters, as the demo script defines them.
inline constexpr char kAllTraffic[] = "all traffic";
inline constexpr char kWebSent[] = "web sent by 192.0.2.10";
inline constexpr char kWebReceived[] = "web received by 192.0.2.10";
inline constexpr char kDnsQueries[] = "dns queries";
inline constexpr char kDnsAnswers[] = "dns answers";
inline constexpr char kArp[] = "arp";
inline constexpr char kIcmp[] = "icmp";
inline constexpr char kToPublic[] = "sent to public addresses";
inline constexpr char kWithinLan[] = "within 192.0.2.0/24";

struct DemoFrame {
  uint32_t seconds = 0;  // since 1970-01-01 UTC
  uint32_t microseconds = 0;
  std::vector<uint8_t> bytes;  // the whole frame, as on the wire
};

struct Tally {
  uint64_t packets = 0;
  uint64_t bytes = 0;
  bool operator==(const Tally&) const = default;
};

// Frames in time order. Next() hands them out one by one; Counts() holds, for every demo
// counter, the packets and bytes of the frames handed out so far that the counter must count.
class TrafficGenerator {
 public:
  explicit TrafficGenerator(uint64_t seed);

  DemoFrame Next();
  const std::map<std::string, Tally>& Counts() const { return counts_; }

 private:
  struct Peer;
  struct Pending {
    DemoFrame frame;
    std::vector<const char*> counters;
  };

  // One activity of the host, appended to the queue.
  void Step();
  void Arp(bool host_asks);
  void DnsLookup(const std::string& name, uint32_t address);
  void TcpSession(const Peer& server, uint16_t port, uint64_t request_bytes,
                  uint64_t response_bytes);
  void Ping(uint32_t address, int count);
  void Ntp();

  // Random numbers from the generator's own sequence (splitmix64): the same on every platform.
  uint64_t Random();
  uint64_t Uniform(uint64_t low, uint64_t high);  // low..high, both included
  bool Chance(unsigned percent);

  // Appends one frame at the current time and advances the clock by `gap_us`.
  void Emit(std::vector<uint8_t> bytes, std::vector<const char*> counters, uint64_t gap_us);
  // An IPv4 frame from `source` to `destination` (both host order) carrying `transport`, whose
  // checksum it fills in; the counters it belongs to follow from its addresses and ports.
  void EmitIp(bool from_host, uint32_t source, uint32_t destination, uint8_t protocol,
              const std::vector<uint8_t>& transport, uint64_t gap_us);

  uint64_t state_;
  uint64_t now_us_;
  uint16_t ip_id_ = 1;
  uint16_t next_port_ = 49152;
  std::deque<Pending> queue_;
  std::map<std::string, Tally> counts_;
  std::map<std::string, bool> resolved_;
};

// The 24-byte header of a classic libpcap file (microsecond times, Ethernet, little-endian)
// whose records keep at most `snap_length` bytes of each frame.
std::vector<uint8_t> PcapFileHeader(uint32_t snap_length);
// One record of that file: its 16-byte header and the frame's first `snap_length` bytes; the
// frame's full length stays in the header.
std::vector<uint8_t> PcapRecord(const DemoFrame& frame, uint32_t snap_length);

// The Internet checksum (RFC 1071) of `bytes`, started from `sum`.
uint16_t InternetChecksum(const uint8_t* bytes, size_t size, uint32_t sum = 0);

}  // namespace flowsentry::demo

#endif  // FLOWSENTRY_DEMO_DEMO_TRAFFIC_H_
