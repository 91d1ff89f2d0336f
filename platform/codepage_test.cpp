#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

namespace flowsentry::platform {
namespace {

TEST(CodepageTest, Utf8ToCp1251) {
  struct Case {
    std::string utf8;
    std::string cp1251;
  };
  const Case cases[] = {
      {"", ""},
      {"Begin start", "Begin start"},
      {"Привет", "\xCF\xF0\xE8\xE2\xE5\xF2"},
      {"Ёж ёж", "\xA8\xE6 \xB8\xE6"},
      {"№ 5 – €", "\xB9 5 \x96 \x88"},
      {"Ошибка при добавлениии трафика в БД через ADO",
       "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xE4\xEE\xE1\xE0\xE2\xEB\xE5\xED\xE8\xE8\xE8 "
       "\xF2\xF0\xE0\xF4\xE8\xEA\xE0 \xE2 \xC1\xC4 \xF7\xE5\xF0\xE5\xE7 ADO"},
      // Characters the code page lacks.
      {"日本 x", "?? x"},
      {"\xF0\x9F\x98\x80!", "?!"},
      // Bytes that are not UTF-8 stand for themselves: text already in Windows-1251, a lone
      // continuation byte, a truncated or overlong sequence, an encoded surrogate.
      {"\xCF\xF0\xE8\xE2\xE5\xF2", "\xCF\xF0\xE8\xE2\xE5\xF2"},
      {"a\x80z", "a\x80z"},
      {"end \xD0", "end \xD0"},
      {"\xE2\x82", "\xE2\x82"},
      {"\xC0\xAF", "\xC0\xAF"},
      {"\xED\xA0\x80", "\xED\xA0\x80"},
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},
      {"Тест \xFF тест", "\xD2\xE5\xF1\xF2 \xFF \xF2\xE5\xF1\xF2"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251) << c.utf8;
}

}  // namespace
}  // namespace flowsentry::platform
