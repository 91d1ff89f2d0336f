// The connection string: any text parses into keys that are lower case and trimmed, and values
// that are trimmed unless quoted.
#include <string>

#include "fuzz/fuzz_check.h"
#include "service/db/db_engine.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry;
  const db::ConnectionProperties properties =
      db::ParseConnectionString(flowsentry::fuzz::AsText(data, size));
  for (const auto& [key, value] : properties) {
    FUZZ_CHECK(key.size() <= size && value.size() <= size);
    for (char c : key) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
    if (!key.empty()) FUZZ_CHECK(!IsBlank(key.front()) && !IsBlank(key.back()));
  }
  return 0;
}
