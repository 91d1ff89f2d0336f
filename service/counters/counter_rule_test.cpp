#include "service/counters/counter_rule.h"

#include <gtest/gtest.h>

#include <cstring>

namespace flowsentry::counters {
namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

TEST(GetParameterValueTest, FindsKeysByTheItemRules) {
  struct Case {
    const char* parameters;
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"Interface=0|2|", "Interface", "0|2|"},
      {"interface=1|", "Interface", "1|"},                    // key case ignored
      {"INTERFACE=1|", "interface", "1|"},                    //
      {"Interface =1|", "Interface", ""},                     // blanks inside the key count
      {"  Interface=1|  ,DestIP=x", "Interface", "1|"},       // item trimmed at both ends
      {"A=1,A=2", "A", "1"},                                  // the first of two counts
      {"A=1,,,,B=2", "B", "2"},                               // runs of "," count as one
      {",,A=1", "A", "1"},                                    // leading separators skipped
      {"Interface=1|, ,SourceIP=10.0.0.1|", "SourceIP", ""},  // blank item ends the search
      {"Interface=1|,\t,SourceIP=10.0.0.1|", "SourceIP", ""},
      {"A=b=c", "A", "b=c"},  // value after the first "="
      {"A", "A", ""},         // no "=": empty key
      {"B=1", "A", ""},       // missing key
      {"", "A", ""},
      {"Ab=1,A=2", "A", "2"},   // no prefix matching
      {"A= 5 |", "A", " 5 |"},  // value unchanged inside
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetParameterValue(c.parameters, c.key), c.value)
        << "parameters '" << c.parameters << "' key " << c.key;
  }
}

TEST(BuildCounterRuleTest, FreshRuleHasNothing) {
  const CounterRule rule = MakeCounterRule("c", 0, "");
  EXPECT_EQ(rule.interfaces, std::vector<uint8_t>{kInterfaceListEnd});
  EXPECT_FALSE(rule.source_macs);
  EXPECT_FALSE(rule.dest_macs);
  EXPECT_FALSE(rule.source_ip.list);
  EXPECT_FALSE(rule.dest_port.list);
  EXPECT_EQ(rule.SourceIPoption, 0);
  EXPECT_EQ(rule.SourceProt, 0);
}

TEST(BuildCounterRuleTest, InterfaceLists) {
  struct Case {
    const char* parameters;
    std::vector<uint8_t> list;  // as stored, end byte included
  };
  const Case cases[] = {
      {"Interface=0|2|", {0, 2, 255}},
      {"Interface=3", {3, 255}},  // an unterminated last entry counts
      {"Interface=", {255}},
      {"Interface=|", {255}},
      {"Interface=1||2|", {1, 2, 255}},
      {"Interface=1| |2|", {1, 255}},  // a blank entry ends the list
      {"Interface= 4 |", {4, 255}},
      {"Interface=256|257|", {0, 1, 255}},  // kept to 8 bits
      {"Interface=x|", {0, 255}},
      {"Interface=255|", {255, 255}},  // stored, but ends the list where it stands
      {"Interface=1|255|2|", {1, 255, 2, 255}},
      // Past the 32-bit range a number saturates before it is kept to 8 bits: 2147483647 gives
      // 255, the end byte, and INT32_MIN gives 0 (not the low bits of a wider number: 1 and 255).
      {"Interface=4294967297|", {255, 255}},
      {"Interface=-4294967297|", {0, 255}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakeCounterRule("c", 0, c.parameters).interfaces, c.list) << c.parameters;
  }
}

