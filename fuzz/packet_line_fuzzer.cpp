// The packet line split again, as the packet log's table writer reads it: the tokens are pieces
// of the line, and the text columns fit their buffers.
#include "fuzz/fuzz_check.h"
#include "service/capture/packet_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry;
  const std::string_view line = fuzz::AsText(data, size);
  for (std::string_view token : capture::SplitPacketLine(line)) {
    FUZZ_CHECK(!token.empty());
    FUZZ_CHECK(token.data() >= line.data() &&
               token.data() + token.size() <= line.data() + line.size());
    FUZZ_CHECK(token.find_first_of("\" ") == std::string_view::npos);
  }
  const capture::PacketRow row = capture::ParsePacketLine(line);
  for (const std::string* text :
       {&row.time, &row.source_mac, &row.dest_mac, &row.source_ip, &row.dest_ip}) {
    FUZZ_CHECK(text->size() < capture::kPacketTextBufferSize);
  }
  for (uint32_t status : row.status) FUZZ_CHECK(status == 0);
  return 0;
}
