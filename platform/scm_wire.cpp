#include "platform/scm_wire.h"

namespace flowsentry::platform::scm_wire {
namespace {

void AppendLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

Writer::Writer(uint8_t op) {
  bytes_.resize(kLengthField);
  bytes_.push_back(op);
}

Writer& Writer::U32(uint32_t value) {
  AppendLe32(bytes_, value);
  return *this;
}

Writer& Writer::Str(std::string_view value) {
  AppendLe32(bytes_, static_cast<uint32_t>(value.size()));
  bytes_.insert(bytes_.end(), value.begin(), value.end());
  return *this;
}

std::vector<uint8_t> Writer::Frame() const {
  std::vector<uint8_t> frame = bytes_;
  const auto length = static_cast<uint32_t>(frame.size() - kLengthField);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(length >> (8 * i));
  return frame;
}

Reader::Reader(std::span<const uint8_t> body) : body_(body) {
  if (body_.empty()) {
    ok_ = false;
    position_ = 0;
  } else {
    op_ = body_[0];
  }
}

bool Reader::U32(uint32_t& value) {
  if (!ok_ || body_.size() - position_ < 4) return ok_ = false;
  value = LoadLe32(body_.data() + position_);
  position_ += 4;
  return true;
}

bool Reader::Str(std::string& value, size_t max_length) {
  uint32_t length = 0;
  if (!U32(length)) return false;
  // Compared against what is left rather than added to the position, so that no length can
  // wrap the arithmetic.
  if (length > max_length || body_.size() - position_ < length) return ok_ = false;
  value.assign(reinterpret_cast<const char*>(body_.data() + position_), length);
  position_ += length;
  return true;
}

uint32_t BodyLength(const uint8_t* length_field) { return LoadLe32(length_field); }

}  // namespace flowsentry::platform::scm_wire
