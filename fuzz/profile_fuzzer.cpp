// Profile files: the input's first line names the section, its second the key, the rest is the
// file's contents. A value found is a piece of the contents, and reads as a number.
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry::platform;
  std::string_view rest = flowsentry::fuzz::AsText(data, size);
  const std::string_view section = flowsentry::fuzz::TakePiece(rest, '\n');
  const std::string_view key = flowsentry::fuzz::TakePiece(rest, '\n');
  const auto value = FindProfileValue(rest, section, key);
  if (value.has_value()) {
    FUZZ_CHECK(rest.find(*value) != std::string_view::npos);
    const uint32_t number = ProfileInteger(*value);
    FUZZ_CHECK(number == 0 ||
               (!value->empty() && value->find_first_of("0123456789") != std::string_view::npos));
  }
  ProfileInteger(rest);
  return 0;
}