TEST(BuildCounterRuleTest, MacLists) {
  struct Case {
    const char* value;
    std::optional<std::vector<MacAddress>> list;
  };
  const MacAddress end = kMacListEnd;
  const Case cases[] = {
      {"00-0C-29-3A-4B-5C", std::nullopt},  // no "|": no list, any MAC passes
      {"", std::nullopt},
      {"00-0C-29-3A-4B-5C|", {{{0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}, end}}},
      {"|", {{end}}},
      {"00-0c-29-3a-4b-5c|", {{{0x00, 0xFF, 0x29, 0x2F, 0x3F, 0x4F}, end}}},  // lower case is 255
      {"0-0C-29-3A-4B-5C|", {{{0xFF, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}, end}}},   // one-char group
      {"00x-0C-29-3A-4B-5CZZ|", {{{0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}, end}}},  // extra chars
      {"FF-FF-FF-FF-FF-FF|02-00-00-00-00-01|",
       {{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x02, 0, 0, 0, 0, 0x01}, end}}},
      // A missing group is two missing digits (16 * 255 + 255, kept to 8 bits); groups after the
      // sixth are ignored. A short entry thus never becomes the end marker.
      {"00-0C|", {{{0x00, 0x0C, 0xEF, 0xEF, 0xEF, 0xEF}, end}}},
      {"00-00-00-00-00|", {{{0, 0, 0, 0, 0, 0xEF}, end}}},
      {"00-0C-29-3A-4B-5C-6D|", {{{0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C}, end}}},
      // The all-zero address is the end marker wherever it stands.
      {"00-00-00-00-00-00|02-00-00-00-00-01|", {{end, {0x02, 0, 0, 0, 0, 0x01}, end}}},
  };
  for (const Case& c : cases) {
    const std::string source = std::string("SourceMac=") + c.value;
    EXPECT_EQ(MakeCounterRule("c", 0, source).source_macs, c.list) << c.value;
    const std::string dest = std::string("DestMac=") + c.value;
    EXPECT_EQ(MakeCounterRule("c", 0, dest).dest_macs, c.list) << c.value;
  }
}

TEST(BuildCounterRuleTest, NumbersKeptToTheirWidth) {
  const CounterRule rule = MakeCounterRule(
      "c", 7,
      "SourceProt=65537,DestProt=4,SourceCode=2048,DestCode=-1,SourceIPoption=258,"
      "DestIPoption=5,SourceProt2=1,DestProt2=300,SourcePortOption=6,DestPortOption=x");
  EXPECT_EQ(rule.state, 7);
  EXPECT_EQ(rule.SourceProt, 1);
  EXPECT_EQ(rule.DestProt, 4);
  EXPECT_EQ(rule.SourceCode, 2048);
  EXPECT_EQ(rule.DestCode, 65535);
  EXPECT_EQ(rule.SourceIPoption, 2);
  EXPECT_EQ(rule.DestIPoption, 5);
  EXPECT_EQ(rule.SourceProt2, 1);
  EXPECT_EQ(rule.DestProt2, 44);
  EXPECT_EQ(rule.SourcePortOption, 6);
  EXPECT_EQ(rule.DestPortOption, 0);

  // The same saturation as the configuration's values: every field keeps the low bits of
  // INT32_MAX or INT32_MIN.
  const CounterRule wide = MakeCounterRule(
      "c", 0,
      "SourceProt=4294967297,SourceCode=4294967297,SourceIPoption=4294967297,"
      "DestIPoption=-4294967297,SourcePortOption=1,SourcePort=4294967297|-4294967297|");
  EXPECT_EQ(wide.SourceProt, 65535);
  EXPECT_EQ(wide.SourceCode, 65535);
  EXPECT_EQ(wide.SourceIPoption, 255);
  EXPECT_EQ(wide.DestIPoption, 0);
  EXPECT_EQ(wide.source_port.list, (std::vector<uint16_t>{65535, 0}));
}

TEST(BuildCounterRuleTest, AddressFiltersByOption) {
  struct Case {
    const char* parameters;
    std::optional<std::vector<uint32_t>> list;
    uint32_t low, high, mask;
  };
  const Case cases[] = {
      {"SourceIPoption=1,SourceIP=10.0.0.1|10.0.0.2|",
       {{Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)}},
       0,
       0,
       0},
      {"SourceIPoption=2,SourceIP=10.0.0.1", std::nullopt, 0, 0, 0},  // no "|": not parsed
      {"SourceIPoption=1,SourceIP=|", {{}}, 0, 0, 0},                 // list of no entries
      {"SourceIPoption=1,SourceIP=junk|", {{0xFFFFFFFFu}}, 0, 0, 0},  // no address: all ones
      {"SourceIPoption=3,SourceIP=192.168.1.0|", {{Ip(192, 168, 1, 0)}}, 0, 0, 0},
      {"SourceIPoption=3,SourceIP=192.168.1.0|255.0.0.0|255.255.255.0|",
       {{Ip(192, 168, 1, 0)}},
       0,
       0,
       Ip(255, 255, 255, 0)},
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.9|10.0.0.5|", std::nullopt, Ip(10, 0, 0, 1),
       Ip(10, 0, 0, 5), 0},
      {"SourceIPoption=4,SourceIP=10.0.0.1|", std::nullopt, Ip(10, 0, 0, 1), 0, 0},
      {"SourceIPoption=0,SourceIP=10.0.0.1|", std::nullopt, 0, 0, 0},  // ignored
      {"SourceIPoption=5,SourceIP=10.0.0.1|", std::nullopt, 0, 0, 0},
      {"SourceIPoption=9,SourceIP=10.0.0.1|", std::nullopt, 0, 0, 0},
      // The option governs the value even when written after it.
      {"SourceIP=10.0.0.1|,SourceIPoption=1", {{Ip(10, 0, 0, 1)}}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const CounterRule rule = MakeCounterRule("c", 0, c.parameters);
    EXPECT_EQ(rule.source_ip.list, c.list) << c.parameters;
    EXPECT_EQ(rule.source_ip.low, c.low) << c.parameters;
    EXPECT_EQ(rule.source_ip.high, c.high) << c.parameters;
    EXPECT_EQ(rule.source_ip.mask, c.mask) << c.parameters;
    EXPECT_FALSE(rule.dest_ip.list) << c.parameters;
  }
  const CounterRule dest = MakeCounterRule("c", 0, "DestIPoption=1,DestIP=192.0.2.9|");
  EXPECT_EQ(dest.dest_ip.list, (std::vector<uint32_t>{Ip(192, 0, 2, 9)}));
  EXPECT_FALSE(dest.source_ip.list);
}

