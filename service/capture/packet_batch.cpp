#include "service/capture/packet_batch.h"

#include "service/capture/packet_line.h"

namespace flowsentry::capture {

void PacketLineBatch::Add(const PacketRecord& record, uint32_t options) {
  AppendPacketLine(record, options, text_);
  lines_.push_back(
      {static_cast<uint32_t>(text_.size()), record.TimeSeconds, record.TimeMicroseconds});
}

void PacketLineBatch::Clear() {
  text_.clear();
  lines_.clear();
}

std::string_view PacketLineBatch::line(size_t i) const {
  const uint32_t begin = i == 0 ? 0 : lines_[i - 1].end;
  return std::string_view(text_).substr(begin, lines_[i].end - begin);
}

}  // namespace flowsentry::capture
