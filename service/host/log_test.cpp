#include "service/host/log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/last_error.h"
#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "service/host/config.h"

namespace flowsentry::host {
namespace {

using platform::testing::TempRoot;

TEST(FormatLogLineTest, Bytes) {
  struct Case {
    int32_t code;
    std::string text;
    std::string line;
  };
  const Case cases[] = {
      {0, "Begin start", "Time: 06.12.26 21:30:05 Code: 0 Text: Begin start\r\n"},
      {-1, "Unable to read DESTPATH",
       "Time: 06.12.26 21:30:05 Code: -1 Text: Unable to read DESTPATH\r\n"},
      {183, "CreateDirectory return error",
       "Time: 06.12.26 21:30:05 Code: 183 Text: CreateDirectory return error\r\n"},
      // A code of 2^31 or more arrives as a negative 32-bit number.
      {static_cast<int32_t>(0x80000000u), "x",
       "Time: 06.12.26 21:30:05 Code: -2147483648 Text: x\r\n"},
      {static_cast<int32_t>(0xC0000001u), "x",
       "Time: 06.12.26 21:30:05 Code: -1073741823 Text: x\r\n"},
      {2147483647, "x", "Time: 06.12.26 21:30:05 Code: 2147483647 Text: x\r\n"},
      {0, "", "Time: 06.12.26 21:30:05 Code: 0 Text: \r\n"},
      // A text ending in a line break leaves an empty line behind it.
      {0, "two\r\nlines\r\n", "Time: 06.12.26 21:30:05 Code: 0 Text: two\r\nlines\r\n\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatLogLine("06.12.26 21:30:05", c.code, c.text), c.line) << c.text;
  }
  // Without a timestamp there are two blanks between "Time:" and "Code:".
  EXPECT_EQ(FormatLogLine("", 0, "a"), "Time:  Code: 0 Text: a\r\n");
}

TEST(LogTimestampTest, LocalTimePattern) {
  {
    const platform::testing::ScopedTimeZone zone("UTC0");
    EXPECT_EQ(LogTimestamp(1796592605), "06.12.26 21:30:05");
    EXPECT_EQ(LogTimestamp(0), "01.01.70 00:00:00");
  }
  const platform::testing::ScopedTimeZone zone("MSK-3");
  EXPECT_EQ(LogTimestamp(1796592605), "07.12.26 00:30:05");
}

class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override { MutableSettings() = Settings(); }
  void TearDown() override { MutableSettings() = Settings(); }

  // The log's contents with each line's timestamp cut out, so that whole lines compare.
  std::string LinesAt(std::string_view machine_path) const {
    std::string contents = root_.ReadFile(machine_path);
    std::string out;
    size_t pos = 0;
    while (pos < contents.size()) {
      size_t end = contents.find("\r\n", pos);
      end = end == std::string::npos ? contents.size() : end + 2;
      std::string line = contents.substr(pos, end - pos);
      if (line.rfind("Time: ", 0) == 0) {
        const size_t code = line.find(" Code: ");
        if (code != std::string::npos) line = "Time: T" + line.substr(code);
      }
      out += line;
      pos = end;
    }
    return out;
  }

  TempRoot root_;
};

TEST_F(WriteLogTest, DriveRootWhileDestpathIsEmpty) {
  EXPECT_EQ(LogFilePath(), "/flowmeter.log");
  WriteLog("Unable to read DESTPATH", -1);
  EXPECT_EQ(LinesAt("/flowmeter.log"), "Time: T Code: -1 Text: Unable to read DESTPATH\r\n");
}

TEST_F(WriteLogTest, AppendsToTheLogInDestpath) {
  ASSERT_TRUE(root_.WriteFile("/opt/fs/flowmeter.log", "old line\r\n"));
  MutableSettings().DESTPATH = "/opt/fs";
  EXPECT_EQ(LogFilePath(), "/opt/fs/flowmeter.log");
  WriteLog("Begin Service main", 0);
  WriteLog("", 0);
  WriteLog("ends in a break\r\n", 5);
  EXPECT_EQ(LinesAt("/opt/fs/flowmeter.log"),
            "old line\r\n"
            "Time: T Code: 0 Text: Begin Service main\r\n"
            "Time: T Code: 0 Text: \r\n"
            "Time: T Code: 5 Text: ends in a break\r\n\r\n");
  EXPECT_FALSE(root_.Exists("/flowmeter.log"));
}

TEST_F(WriteLogTest, RussianTextIsWrittenInWindows1251) {
  MutableSettings().DESTPATH = "/d";
  ASSERT_TRUE(root_.WriteFile("/d/.keep", ""));
  WriteLog("Ошибка БД", -1);
  WriteLog("\xCE\xF8", -1);  // already single-byte: unchanged
  EXPECT_EQ(LinesAt("/d/flowmeter.log"),
            "Time: T Code: -1 Text: \xCE\xF8\xE8\xE1\xEA\xE0 \xC1\xC4\r\n"
            "Time: T Code: -1 Text: \xCE\xF8\r\n");
}

TEST_F(WriteLogTest, LineThatCannotBeWrittenIsDroppedAndLastErrorKept) {
  MutableSettings().DESTPATH = "/missing/folder";
  platform::SetLastError(1234);
  WriteLog("lost", 0);
  EXPECT_EQ(platform::GetLastError(), 1234u);
  EXPECT_FALSE(root_.Exists("/missing"));
}

TEST_F(WriteLogTest, SizeLimitAtStart) {
  MutableSettings().DESTPATH = "/d";
  struct Case {
    size_t size;
    bool survives;
  };
  const Case cases[] = {{0, true}, {65535, true}, {65536, false}, {200000, false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(root_.WriteFile("/d/flowmeter.log", std::string(c.size, 'x')));
    ApplyLogSizeLimit();
    EXPECT_EQ(root_.Exists("/d/flowmeter.log"), c.survives) << c.size;
  }
  // A missing log is no error; the next line starts a new file.
  ApplyLogSizeLimit();
  WriteLog("Begin Service main", 0);
  EXPECT_EQ(LinesAt("/d/flowmeter.log"), "Time: T Code: 0 Text: Begin Service main\r\n");
}

}  // namespace
}  // namespace flowsentry::host
