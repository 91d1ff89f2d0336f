#include "service/counters/counter_pass.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace flowsentry::counters {
namespace {

// The EtherType or protocol a side's selector asks for; nullopt for any.
std::optional<uint16_t> WantedEtherType(uint16_t selector, uint16_t code) {
  switch (selector) {
    case 0:
      return std::nullopt;
    case 1:
      return 0x0800;
    case 2:
      return 0x0806;
    case 3:
      return 0x8035;
    default:
      return code;
  }
}

std::optional<uint8_t> WantedProtocol(uint8_t selector) {
  switch (selector) {
    case 0:
      return std::nullopt;
    case 1:
      return 6;
    case 2:
      return 17;
    case 3:
      return 1;
    case 4:
      return 2;
    default:
      return 0;
  }
}

// Both sides' wishes at once: any, one value, or (two different values) nothing.
template <typename T>
void Combine(std::optional<T> source, std::optional<T> dest, bool& never, bool& any, T& value) {
  if (source && dest && *source != *dest) never = true;
  const std::optional<T> wanted = source ? source : dest;
  any = !wanted.has_value();
  value = wanted.value_or(0);
}

uint32_t NumberOf(uint32_t memory_order) {
  uint8_t b[4];
  std::memcpy(b, &memory_order, 4);
  return Net32(b);
}

}  // namespace

CounterPass::CounterPass(const CounterRuleArray& rules) {
  for (size_t i = 0; i < rules.size(); ++i) {
    const CounterRule* rule = rules[i].get();
    if (rule == nullptr) continue;
    Entry entry;
    entry.index = static_cast<uint32_t>(i);
    entry.never = rule->state == kStateStopped;
    for (const uint8_t number : rule->interfaces) {
      if (number == kInterfaceListEnd) break;
      entry.interfaces[number / 64] |= uint64_t{1} << (number % 64);
    }
    Combine(WantedEtherType(rule->SourceProt, rule->SourceCode),
            WantedEtherType(rule->DestProt, rule->DestCode), entry.never, entry.any_ether_type,
            entry.ether_type);
    Combine(WantedProtocol(rule->SourceProt2), WantedProtocol(rule->DestProt2), entry.never,
            entry.any_protocol, entry.protocol);

    const auto address_test = [](const AddressFilter& filter, uint8_t option) {
      AddressTest test;
      switch (option) {
        case 0:
          break;
        case 1:
        case 2:
          if (!filter.list) break;
          test.kind = AddressTest::kList;
          test.count = static_cast<uint32_t>(filter.list->size());
          test.list = filter.list->data();
          if (test.count == 1) test.value = filter.list->front();
          break;
        case 3:
          if (!filter.list) break;
          test.kind = AddressTest::kNetwork;
          test.mask = filter.mask;
          test.value = (filter.list->empty() ? 0 : filter.list->front()) & filter.mask;
          break;
        case 4:
          if (filter.low == 0 && filter.high == 0) break;
          test.kind = AddressTest::kRange;
          test.low = NumberOf(filter.low);
          test.high = NumberOf(filter.high);
          break;
        case 5:
          test.kind = AddressTest::kPublic;
          break;
        default:
          test.kind = AddressTest::kNever;
          break;
      }
      return test;
    };
    entry.source_ip = address_test(rule->source_ip, rule->SourceIPoption);
    entry.dest_ip = address_test(rule->dest_ip, rule->DestIPoption);

    const auto port_test = [](const PortFilter& filter, uint8_t option) {
      PortTest test;
      const bool no_bounds = filter.low == 0 && filter.high == 0;
      switch (option) {
        case 0:
          break;
        case 1:
        case 2:
        case 3:
        case 4:
        case 7:
          if (!filter.list) break;
          test.kind = PortTest::kList;
          test.list = filter.list->data();
          test.count = static_cast<uint32_t>(filter.list->size());
          break;
        case 5:
        case 6:
          if (no_bounds) break;
          test.kind = option == 5 ? PortTest::kInside : PortTest::kOutside;
          test.low = filter.low;
          test.high = filter.high;
          break;
        default:
          test.kind = PortTest::kNever;
          break;
      }
      return test;
    };
    entry.source_port = port_test(rule->source_port, rule->SourcePortOption);
    entry.dest_port = port_test(rule->dest_port, rule->DestPortOption);

    if (rule->source_macs) entry.source_macs = &*rule->source_macs;
    if (rule->dest_macs) entry.dest_macs = &*rule->dest_macs;
    entries_.push_back(entry);
  }
}

