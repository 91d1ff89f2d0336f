// Device replies as the device client reads them: a fixed head, then its data. Any byte stream
// splits into whole replies until it ends or turns malformed, and each reply, encoded again,
// gives back its own bytes.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "shared/device_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry::wire;
  std::span<const uint8_t> rest(data, size);
  while (rest.size() >= kReplyHeaderLength) {
    ReplyHeader header;
    if (!ParseReplyHeader(rest.first<kReplyHeaderLength>(), header)) break;
    FUZZ_CHECK(header.data_length <= kMaxOutputLength);
    if (rest.size() - kReplyHeaderLength < header.data_length) break;  // cut short
    const std::span<const uint8_t> reply_data =
        rest.subspan(kReplyHeaderLength, header.data_length);
    std::vector<uint8_t> again;
    AppendReply(again, header.id, header.status, header.information, reply_data);
    FUZZ_CHECK(again.size() == kReplyHeaderLength + header.data_length);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), rest.begin()));
    rest = rest.subspan(again.size());
  }
  return 0;
}
