#include "driver/runtime/sources/adapter_profile.h"

#include <gtest/gtest.h>

#include <vector>

namespace flowsentry::ndis {
namespace {

AdapterProfile Profile(NDIS_MEDIUM medium) {
  AdapterProfile p;
  p.medium = medium;
  p.mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
  p.description = "veth0 (veth)";
  p.mtu = 1500;
  return p;
}

struct Answer {
  NDIS_STATUS status;
  std::vector<uint8_t> data;
  uint32_t needed;
};

Answer Query(const AdapterProfile& profile, NDIS_OID oid, uint32_t length,
             const AdapterCounters& counters = {}, const AdapterSettings& settings = {}) {
  std::vector<uint8_t> buffer(length, 0xEE);
  uint32_t written = 99, needed = 99;
  NDIS_STATUS status =
      AnswerQuery(profile, counters, settings, oid, buffer.data(), length, &written, &needed);
  EXPECT_LE(written, length);
  buffer.resize(written);
  return {status, buffer, needed};
}

std::vector<uint8_t> Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

const std::vector<uint8_t> kMac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};

TEST(AnswerQueryTest, TheListingsQueriesPerMedium) {
  struct Case {
    NDIS_MEDIUM medium;
    NDIS_OID oid;
    NDIS_STATUS status;
    std::vector<uint8_t> data;
  } cases[] = {
      {NdisMedium802_3, OID_GEN_MEDIA_IN_USE, NDIS_STATUS_SUCCESS, Le32(0)},
      {NdisMediumWan, OID_GEN_MEDIA_IN_USE, NDIS_STATUS_SUCCESS, Le32(3)},
      {NdisMediumLoopback, OID_GEN_MEDIA_IN_USE, NDIS_STATUS_SUCCESS, Le32(17)},
      {NdisMedium802_3, OID_802_3_CURRENT_ADDRESS, NDIS_STATUS_SUCCESS, kMac},
      {NdisMedium802_3, OID_802_3_PERMANENT_ADDRESS, NDIS_STATUS_SUCCESS, kMac},
      {NdisMediumWan, OID_WAN_CURRENT_ADDRESS, NDIS_STATUS_SUCCESS, kMac},
      {NdisMedium802_5, OID_802_5_CURRENT_ADDRESS, NDIS_STATUS_SUCCESS, kMac},
      {NdisMediumFddi, OID_FDDI_LONG_CURRENT_ADDR, NDIS_STATUS_SUCCESS, kMac},
      // An address OID of another medium is not this adapter's.
      {NdisMediumWan, OID_802_3_CURRENT_ADDRESS, NDIS_STATUS_NOT_SUPPORTED, {}},
      {NdisMedium802_3, OID_WAN_CURRENT_ADDRESS, NDIS_STATUS_NOT_SUPPORTED, {}},
      {NdisMedium802_3, 0x00FFFFFF, NDIS_STATUS_NOT_SUPPORTED, {}},
      {NdisMedium802_3, OID_GEN_MAC_OPTIONS, NDIS_STATUS_SUCCESS, Le32(0x0D)},
      {NdisMedium802_3, OID_GEN_MEDIA_CONNECT_STATUS, NDIS_STATUS_SUCCESS, Le32(0)},
      {NdisMedium802_3, OID_GEN_MAXIMUM_TOTAL_SIZE, NDIS_STATUS_SUCCESS, Le32(1514)},
      {NdisMediumFddi, OID_GEN_MAXIMUM_TOTAL_SIZE, NDIS_STATUS_SUCCESS, Le32(1513)},
      {NdisMedium802_3, OID_GEN_VENDOR_ID, NDIS_STATUS_SUCCESS, {0x02, 0x00, 0x5E, 0x00}},
      {NdisMedium802_3, OID_PNP_CAPABILITIES, NDIS_STATUS_SUCCESS, std::vector<uint8_t>(16, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "medium " << c.medium << " oid " << std::hex << c.oid);
    Answer a = Query(Profile(c.medium), c.oid, 64);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.data, c.data);
  }
}

TEST(AnswerQueryTest, ShortBuffersDescriptionsAndState) {
  AdapterProfile p = Profile(NdisMedium802_3);
  // Short buffers are refused with the size needed, and nothing is written.
  Answer a = Query(p, OID_802_3_CURRENT_ADDRESS, 5);
  EXPECT_EQ(a.status, NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.needed, 6u);
  EXPECT_TRUE(a.data.empty());

  a = Query(p, OID_GEN_VENDOR_DESCRIPTION, 256);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(std::string(a.data.begin(), a.data.end()), std::string("veth0 (veth)\0", 13));
  // A long description is cut so that it always fits the listing's 256 bytes with its zero.
  p.description = std::string(400, 'd');
  a = Query(p, OID_GEN_VENDOR_DESCRIPTION, 256);
  EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(a.data.size(), 256u);
  EXPECT_EQ(a.data.back(), 0);

  p.connected = false;
  EXPECT_EQ(Query(p, OID_GEN_MEDIA_CONNECT_STATUS, 4).data, Le32(1));

  // Counters come in 4 bytes when 4 are offered, else in 8.
  AdapterCounters counters{0x1'0000'0002, 7};
  EXPECT_EQ(Query(p, OID_GEN_XMIT_OK, 4, counters).data, Le32(2));
  EXPECT_EQ(Query(p, OID_GEN_XMIT_OK, 8, counters).data,
            (std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Query(p, OID_GEN_RCV_OK, 8, counters).data.front(), 7);

  // The supported list names the medium's own address OIDs and no other medium's.
  Answer list = Query(Profile(NdisMediumWan), OID_GEN_SUPPORTED_LIST, 1024);
  ASSERT_EQ(list.status, NDIS_STATUS_SUCCESS);
  std::vector<NDIS_OID> oids;
  for (size_t i = 0; i + 4 <= list.data.size(); i += 4) {
    oids.push_back(list.data[i] | list.data[i + 1] << 8 | list.data[i + 2] << 16 |
                   static_cast<uint32_t>(list.data[i + 3]) << 24);
  }
  EXPECT_NE(std::find(oids.begin(), oids.end(), OID_WAN_CURRENT_ADDRESS), oids.end());
  EXPECT_EQ(std::find(oids.begin(), oids.end(), OID_802_3_CURRENT_ADDRESS), oids.end());
  for (NDIS_OID oid : oids) {
    if (oid == OID_GEN_PROTOCOL_OPTIONS || oid == OID_PNP_SET_POWER) continue;  // set only
    EXPECT_NE(Query(Profile(NdisMediumWan), oid, 1024).status, NDIS_STATUS_NOT_SUPPORTED)
        << std::hex << oid;
  }
}

TEST(AnswerSetTest, SettingsAreKeptAndCheckedAndAnsweredLater) {
  AdapterProfile p = Profile(NdisMedium802_3);
  AdapterSettings settings;
  uint32_t read = 0, needed = 0;
  std::vector<uint8_t> filter = Le32(0x0B);
  EXPECT_EQ(AnswerSet(p, settings, OID_GEN_CURRENT_PACKET_FILTER, filter.data(), 4, &read, &needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 4u);
  EXPECT_EQ(Query(p, OID_GEN_CURRENT_PACKET_FILTER, 4, {}, settings).data, filter);
  EXPECT_EQ(AnswerSet(p, settings, OID_GEN_CURRENT_PACKET_FILTER, filter.data(), 3, &read, &needed),
            NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(needed, 4u);

  std::vector<uint8_t> lookahead = Le32(9000);  // above the MTU
  EXPECT_EQ(AnswerSet(p, settings, OID_GEN_CURRENT_LOOKAHEAD, lookahead.data(), 4, &read, &needed),
            NDIS_STATUS_INVALID_DATA);
  lookahead = Le32(256);
  EXPECT_EQ(AnswerSet(p, settings, OID_GEN_CURRENT_LOOKAHEAD, lookahead.data(), 4, &read, &needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Query(p, OID_GEN_CURRENT_LOOKAHEAD, 4, {}, settings).data, Le32(256));

  std::vector<uint8_t> list(12, 0x01);
  EXPECT_EQ(AnswerSet(p, settings, OID_802_3_MULTICAST_LIST, list.data(), 12, &read, &needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Query(p, OID_802_3_MULTICAST_LIST, 64, {}, settings).data, list);
  EXPECT_EQ(AnswerSet(p, settings, OID_802_3_MULTICAST_LIST, list.data(), 7, &read, &needed),
            NDIS_STATUS_INVALID_LENGTH);
  std::vector<uint8_t> too_many(33 * 6, 0x01);
  EXPECT_EQ(AnswerSet(p, settings, OID_802_3_MULTICAST_LIST, too_many.data(),
                      static_cast<uint32_t>(too_many.size()), &read, &needed),
            NDIS_STATUS_MULTICAST_FULL);
  EXPECT_EQ(AnswerSet(p, settings, 0x00FFFFFF, list.data(), 4, &read, &needed),
            NDIS_STATUS_NOT_SUPPORTED);
}

TEST(MacTextTest, ParseAndFormat) {
  EXPECT_EQ(ParseMac("02:00:5e:00:53:0A"), (MacAddress{2, 0, 0x5E, 0, 0x53, 0x0A}));
  EXPECT_EQ(ParseMac("02-00-5E-00-53-0a"), (MacAddress{2, 0, 0x5E, 0, 0x53, 0x0A}));
  for (const char* bad : {"", "02:00:5e:00:53", "02:00:5e:00:53:0a:", "02:00-5e:00:53:0a",
                          "02:00:5e:00:53:0g", "020:0:5e:00:53:0a"}) {
    EXPECT_FALSE(ParseMac(bad).has_value()) << bad;
  }
  EXPECT_EQ(FormatMac({0x02, 0x00, 0x5E, 0x00, 0x53, 0x0A}), "02-00-5E-00-53-0A");
  EXPECT_EQ(MediumName(NdisMedium802_5), "802.5");
  EXPECT_EQ(MediumName(NdisMediumLoopback), "Loopback");
  EXPECT_EQ(MediumName(static_cast<NDIS_MEDIUM>(42)), "medium 42");
}

}  // namespace
}  // namespace flowsentry::ndis
