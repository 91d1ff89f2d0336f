// The batch mode's counter pass: a thread's rules flattened into one contiguous table of plain
// tests, answering for every rule exactly what Matches answers, several times faster.
//
// Each rule's tests are pure, so their order does not change the answer: the table tests the
// cheap and selective ones first (a stopped rule, the adapter, EtherType, protocol, ports) and the
// addresses and MAC lists last. Lists stay where the rules keep them; the table points into them,
// so the rules must outlive it and stay unchanged.
//
// Threads: built and used by one capture thread; no lock, no allocation after construction.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PASS_H_
#define FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PASS_H_

#include <cstdint>
#include <vector>

#include "service/counters/counter_rule.h"
#include "shared/packet_record.h"

namespace flowsentry::counters {

class CounterPass {
 public:
  // One entry per non-empty entry of `rules`, keeping its index in the list.
  explicit CounterPass(const CounterRuleArray& rules);

  // Writes the list index of every rule that matches the record into `matched`, in list order,
  // and returns how many did; `matched` has room for size() indexes.
  size_t Match(const PacketRecord& record, uint32_t* matched) const;

  // The rules in the table: the non-empty entries of the list.
  size_t size() const { return entries_.size(); }

 private:
  // One side's address test.
  struct AddressTest {
    enum Kind : uint8_t { kAny, kNever, kList, kNetwork, kRange, kPublic } kind = kAny;
    uint32_t value = 0;  // kNetwork: network & mask, in memory order; kList: the only entry
    uint32_t mask = 0;   // kNetwork
    uint32_t low = 0;    // kRange, numeric order, both bounds excluded
    uint32_t high = 0;
    const uint32_t* list = nullptr;  // kList with more than one entry
    uint32_t count = 0;
  };

  // One side's port test.
  struct PortTest {
    enum Kind : uint8_t { kAny, kNever, kList, kInside, kOutside } kind = kAny;
    uint16_t low = 0;
    uint16_t high = 0;
    const uint16_t* list = nullptr;
    uint32_t count = 0;
  };

  struct Entry {
    bool never = false;
    uint64_t interfaces[4] = {};  // bit n: adapter n is listed before the list's end
    bool any_ether_type = true;
    uint16_t ether_type = 0;
    bool any_protocol = true;
    uint8_t protocol = 0;
    PortTest source_port;
    PortTest dest_port;
    AddressTest source_ip;
    AddressTest dest_ip;
    const std::vector<MacAddress>* source_macs = nullptr;  // null: any MAC
    const std::vector<MacAddress>* dest_macs = nullptr;
    uint32_t index = 0;
  };

  // The record's fields as the tests read them.
  struct Fields {
    uint8_t interface_number;
    uint16_t ether_type;
    uint8_t protocol;
    uint16_t source_port;
    uint16_t dest_port;
    uint32_t source_ip_memory;  // as stored, network order in memory
    uint32_t dest_ip_memory;
    uint32_t source_ip_number;  // first octet most significant
    uint32_t dest_ip_number;
    const uint8_t* source_mac;
    const uint8_t* dest_mac;
  };

  static Fields FieldsOf(const PacketRecord& record);
  static bool Test(const Entry& entry, const Fields& fields);

  std::vector<Entry> entries_;
};

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PASS_H_
