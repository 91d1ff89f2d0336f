#include "shared/device_wire.h"

#include <gtest/gtest.h>

#include <vector>

namespace flowsentry::wire {
namespace {

TEST(WireTest, RequestFramesParseWhenWhole) {
  std::vector<uint8_t> bytes;
  AppendRequest(bytes, 0x01020304, kOpDeviceControl, 0x12C810, 4, std::vector<uint8_t>{0x04});
  AppendRequest(bytes, 9, kOpCancel, 0, 0);
  // Little-endian throughout: size 14, then id.
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 9),
            (std::vector<uint8_t>{14, 0, 0, 0, 4, 3, 2, 1, kOpDeviceControl}));

  Request request;
  size_t length = 0;
  for (size_t cut = 0; cut < 18; ++cut) {
    EXPECT_EQ(ParseRequest(std::span(bytes).first(cut), request, length), ParseResult::kIncomplete)
        << cut;
  }
  ASSERT_EQ(ParseRequest(bytes, request, length), ParseResult::kComplete);
  EXPECT_EQ(length, 18u);
  EXPECT_EQ(request.id, 0x01020304u);
  EXPECT_EQ(request.code, 0x12C810u);
  EXPECT_EQ(request.output_length, 4u);
  EXPECT_EQ(std::vector<uint8_t>(request.input.begin(), request.input.end()),
            std::vector<uint8_t>{0x04});

  ASSERT_EQ(ParseRequest(std::span(bytes).subspan(length), request, length),
            ParseResult::kComplete);
  EXPECT_EQ(request.id, 9u);
  EXPECT_EQ(request.op, kOpCancel);
  EXPECT_TRUE(request.input.empty());
}

TEST(WireTest, ImpossibleSizesAreMalformedBeforeTheRestArrives) {
  Request request;
  size_t length = 0;
  const uint32_t too_big = kRequestFixedLength + kMaxInputLength + 1;
  for (uint32_t size : {0u, 12u, too_big, 0xFFFFFFFFu}) {
    const std::vector<uint8_t> bytes = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                                        static_cast<uint8_t>(size >> 16),
                                        static_cast<uint8_t>(size >> 24)};
    EXPECT_EQ(ParseRequest(bytes, request, length), ParseResult::kMalformed) << size;
  }
}

TEST(WireTest, ReplyLayout) {
  std::vector<uint8_t> bytes;
  AppendReply(bytes, 7, 0xC0000120, 50, std::vector<uint8_t>{0xAA, 0xBB});
  EXPECT_EQ(bytes, (std::vector<uint8_t>{14, 0, 0, 0, 7, 0, 0, 0, 0x20, 0x01, 0x00, 0xC0, 50, 0, 0,
                                         0, 0xAA, 0xBB}));
}

TEST(WireTest, ReplyHeadersReadBackAndRefuseImpossibleSizes) {
  std::vector<uint8_t> bytes;
  AppendReply(bytes, 7, 0xC0000120, 50, std::vector<uint8_t>{0xAA, 0xBB});
  ReplyHeader header;
  ASSERT_TRUE(ParseReplyHeader(std::span(bytes).first<kReplyHeaderLength>(), header));
  EXPECT_EQ(header.id, 7u);
  EXPECT_EQ(header.status, 0xC0000120u);
  EXPECT_EQ(header.information, 50u);
  EXPECT_EQ(header.data_length, 2u);

  const uint32_t too_big = kReplyFixedLength + kMaxOutputLength + 1;
  for (uint32_t size : {0u, 11u, too_big, 0xFFFFFFFFu}) {
    std::vector<uint8_t> head(kReplyHeaderLength);
    StoreLe32(head.data(), size);
    EXPECT_FALSE(ParseReplyHeader(std::span(head).first<kReplyHeaderLength>(), header)) << size;
  }
}

}  // namespace
}  // namespace flowsentry::wire
