#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/last_error.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

TEST(ProfileTest, FindProfileValue) {
  const std::string file =
      "; options\r\n"
      "[Other]\r\n"
      "countThread=99\r\n"
      "  [ thread ]  \r\n"
      "  COUNTTHREAD =  4 \r\n"
      "empty=\r\n"
      "quoted=\"12\"\r\n"
      "noequals\r\n"
      "[THREAD]\r\n"
      "late=7\n";
  struct Case {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"THREAD", "countThread", "4"},
      {"Thread", "COUNTthread", "4"},
      {"Other", "countThread", "99"},
      {"THREAD", "empty", ""},
      {"THREAD", "quoted", "12"},
      {"THREAD", "late", "7"},  // a second section of the name
      {"THREAD", "missing", std::nullopt},
      {"NONE", "countThread", std::nullopt},
      {"THREAD", "noequals", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindProfileValue(file, c.section, c.key), c.value) << c.section << "/" << c.key;
  }
  EXPECT_EQ(FindProfileValue("", "THREAD", "countThread"), std::nullopt);
}

TEST(ProfileTest, ProfileInteger) {
  struct Case {
    const char* text;
    uint32_t value;
  };
  const Case cases[] = {
      {"4", 4},
      {"+4", 4},
      {"007", 7},
      {"12abc", 12},
      {"abc", 0},
      {"-5", 0},
      {"-0", 0},
      {" 8 ", 8},
      {"4294967295", 4294967295u},
      {"99999999999", 4294967295u},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ProfileInteger(c.text), c.value) << c.text;
}

TEST(ProfileTest, GetPrivateProfileIntOnFiles) {
  testing::TempRoot root;
  ASSERT_TRUE(root.WriteFile("/d/flowmeter.cfg", "[THREAD]\r\ncountThread=4\r\nblank=\r\n"));
  ASSERT_TRUE(root.WriteFile("/d/empty.cfg", ""));
  struct Case {
    const char* file;
    const char* section;
    const char* key;
    uint32_t value;
  };
  const Case cases[] = {
      {"/d/flowmeter.cfg", "THREAD", "countThread", 4},
      {"/d/flowmeter.cfg", "thread", "countthread", 4},
      {"/d/flowmeter.cfg", "THREAD", "blank", 10},
      {"/d/flowmeter.cfg", "THREAD", "other", 10},
      {"/d/empty.cfg", "THREAD", "countThread", 10},
      {"/d/missing.cfg", "THREAD", "countThread", 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPrivateProfileInt(c.section, c.key, 10, c.file), c.value) << c.file << c.key;
  }
  SetLastError(0);
  GetPrivateProfileInt("THREAD", "countThread", 10, "/d/missing.cfg");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace flowsentry::platform
