#include "service/counters/matching.h"

#include <gtest/gtest.h>

#include <string>

namespace flowsentry::counters {
namespace {

PacketRecord Record() {
  PacketRecord r;
  r.Interface = 0;
  r.PacketLength = 60;
  const uint8_t dmac[6] = {0x02, 0, 0, 0, 0, 0x02};
  const uint8_t smac[6] = {0x00, 0x0C, 0x29, 0x3A, 0x4B, 0x5C};
  std::copy(dmac, dmac + 6, r.DestMac);
  std::copy(smac, smac + 6, r.SourceMac);
  r.EtherType[0] = 0x08;
  r.EtherType[1] = 0x00;
  r.Protocol = 6;
  const uint8_t src[4] = {192, 0, 2, 1};
  const uint8_t dst[4] = {198, 51, 100, 2};
  std::copy(src, src + 4, r.SourceIP);
  std::copy(dst, dst + 4, r.DestIP);
  r.SourcePort[0] = 0xC8;
  r.SourcePort[1] = 0x22;
  r.DestPort[0] = 0x00;
  r.DestPort[1] = 0x50;
  return r;
}

void SetAddress(uint8_t (&field)[4], uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  field[0] = a;
  field[1] = b;
  field[2] = c;
  field[3] = d;
}

void SetNet16(uint8_t (&field)[2], uint16_t v) {
  field[0] = static_cast<uint8_t>(v >> 8);
  field[1] = static_cast<uint8_t>(v);
}

// Parameters all on interface 0, plus `extra`.
bool MatchesWith(const std::string& extra, const PacketRecord& record) {
  return Matches(MakeCounterRule("c", 0, "Interface=0|," + extra), record);
}

TEST(MatchesTest, StateAndInterface) {
  PacketRecord r = Record();
  EXPECT_TRUE(Matches(MakeCounterRule("c", 0, "Interface=0|"), r));
  EXPECT_TRUE(Matches(MakeCounterRule("c", 1, "Interface=0|"), r));
  EXPECT_TRUE(Matches(MakeCounterRule("c", 3, "Interface=0|"), r));
  EXPECT_FALSE(Matches(MakeCounterRule("c", 2, "Interface=0|"), r));  // stopped
  EXPECT_FALSE(Matches(MakeCounterRule("c", 0, ""), r));              // empty list: nothing
  EXPECT_FALSE(Matches(MakeCounterRule("c", 0, "Interface=1|2|"), r));
  r.Interface = 257;  // only the low 8 bits are compared
  EXPECT_TRUE(Matches(MakeCounterRule("c", 0, "Interface=1|"), r));
  r.Interface = 2;
  EXPECT_TRUE(Matches(MakeCounterRule("c", 0, "Interface=1|2|"), r));
  EXPECT_FALSE(Matches(MakeCounterRule("c", 0, "Interface=1|255|2|"), r));  // 255 ends the list
  r.Interface = 255;
  EXPECT_FALSE(Matches(MakeCounterRule("c", 0, "Interface=255|"), r));
}

TEST(MatchesTest, MacLists) {
  const PacketRecord r = Record();
  struct Case {
    const char* parameters;
    bool passes;
  };
  const Case cases[] = {
      {"SourceMac=00-0C-29-3A-4B-5C", true},  // no list: any MAC
      {"SourceMac=00-0C-29-3A-4B-5C|", true},
      {"SourceMac=02-00-00-00-00-09|00-0C-29-3A-4B-5C|", true},
      {"SourceMac=00-0c-29-3a-4b-5c|", false},  // lower-case digits differ
      {"SourceMac=|", false},                   // only the end marker
      {"SourceMac=00-00-00-00-00-00|00-0C-29-3A-4B-5C|", false},
      {"DestMac=02-00-00-00-00-02|", true},
      {"DestMac=00-0C-29-3A-4B-5C|", false},  // each side reads its own field
      {"SourceMac=02-00-00-00-00-02|", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MatchesWith(c.parameters, r), c.passes) << c.parameters;
}

TEST(MatchesTest, EtherTypeSelectors) {
  struct Case {
    const char* parameters;
    uint16_t ether_type;
    bool passes;
  };
  const Case cases[] = {
      {"SourceProt=0", 0x1234, true},
      {"SourceProt=1", 0x0800, true},
      {"SourceProt=1", 0x0008, false},  // byte order: the wire holds 08 00
      {"SourceProt=1", 0x0806, false},
      {"SourceProt=2", 0x0806, true},
      {"SourceProt=2", 0x0800, false},
      {"SourceProt=3", 0x8035, true},
      {"SourceProt=3", 0x3580, false},
      {"SourceProt=4,SourceCode=2048", 0x0800, true},
      {"SourceProt=4,SourceCode=2048", 0x0806, false},
      {"SourceProt=4,SourceCode=0", 0x0000, true},
      {"SourceProt=4,SourceCode=0", 0x0800, false},
      {"SourceProt=100,SourceCode=34525", 0x86DD, true},
      {"DestProt=2", 0x0806, true},
      {"DestProt=4,DestCode=34525", 0x86DD, true},
      {"DestProt=4,DestCode=34525,SourceCode=2048", 0x0800, false},  // the side's own code
      // One field, two selectors: both must accept it.
      {"SourceProt=1,DestProt=2", 0x0800, false},
      {"SourceProt=1,DestProt=2", 0x0806, false},
  };
  for (const Case& c : cases) {
    PacketRecord r = Record();
    SetNet16(r.EtherType, c.ether_type);
    EXPECT_EQ(MatchesWith(c.parameters, r), c.passes) << c.parameters << " " << c.ether_type;
  }
}

TEST(MatchesTest, ProtocolSelectors) {
  struct Case {
    uint8_t selector;
    uint8_t protocol;
    bool passes;
  };
  const Case cases[] = {
      {0, 99, true}, {1, 6, true},  {1, 17, false}, {2, 17, true},  {2, 6, false},
      {3, 1, true},  {3, 2, false}, {4, 2, true},   {4, 1, false},  {5, 0, true},
      {5, 6, false}, {9, 0, true},  {9, 1, false},  {255, 0, true},
  };
  for (const Case& c : cases) {
    PacketRecord r = Record();
    r.Protocol = c.protocol;
    const std::string s = std::to_string(c.selector);
    EXPECT_EQ(MatchesWith("SourceProt2=" + s, r), c.passes) << "source " << s;
    EXPECT_EQ(MatchesWith("DestProt2=" + s, r), c.passes) << "dest " << s;
  }
}

TEST(MatchesTest, AddressOptions) {
  struct Case {
    const char* parameters;
    uint8_t a, b, c, d;
    bool passes;
  };
  const Case cases[] = {
      {"SourceIPoption=0,SourceIP=10.0.0.1|", 1, 2, 3, 4, true},
      {"SourceIPoption=1,SourceIP=10.0.0.1|10.0.0.2|", 10, 0, 0, 2, true},
      {"SourceIPoption=2,SourceIP=10.0.0.1|10.0.0.2|", 10, 0, 0, 1, true},
      {"SourceIPoption=1,SourceIP=10.0.0.1|10.0.0.2|", 10, 0, 0, 3, false},
      {"SourceIPoption=1,SourceIP=", 1, 2, 3, 4, true},  // no list: every address
      {"SourceIPoption=1,SourceIP=10.0.0.1", 1, 2, 3, 4, true},
      {"SourceIPoption=1,SourceIP=|", 1, 2, 3, 4, false},  // a list of no entries
      // Option 3: network and mask.
      {"SourceIPoption=3,SourceIP=192.168.1.0|255.255.255.0|", 192, 168, 1, 77, true},
      {"SourceIPoption=3,SourceIP=192.168.1.0|255.255.255.0|", 192, 168, 2, 77, false},
      {"SourceIPoption=3,SourceIP=192.168.1.0|", 8, 8, 8, 8, true},  // mask 0: everything
      {"SourceIPoption=3,SourceIP=192.168.1.0|255.255.0.255|", 192, 168, 9, 0, true},
      {"SourceIPoption=3,SourceIP=192.168.1.0|255.255.0.255|", 192, 168, 9, 1, false},
      {"SourceIPoption=3,SourceIP=", 8, 8, 8, 8, true},
      // Option 4: exclusive bounds in numeric address order.
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.5|", 10, 0, 0, 3, true},
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.5|", 10, 0, 0, 1, false},
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.5|", 10, 0, 0, 5, false},
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.5|", 10, 0, 1, 3, false},
      {"SourceIPoption=4,SourceIP=10.0.0.0|10.0.1.255|", 10, 0, 0, 200, true},
      {"SourceIPoption=4,SourceIP=10.0.0.0|10.0.1.255|", 10, 0, 5, 1, false},
      {"SourceIPoption=4,SourceIP=10.0.0.1|10.0.0.9|10.0.0.5|", 10, 0, 0, 7, false},
      {"SourceIPoption=4,SourceIP=", 1, 2, 3, 4, true},             // both bounds 0
      {"SourceIPoption=4,SourceIP=10.0.0.1|", 10, 0, 0, 2, false},  // high bound 0
      // Option 5: outside the private and link-local blocks, at their edges.
      {"DestIPoption=5", 172, 15, 255, 255, true},
      {"DestIPoption=5", 172, 16, 0, 0, false},
      {"DestIPoption=5", 172, 16, 0, 1, false},
      {"DestIPoption=5", 172, 31, 255, 255, false},
      {"DestIPoption=5", 172, 32, 0, 1, true},
      {"DestIPoption=5", 9, 255, 255, 255, true},
      {"DestIPoption=5", 10, 1, 2, 3, false},
      {"DestIPoption=5", 11, 0, 0, 0, true},
      {"DestIPoption=5", 192, 167, 255, 255, true},
      {"DestIPoption=5", 192, 168, 0, 1, false},
      {"DestIPoption=5", 192, 169, 0, 0, true},
      {"DestIPoption=5", 169, 253, 255, 255, true},
      {"DestIPoption=5", 169, 254, 1, 1, false},
      {"DestIPoption=5", 169, 255, 0, 0, true},
      {"DestIPoption=5", 100, 1, 2, 3, true},
      // Option 6 and above: nothing.
      {"SourceIPoption=6", 1, 2, 3, 4, false},
      {"SourceIPoption=200,SourceIP=1.2.3.4|", 1, 2, 3, 4, false},
  };
  for (const Case& c : cases) {
    PacketRecord r = Record();
    const bool dest = std::string(c.parameters).starts_with("Dest");
    SetAddress(dest ? r.DestIP : r.SourceIP, c.a, c.b, c.c, c.d);
    EXPECT_EQ(MatchesWith(c.parameters, r), c.passes)
        << c.parameters << " " << int{c.a} << "." << int{c.b} << "." << int{c.c} << "." << int{c.d};
  }
}

TEST(MatchesTest, AddressSidesAreIndependent) {
  PacketRecord r = Record();  // 192.0.2.1 -> 198.51.100.2
  EXPECT_TRUE(MatchesWith("SourceIPoption=1,SourceIP=192.0.2.1|", r));
  EXPECT_FALSE(MatchesWith("SourceIPoption=1,SourceIP=198.51.100.2|", r));
  EXPECT_TRUE(MatchesWith("DestIPoption=1,DestIP=198.51.100.2|", r));
  EXPECT_FALSE(MatchesWith("SourceIPoption=1,SourceIP=192.0.2.1|,DestIPoption=6", r));
}

TEST(MatchesTest, PortOptions) {
  struct Case {
    const char* parameters;
    uint16_t port;
    bool passes;
  };
  const Case cases[] = {
      {"DestPortOption=0,DestPort=80|", 9, true},
      {"DestPortOption=1,DestPort=80|443|", 443, true},
      {"DestPortOption=2,DestPort=80|443|", 80, true},
      {"DestPortOption=3,DestPort=80|443|", 81, false},
      {"DestPortOption=4,DestPort=80|443|", 443, true},
      {"DestPortOption=7,DestPort=80|443|", 443, true},
      {"DestPortOption=1,DestPort=", 9, true},    // no list
      {"DestPortOption=1,DestPort=|", 9, false},  // a list of no entries
      {"DestPortOption=5,DestPort=1024|2048|", 1025, true},
      {"DestPortOption=5,DestPort=1024|2048|", 2047, true},
      {"DestPortOption=5,DestPort=1024|2048|", 1024, false},
      {"DestPortOption=5,DestPort=1024|2048|", 2048, false},
      {"DestPortOption=5,DestPort=", 7, true},
      {"DestPortOption=5,DestPort=1024|", 2000, false},
      {"DestPortOption=6,DestPort=1024|2048|", 1023, true},
      {"DestPortOption=6,DestPort=1024|2048|", 2049, true},
      {"DestPortOption=6,DestPort=1024|2048|", 1024, false},
      {"DestPortOption=6,DestPort=1024|2048|", 2048, false},
      {"DestPortOption=6,DestPort=1024|2048|", 1500, false},
      {"DestPortOption=6,DestPort=", 1500, true},
      {"DestPortOption=8,DestPort=80|", 80, false},
      {"DestPortOption=255", 80, false},
  };
  for (const Case& c : cases) {
    PacketRecord r = Record();
    SetNet16(r.DestPort, c.port);
    EXPECT_EQ(MatchesWith(c.parameters, r), c.passes) << c.parameters << " port " << c.port;
  }
}

TEST(MatchesTest, PortsAreReadInNetworkOrder) {
  PacketRecord r = Record();
  r.SourcePort[0] = 0x01;
  r.SourcePort[1] = 0xBB;  // 443
  EXPECT_TRUE(MatchesWith("SourcePortOption=1,SourcePort=80|443|", r));
  r.SourcePort[0] = 0xBB;
  r.SourcePort[1] = 0x01;
  EXPECT_FALSE(MatchesWith("SourcePortOption=1,SourcePort=80|443|", r));
  // Ranges compare unsigned: 0xC822 = 51234 lies above 1024.
  SetNet16(r.SourcePort, 51234);
  EXPECT_TRUE(MatchesWith("SourcePortOption=5,SourcePort=1024|65535|", r));
}

TEST(MatchesTest, ArpIsTestedOnWhateverBytesLieThere) {
  PacketRecord arp = Record();
  SetNet16(arp.EtherType, 0x0806);
  EXPECT_TRUE(MatchesWith("SourceIPoption=1,SourceIP=192.0.2.1|", arp));
  EXPECT_FALSE(MatchesWith("SourceProt=1,SourceIPoption=1,SourceIP=192.0.2.1|", arp));
}

TEST(MatchesTest, ExampleDefinition) {
  const CounterRule rule = MakeCounterRule(
      "web", 0,
      "Interface=0|,SourceMac=,DestMac=,SourceProt=1,DestProt=1,SourceCode=0,DestCode=0,"
      "SourceIPoption=1,DestIPoption=5,SourceIP=192.0.2.1|,DestIP=,SourceProt2=1,DestProt2=1,"
      "SourcePortOption=0,DestPortOption=1,SourcePort=,DestPort=80|");
  PacketRecord r = Record();
  EXPECT_TRUE(Matches(rule, r));
  SetAddress(r.DestIP, 10, 0, 0, 1);  // inside a private block
  EXPECT_FALSE(Matches(rule, r));
  r = Record();
  r.Protocol = 17;
  EXPECT_FALSE(Matches(rule, r));
  r = Record();
  SetNet16(r.DestPort, 443);
  EXPECT_FALSE(Matches(rule, r));
  r = Record();
  r.Interface = 1;
  EXPECT_FALSE(Matches(rule, r));
}

}  // namespace
}  // namespace flowsentry::counters
