// The one decimal text-to-integer conversion of the programs, as 32-bit Windows' atoi reads a
// text: leading white space skipped, an optional sign, then decimal digits up to the first other
// character; no digits gives 0. A number beyond the 32-bit range saturates at INT32_MIN or
// INT32_MAX (where Windows' atoi also sets errno to ERANGE). Callers keep the result to their
// field's width by its low bits, so 4294967297 read into a byte gives 255 (the low 8 bits of
// 2147483647). Pure; safe from any thread.
#ifndef FLOWSENTRY_PLATFORM_ATOI_H_
#define FLOWSENTRY_PLATFORM_ATOI_H_

#include <cstdint>
#include <string_view>

namespace flowsentry::platform {

// The value of `text`; `out_of_range` (optional) is set to whether the number saturated.
int32_t Atoi(std::string_view text, bool* out_of_range = nullptr);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_ATOI_H_
