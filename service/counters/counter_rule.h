// Counter definitions: the in-memory form of one row of `counters` and how it is built from the
// row's parameters text.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_COUNTER_RULE_H_
#define FLOWSENTRY_SERVICE_COUNTERS_COUNTER_RULE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::counters {

using MacAddress = std::array<uint8_t, 6>;

// Ends the interface list: adapter 255 cannot be listed.
inline constexpr uint8_t kInterfaceListEnd = 255;
// Ends a MAC list: the address 00-00-00-00-00-00 cannot be listed.
inline constexpr MacAddress kMacListEnd = {0, 0, 0, 0, 0, 0};

// A counter whose state is this counts nothing.
inline constexpr uint8_t kStateStopped = 2;

// Address filter of one side. Addresses are IPv4 in network byte order (first octet first in
// memory). `list` absent means "no list", which is distinct from a list with no entries.
struct AddressFilter {
  std::optional<std::vector<uint32_t>> list;  // options 1, 2; option 3 keeps the network here
  uint32_t low = 0;                           // option 4
  uint32_t high = 0;                          // option 4
  uint32_t mask = 0;                          // option 3
};

// Port filter of one side; ports in host byte order.
struct PortFilter {
  std::optional<std::vector<uint16_t>> list;  // options 1, 2, 3, 4, 7
  uint16_t low = 0;                           // options 5, 6
  uint16_t high = 0;                          // options 5, 6
};

struct CounterRule {
  std::string name;

  // Adapter numbers; the first 255 ends the list wherever it stands. Never empty: a fresh rule
  // and an empty definition hold the end byte alone, which matches nothing.
  std::vector<uint8_t> interfaces{kInterfaceListEnd};

  // Absent: any MAC. Present: entries up to the first kMacListEnd, which is always stored last.
  std::optional<std::vector<MacAddress>> source_macs;
  std::optional<std::vector<MacAddress>> dest_macs;

  AddressFilter source_ip;
  uint8_t SourceIPoption = 0;
  uint16_t SourceCode = 0;

  AddressFilter dest_ip;
  uint8_t DestIPoption = 0;
  uint16_t DestCode = 0;

  PortFilter source_port;
  uint8_t SourcePortOption = 0;

  PortFilter dest_port;
  uint8_t DestPortOption = 0;

  uint16_t SourceProt = 0;
  uint16_t DestProt = 0;
  uint8_t SourceProt2 = 0;
  uint8_t DestProt2 = 0;

  uint8_t state = 0;
};

// A capture thread's rules, in the order the table yields its rows.
using CounterRuleArray = std::vector<std::unique_ptr<CounterRule>>;

// The value text of `key` in a parameters text, or the empty string. Items are separated by
// runs of ","; each is trimmed, and a blank item ends the search. Keys compare without regard
// to letter case; the value is everything after the item's first "=".
std::string_view GetParameterValue(std::string_view parameters, std::string_view key);

// Builds the rule of one stored row and appends it to `rules`. Numbers are read with the
// platform's atoi (platform/atoi.h), which saturates at the 32-bit limits, and keep the low bits
// of their field: 4294967297 gives 255 as an option byte and as an adapter number (which ends the
// interface list), 65535 as a port or EtherType.
void BuildCounterRule(std::string_view countername, uint8_t state, std::string_view parameters,
                      CounterRuleArray& rules);

// Builds a rule without appending it; what BuildCounterRule appends.
CounterRule MakeCounterRule(std::string_view countername, uint8_t state,
                            std::string_view parameters);

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_RULE_H_
