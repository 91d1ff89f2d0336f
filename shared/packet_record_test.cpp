#include "shared/packet_record.h"

#include <gtest/gtest.h>

#include <array>

namespace flowsentry {
namespace {

// The record the driver makes of a TCP SYN from 192.0.2.1:51234 to 192.0.2.2:80, captured on
// interface 3 at 1788381184.123456 seconds past the epoch, frame of 74 bytes.
constexpr std::array<uint8_t, kPacketRecordSize> kSynRecord = {
    0x03, 0x00,                          // Interface 3
    0x00, 0x88, 0x98, 0x6A,              // 1788381184 s
    0x40, 0xE2, 0x01, 0x00,              // 123456 us
    0x4A, 0x00, 0x00, 0x00,              // 74 bytes
    0x02, 0x00, 0x00, 0x00, 0x00, 0x02,  // destination MAC
    0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // source MAC
    0x08, 0x00,                          // IPv4
    0x06,                                // TCP
    192,  0,    2,    1,                 // source address
    192,  0,    2,    2,                 // destination address
    0xC8, 0x22,                          // 51234
    0x00, 0x50,                          // 80
};

TEST(PacketRecordTest, DecodesWireLayout) {
  const auto record = DecodePacketRecord(kSynRecord);
  ASSERT_TRUE(record);
  EXPECT_EQ(uint16_t{record->Interface}, 3);
  EXPECT_EQ(uint32_t{record->TimeSeconds}, 0x6A988800u);
  EXPECT_EQ(uint32_t{record->TimeMicroseconds}, 123456u);
  EXPECT_EQ(uint32_t{record->PacketLength}, 74u);
  EXPECT_EQ(record->DestMac[5], 0x02);
  EXPECT_EQ(record->SourceMac[5], 0x01);
  EXPECT_EQ(Net16(record->EtherType), 0x0800);
  EXPECT_EQ(record->Protocol, 6);
  EXPECT_EQ(Net32(record->SourceIP), 0xC0000201u);
  EXPECT_EQ(Net32(record->DestIP), 0xC0000202u);
  EXPECT_EQ(Net16(record->SourcePort), 51234);
  EXPECT_EQ(Net16(record->DestPort), 80);
}

TEST(PacketRecordTest, EncodeIsTheInverseOfDecode) {
  std::array<uint8_t, kPacketRecordSize> out{};
  EncodePacketRecord(*DecodePacketRecord(kSynRecord), out);
  EXPECT_EQ(out, kSynRecord);
}

TEST(PacketRecordTest, DecodeUsesOnlyTheFirst41BytesOfARead) {
  std::array<uint8_t, 50> read_buffer;
  read_buffer.fill(0xEE);
  std::copy(kSynRecord.begin(), kSynRecord.end(), read_buffer.begin());
  const auto record = DecodePacketRecord(read_buffer);
  ASSERT_TRUE(record);
  EXPECT_EQ(Net16(record->DestPort), 80);
  EXPECT_FALSE(DecodePacketRecord(std::span(read_buffer).first(40)));
}

}  // namespace
}  // namespace flowsentry
