#include "driver/runtime/io/wire.h"

namespace flowsentry::ddk::wire {
namespace {

uint32_t Load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void Append32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

ParseResult ParseRequest(std::span<const uint8_t> bytes, Request& request, size_t& frame_length) {
  if (bytes.size() < kSizeFieldLength) return ParseResult::kIncomplete;
  const uint32_t size = Load32(bytes.data());
  // Checked before waiting for the rest, so that a bad size cannot make the reader buffer
  // gigabytes of a stream it will throw away.
  if (size < kRequestFixedLength || size - kRequestFixedLength > kMaxInputLength) {
    return ParseResult::kMalformed;
  }
  if (bytes.size() - kSizeFieldLength < size) return ParseResult::kIncomplete;
  const uint8_t* p = bytes.data() + kSizeFieldLength;
  request.id = Load32(p);
  request.op = p[4];
  request.code = Load32(p + 5);
  request.output_length = Load32(p + 9);
  request.input = bytes.subspan(kSizeFieldLength + kRequestFixedLength, size - kRequestFixedLength);
  frame_length = kSizeFieldLength + size;
  return ParseResult::kComplete;
}

void AppendRequest(std::vector<uint8_t>& out, uint32_t id, uint8_t op, uint32_t code,
                   uint32_t output_length, std::span<const uint8_t> input) {
  Append32(out, kRequestFixedLength + static_cast<uint32_t>(input.size()));
  Append32(out, id);
  out.push_back(op);
  Append32(out, code);
  Append32(out, output_length);
  out.insert(out.end(), input.begin(), input.end());
}

void AppendReply(std::vector<uint8_t>& out, uint32_t id, uint32_t status, uint32_t information,
                 std::span<const uint8_t> data) {
  Append32(out, kReplyFixedLength + static_cast<uint32_t>(data.size()));
  Append32(out, id);
  Append32(out, status);
  Append32(out, information);
  out.insert(out.end(), data.begin(), data.end());
}

}  // namespace flowsentry::ddk::wire
