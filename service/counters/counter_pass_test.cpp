#include "service/counters/counter_pass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "service/counters/matching.h"

namespace flowsentry::counters {
namespace {

// Rules and records drawn from small pools of values, so that every test of every kind meets
// records that pass it, records that fail it and the edges between: the flattened pass must
// answer exactly as Matches does for every pair.
class Draw {
 public:
  explicit Draw(uint32_t seed) : random_(seed) {}

  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return values.begin()[Below(values.size())];
  }
  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  uint32_t Address() {
    const uint8_t a[4] = {Pick<uint8_t>({10, 172, 192, 169, 198}),
                          Pick<uint8_t>({16, 31, 168, 254, 0}), Pick<uint8_t>({0, 2, 100}),
                          Pick<uint8_t>({0, 1, 5, 9, 255})};
    uint32_t value;
    std::memcpy(&value, a, 4);
    return value;
  }
  uint16_t Port() { return Pick<uint16_t>({0, 53, 80, 443, 1000, 1001, 65535}); }
  MacAddress Mac() { return {0, 0, 0x5E, 0, 0x53, Pick<uint8_t>({0, 1, 2})}; }

  AddressFilter Addresses() {
    AddressFilter filter;
    if (Below(4) != 0) {
      filter.list.emplace();
      for (size_t n = Below(4); n > 0; --n) filter.list->push_back(Address());
    }
    filter.low = Below(3) == 0 ? 0 : Address();
    filter.high = Below(3) == 0 ? 0 : Address();
    filter.mask = Pick<uint32_t>({0, 0xFFFFFFFF, 0x00FFFFFF, 0x0000FFFF, 0x000000FF});
    return filter;
  }
  PortFilter Ports() {
    PortFilter filter;
    if (Below(4) != 0) {
      filter.list.emplace();
      for (size_t n = Below(4); n > 0; --n) filter.list->push_back(Port());
    }
    filter.low = Below(3) == 0 ? 0 : Port();
    filter.high = Below(3) == 0 ? 0 : Port();
    return filter;
  }
  std::optional<std::vector<MacAddress>> Macs() {
    if (Below(4) != 0) return std::nullopt;
    std::vector<MacAddress> list;
    for (size_t n = Below(3); n > 0; --n) list.push_back(Mac());
    list.push_back(kMacListEnd);
    return list;
  }

  CounterRule Rule() {
    CounterRule rule;
    rule.state = Pick<uint8_t>({0, 1, 0, 2});
    rule.interfaces.clear();
    for (size_t n = Below(4); n > 0; --n) rule.interfaces.push_back(Pick<uint8_t>({0, 0, 1, 255}));
    rule.interfaces.push_back(kInterfaceListEnd);
    rule.source_macs = Macs();
    rule.dest_macs = Macs();
    rule.SourceProt = Below(3) != 0 ? 0 : Pick<uint16_t>({0, 1, 2, 3, 4, 9});
    rule.DestProt = Below(3) != 0 ? 0 : Pick<uint16_t>({0, 1, 2, 3, 4, 9});
    rule.SourceCode = Pick<uint16_t>({0x0800, 0x86DD});
    rule.DestCode = Pick<uint16_t>({0x0800, 0x86DD});
    rule.SourceProt2 = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5});
    rule.DestProt2 = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5});
    rule.source_ip = Addresses();
    rule.dest_ip = Addresses();
    rule.SourceIPoption = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5, 6});
    rule.DestIPoption = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5, 6});
    rule.source_port = Ports();
    rule.dest_port = Ports();
    rule.SourcePortOption = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5, 6, 7, 8});
    rule.DestPortOption = Below(3) != 0 ? 0 : Pick<uint8_t>({0, 1, 2, 3, 4, 5, 6, 7, 8});
    return rule;
  }

  PacketRecord Record() {
    PacketRecord record;
    record.Interface = Pick<uint16_t>({0, 1, 3, 255, 256});
    record.PacketLength = 60;
    const MacAddress source = Mac();
    const MacAddress dest = Mac();
    std::memcpy(record.SourceMac, source.data(), 6);
    std::memcpy(record.DestMac, dest.data(), 6);
    const uint16_t type = Pick<uint16_t>({0x0800, 0x0806, 0x8035, 0x86DD});
    record.EtherType[0] = static_cast<uint8_t>(type >> 8);
    record.EtherType[1] = static_cast<uint8_t>(type);
    record.Protocol = Pick<uint8_t>({0, 1, 2, 6, 17});
    const uint32_t source_ip = Address();
    const uint32_t dest_ip = Address();
    std::memcpy(record.SourceIP, &source_ip, 4);
    std::memcpy(record.DestIP, &dest_ip, 4);
    for (uint8_t* port : {record.SourcePort, record.DestPort}) {
      const uint16_t value = Port();
      port[0] = static_cast<uint8_t>(value >> 8);
      port[1] = static_cast<uint8_t>(value);
    }
    return record;
  }

 private:
  std::mt19937 random_;
};

TEST(CounterPassTest, AnswersAsMatchesForEveryRuleAndRecord) {
  Draw draw(20261209);
  CounterRuleArray rules;
  for (int i = 0; i < 3000; ++i) {
    rules.push_back(i % 50 == 7 ? nullptr : std::make_unique<CounterRule>(draw.Rule()));
  }
  const CounterPass pass(rules);
  ASSERT_EQ(pass.size(), rules.size() - 60);
  std::vector<uint32_t> matched(pass.size());
  size_t matches = 0;
  for (int r = 0; r < 2000; ++r) {
    const PacketRecord record = draw.Record();
    std::vector<uint32_t> expected;
    for (size_t i = 0; i < rules.size(); ++i) {
      if (rules[i] != nullptr && Matches(*rules[i], record)) {
        expected.push_back(static_cast<uint32_t>(i));
      }
    }
    const size_t count = pass.Match(record, matched.data());
    ASSERT_EQ(std::vector<uint32_t>(matched.begin(), matched.begin() + count), expected)
        << "record " << r;
    matches += count;
  }
  // The pools must make matches common enough that the comparison means something.
  EXPECT_GT(matches, 2000u);
}

}  // namespace
}  // namespace flowsentry::counters
