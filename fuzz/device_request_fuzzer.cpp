// Device requests as the driver host reads them from a connection: any byte stream splits into
// whole frames until it ends or turns malformed, and each frame, encoded again, gives back its
// own bytes.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "shared/device_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry::wire;
  std::span<const uint8_t> rest(data, size);
  for (;;) {
    Request request;
    size_t frame_length = 0;
    const ParseResult result = ParseRequest(rest, request, frame_length);
    if (result != ParseResult::kComplete) break;
    FUZZ_CHECK(frame_length >= kSizeFieldLength + kRequestFixedLength &&
               frame_length <= rest.size());
    FUZZ_CHECK(request.input.size() == frame_length - kSizeFieldLength - kRequestFixedLength);
    FUZZ_CHECK(request.input.size() <= kMaxInputLength);
    std::vector<uint8_t> again;
    AppendRequest(again, request.id, request.op, request.code, request.output_length,
                  request.input);
    FUZZ_CHECK(again.size() == frame_length);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), rest.begin()));
    rest = rest.subspan(frame_length);
  }
  return 0;
}
