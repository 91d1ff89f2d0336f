// Whether one captured packet belongs to one counter.
//
// Every test only reads the rule and the record: no lock, no allocation, no I/O. Each capture
// thread runs them over its own rules.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_MATCHING_H_
#define FLOWSENTRY_SERVICE_COUNTERS_MATCHING_H_

#include <cstdint>

#include "service/counters/counter_rule.h"
#include "shared/packet_record.h"

namespace flowsentry::counters {

enum class Side { Source, Dest };

// The record's interface number, low 8 bits, is in the list before its end byte.
bool MatchInterface(const CounterRule& rule, uint16_t interface_number);

// No list on that side passes every MAC; otherwise the MAC is an entry before the end entry.
bool MatchMac(const CounterRule& rule, Side side, const uint8_t (&mac)[6]);

// `ether_type` as on the wire (two bytes, network order).
bool MatchEtherType(const CounterRule& rule, Side side, const uint8_t (&ether_type)[2]);

// `address` as on the wire (network order).
bool MatchAddress(const CounterRule& rule, Side side, const uint8_t (&address)[4]);

bool MatchProtocol(const CounterRule& rule, Side side, uint8_t protocol);

// `port` as on the wire (network order).
bool MatchPort(const CounterRule& rule, Side side, const uint8_t (&port)[2]);

// True if the rule counts the packet: the rule is not stopped and every side test passes, tested
// in a fixed order that stops at the first failure.
bool Matches(const CounterRule& rule, const PacketRecord& record);

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_MATCHING_H_
