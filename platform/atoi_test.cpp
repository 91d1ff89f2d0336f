// The decimal conversion at its edges: white space, signs, stray characters and both ends of
// the 32-bit range.
#include "platform/atoi.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace flowsentry::platform {
namespace {

TEST(AtoiTest, ReadsAsWindowsAtoi) {
  struct Case {
    const char* text;
    int32_t value;
    bool out_of_range;
  };
  constexpr int32_t kMax = 2147483647;
  constexpr int32_t kMin = -2147483647 - 1;
  const Case cases[] = {
      {"", 0, false},
      {"abc", 0, false},
      {"0", 0, false},
      {"80", 80, false},
      {" \t\n\v\f\r42", 42, false},
      {"+7", 7, false},
      {"-3", -3, false},
      {"12abc", 12, false},
      {"1 2", 1, false},
      {"- 3", 0, false},  // a sign must touch its digits
      {"+-3", 0, false},
      {"-", 0, false},
      {"0x1F", 0, false},
      {"000000000000000000042", 42, false},  // leading zeros never overflow
      {"2147483647", kMax, false},
      {"2147483648", kMax, true},
      {"4294967297", kMax, true},  // not the low 32 bits (1) of a wider number
      {"99999999999999999999999", kMax, true},
      {"-2147483648", kMin, false},
      {"-2147483649", kMin, true},
      {"-4294967297", kMin, true},
      {"-99999999999999999999999", kMin, true},
  };
  for (const Case& c : cases) {
    bool out_of_range = !c.out_of_range;
    EXPECT_EQ(Atoi(c.text, &out_of_range), c.value) << c.text;
    EXPECT_EQ(out_of_range, c.out_of_range) << c.text;
  }
  // What the narrow fields keep of a saturated number: the low bits of INT32_MAX or INT32_MIN.
  EXPECT_EQ(static_cast<uint8_t>(Atoi("4294967297")), 255);
  EXPECT_EQ(static_cast<uint16_t>(Atoi("4294967297")), 65535);
  EXPECT_EQ(static_cast<uint8_t>(Atoi("-4294967297")), 0);
  // Stops at the end of the view, not at a terminating zero.
  EXPECT_EQ(Atoi(std::string_view("123456", 3)), 123);
}

}  // namespace
}  // namespace flowsentry::platform
