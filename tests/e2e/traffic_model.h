// For the end-to-end tests: generated traffic and a model of what an operator expects of it.
// The model states each counter's rule the way the operator's guide reads it, as a predicate
// over the fields the driver takes from a frame; it shares no code with the service's matching.
#ifndef FLOWSENTRY_TESTS_E2E_TRAFFIC_MODEL_H_
#define FLOWSENTRY_TESTS_E2E_TRAFFIC_MODEL_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "driver/runtime/sources/testing/capture_file_writer.h"

namespace flowsentry::e2e {

// What the driver summarizes of one frame, read at the fixed Ethernet and IPv4 offsets whatever
// the frame carries (bytes past the frame's end read as 0). Numbers in host order.
struct Seen {
  uint16_t adapter = 0;
  std::array<uint8_t, 6> source_mac{};
  std::array<uint8_t, 6> dest_mac{};
  uint16_t ether_type = 0;
  uint8_t protocol = 0;
  uint32_t source_ip = 0;
  uint32_t dest_ip = 0;
  uint16_t source_port = 0;
  uint16_t dest_port = 0;
  uint32_t length = 0;
};

Seen Summarize(const std::vector<uint8_t>& frame, uint16_t adapter);

// One counter as the operator writes it, with the rule it stands for.
struct CounterCase {
  std::string name;
  std::string parameters;
  int state = 0;
  std::function<bool(const Seen&)> counts;
};

// Counters covering every key and option, for frames seen on adapter `adapter`.
std::vector<CounterCase> CounterCases(uint16_t adapter);

struct Counts {
  int64_t packets = 0;
  int64_t bytes = 0;
  bool operator==(const Counts&) const = default;
};

// Counts per counter name for the frames seen on the given adapter.
std::map<std::string, Counts> Expected(const std::vector<CounterCase>& cases,
                                       const std::vector<ndis::testing::CapturedFrame>& frames,
                                       uint16_t adapter);

// `count` frames of mixed kinds (IPv4 UDP, TCP, ICMP, IGMP, protocol 0, IPv4 with header
// options, ARP, RARP, IPv6) between the host 02-00-5E-00-53-10 / 192.0.2.10 and peers inside and
// outside the private ranges, with file times from `first_second` on, each frame a distinct
// microsecond. `seed` varies the mix.
std::vector<ndis::testing::CapturedFrame> MakeFrames(int count, uint32_t first_second,
                                                     uint32_t seed);

// Text forms of the packet line's fields.
std::string MacText(const std::array<uint8_t, 6>& mac);  // 02:00:5E:00:53:10
std::string IpText(uint32_t address);                    // dotted decimal
// "%H:%M:%S.<microseconds>" of a time in a zone `offset_seconds` east of UTC.
std::string TimeOfDay(uint32_t seconds, uint32_t microseconds, int offset_seconds);

// The packet line (all fields on) of a frame seen on `adapter`, without its line end.
std::string PacketLine(const ndis::testing::CapturedFrame& frame, uint16_t adapter,
                       int zone_offset_seconds);

}  // namespace flowsentry::e2e

#endif  // FLOWSENTRY_TESTS_E2E_TRAFFIC_MODEL_H_
