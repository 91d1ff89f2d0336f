// For the fuzz targets: a property check that stops the run with a message, so that libFuzzer
// records the input as a crash. Kept out of the sanitizers' way: it aborts, it does not throw.
#ifndef FLOWSENTRY_FUZZ_FUZZ_CHECK_H_
#define FLOWSENTRY_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

namespace flowsentry::fuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Cuts the next piece off `rest` at the first `separator` (consumed); the whole rest when there
// is none. Lets one input carry several arguments.
inline std::string_view TakePiece(std::string_view& rest, char separator) {
  const size_t at = rest.find(separator);
  const std::string_view piece = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return piece;
}

}  // namespace flowsentry::fuzz

#endif  // FLOWSENTRY_FUZZ_FUZZ_CHECK_H_
