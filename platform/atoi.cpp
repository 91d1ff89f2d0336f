#include "platform/atoi.h"

#include <algorithm>
#include <limits>

namespace flowsentry::platform {
namespace {

// White space of the "C" locale, the one the service runs in.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t Atoi(std::string_view text, bool* out_of_range) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The magnitude stops growing two past INT32_MAX: beyond the range on either side, while
  // INT32_MAX + 1 with a minus sign is still INT32_MIN itself.
  constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 2;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kCap);
  }
  const int64_t value = negative ? -magnitude : magnitude;
  const bool saturated =
      value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min();
  if (out_of_range != nullptr) *out_of_range = saturated;
  if (saturated) {
    return negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

}  // namespace flowsentry::platform