CounterPass::Fields CounterPass::FieldsOf(const PacketRecord& record) {
  Fields fields;
  fields.interface_number = static_cast<uint8_t>(record.Interface);
  fields.ether_type = Net16(record.EtherType);
  fields.protocol = record.Protocol;
  fields.source_port = Net16(record.SourcePort);
  fields.dest_port = Net16(record.DestPort);
  std::memcpy(&fields.source_ip_memory, record.SourceIP, 4);
  std::memcpy(&fields.dest_ip_memory, record.DestIP, 4);
  fields.source_ip_number = Net32(record.SourceIP);
  fields.dest_ip_number = Net32(record.DestIP);
  fields.source_mac = record.SourceMac;
  fields.dest_mac = record.DestMac;
  return fields;
}

namespace {

template <typename Test>
bool PortPasses(const Test& test, uint16_t port) {
  switch (test.kind) {
    case Test::kAny:
      return true;
    case Test::kList:
      return std::find(test.list, test.list + test.count, port) != test.list + test.count;
    case Test::kInside:
      return test.low < port && port < test.high;
    case Test::kOutside:
      return port < test.low || port > test.high;
    default:
      return false;
  }
}

template <typename Test>
bool AddressPasses(const Test& test, uint32_t memory, uint32_t number) {
  switch (test.kind) {
    case Test::kAny:
      return true;
    case Test::kList:
      if (test.count == 1) return memory == test.value;
      return std::find(test.list, test.list + test.count, memory) != test.list + test.count;
    case Test::kNetwork:
      return (memory & test.mask) == test.value;
    case Test::kRange:
      return test.low < number && number < test.high;
    case Test::kPublic: {
      const uint32_t a = number >> 24;
      const uint32_t b = (number >> 16) & 0xFF;
      return !(a == 10 || (a == 172 && (b & 0xF0) == 16) || (a == 192 && b == 168) ||
               (a == 169 && b == 254));
    }
    default:
      return false;
  }
}

bool MacPasses(const std::vector<MacAddress>* list, const uint8_t* mac) {
  if (list == nullptr) return true;
  for (const MacAddress& entry : *list) {
    if (entry == kMacListEnd) return false;
    if (std::equal(entry.begin(), entry.end(), mac)) return true;
  }
  return false;
}

}  // namespace

inline bool CounterPass::Test(const Entry& entry, const Fields& fields) {
  const uint8_t number = fields.interface_number;
  return !entry.never && (entry.interfaces[number / 64] >> (number % 64) & 1) != 0 &&
         (entry.any_ether_type || fields.ether_type == entry.ether_type) &&
         (entry.any_protocol || fields.protocol == entry.protocol) &&
         PortPasses(entry.dest_port, fields.dest_port) &&
         PortPasses(entry.source_port, fields.source_port) &&
         AddressPasses(entry.source_ip, fields.source_ip_memory, fields.source_ip_number) &&
         AddressPasses(entry.dest_ip, fields.dest_ip_memory, fields.dest_ip_number) &&
         MacPasses(entry.source_macs, fields.source_mac) &&
         MacPasses(entry.dest_macs, fields.dest_mac);
}

size_t CounterPass::Match(const PacketRecord& record, uint32_t* matched) const {
  const Fields fields = FieldsOf(record);
  size_t count = 0;
  for (const Entry& entry : entries_) {
    if (Test(entry, fields)) matched[count++] = entry.index;
  }
  return count;
}

}  // namespace flowsentry::counters