TEST(BuildCounterRuleTest, PortFiltersByOption) {
  struct Case {
    const char* parameters;
    std::optional<std::vector<uint16_t>> list;
    uint16_t low, high;
  };
  const Case cases[] = {
      {"DestPortOption=1,DestPort=80|443|", {{80, 443}}, 0, 0},
      {"DestPortOption=7,DestPort=80", {{80}}, 0, 0},      // a port value needs no "|"
      {"DestPortOption=3,DestPort=65616|", {{80}}, 0, 0},  // kept to 16 bits
      {"DestPortOption=4,DestPort=|", {{}}, 0, 0},
      {"DestPortOption=2,DestPort=", std::nullopt, 0, 0},
      {"DestPortOption=5,DestPort=1024|9|2048|", std::nullopt, 1024, 2048},
      {"DestPortOption=6,DestPort=1024|", std::nullopt, 1024, 0},
      {"DestPortOption=0,DestPort=80|", std::nullopt, 0, 0},
      {"DestPortOption=8,DestPort=80|", std::nullopt, 0, 0},
  };
  for (const Case& c : cases) {
    const CounterRule rule = MakeCounterRule("c", 0, c.parameters);
    EXPECT_EQ(rule.dest_port.list, c.list) << c.parameters;
    EXPECT_EQ(rule.dest_port.low, c.low) << c.parameters;
    EXPECT_EQ(rule.dest_port.high, c.high) << c.parameters;
    EXPECT_FALSE(rule.source_port.list) << c.parameters;
  }
}

TEST(BuildCounterRuleTest, CompleteDefinitionAppendsToTheArray) {
  CounterRuleArray rules;
  BuildCounterRule("first", 0, "Interface=1|", rules);
  BuildCounterRule(
      "web out", 1,
      "Interface=0|,SourceMac=,DestMac=,SourceProt=1,DestProt=1,SourceCode=0,DestCode=0,"
      "SourceIPoption=1,DestIPoption=5,SourceIP=192.168.0.10|,DestIP=,SourceProt2=1,DestProt2=1,"
      "SourcePortOption=0,DestPortOption=1,SourcePort=,DestPort=80|",
      rules);
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0]->name, "first");
  const CounterRule& rule = *rules[1];
  EXPECT_EQ(rule.name, "web out");
  EXPECT_EQ(rule.state, 1);
  EXPECT_EQ(rule.interfaces, (std::vector<uint8_t>{0, 255}));
  EXPECT_FALSE(rule.source_macs);
  EXPECT_EQ(rule.SourceProt, 1);
  EXPECT_EQ(rule.source_ip.list, (std::vector<uint32_t>{Ip(192, 168, 0, 10)}));
  EXPECT_EQ(rule.DestIPoption, 5);
  EXPECT_FALSE(rule.dest_ip.list);
  EXPECT_EQ(rule.SourceProt2, 1);
  EXPECT_EQ(rule.dest_port.list, (std::vector<uint16_t>{80}));
  EXPECT_FALSE(rule.source_port.list);
}

}  // namespace
}  // namespace flowsentry::counters
