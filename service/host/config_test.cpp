#include "service/host/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::host {
namespace {

using platform::testing::TempRoot;

// A registry file with the key and the given value lines (each ending in CR LF).
std::string Registry(const std::string& values) {
  return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n" + values;
}

constexpr char kAllSix[] =
    "\"DIRPACKETS\"=\"/opt/fs/packets\"\r\n"
    "\"OPTIONS\"=\"257\"\r\n"
    "\"INTERVALCREATEFILE\"=\" -15min\"\r\n"
    "\"STRINGCONNECT\"=\"\"\r\n"
    "\"TABLENAME\"=\"packets\"\r\n"
    "\"DESTPACKETS\"=\"3rd\"\r\n";

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { MutableSettings() = Settings(); }
  void TearDown() override { MutableSettings() = Settings(); }
  TempRoot root_;
};

TEST(DecimalToInt32Test, AtoiConversion) {
  struct Case {
    const char* text;
    int32_t value;
  };
  const Case cases[] = {
      {"0", 0},
      {"42", 42},
      {"  \t7", 7},
      {"+8", 8},
      {"-15", -15},
      {"3abc", 3},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"-99999999999999999999", -2147483647 - 1},
  };
  for (const Case& c : cases) EXPECT_EQ(DecimalToInt32(c.text), c.value) << c.text;
}

TEST_F(ConfigTest, ReadRegistryValueFollowsTheRegistry) {
  std::string value = "stale";
  EXPECT_EQ(ReadRegistryValue(kConfigurationKey, "DESTPATH", value),
            platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, "");

  ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg",
                              Registry("\"DESTPATH\"=\"/opt/fs\"\r\n"
                                       "\"Fits\"=\"" +
                                       std::string(16382, 'a') +
                                       "\"\r\n"  // 16,383 bytes with its zero
                                       "\"TooLong\"=\"" +
                                       std::string(16383, 'b') +
                                       "\"\r\n"  // 16,384 bytes
                                       "\"Bytes\"=hex:41,42,00,43\r\n"
                                       "\"Number\"=dword:00000031\r\n")));
  struct Case {
    const char* key;
    const char* name;
    uint32_t error;
    std::string value;
  };
  const Case cases[] = {
      {kConfigurationKey, "DESTPATH", 0, "/opt/fs"},
      {"software\\ardentiaware\\flowsentry", "destpath", 0, "/opt/fs"},
      {kConfigurationKey, "Fits", 0, std::string(16382, 'a')},
      {kConfigurationKey, "TooLong", platform::ERROR_MORE_DATA, ""},
      {kConfigurationKey, "Bytes", 0, "AB"},  // a non-string value counts up to its first zero
      {kConfigurationKey, "Number", 0, "1"},
      {kConfigurationKey, "Missing", platform::ERROR_FILE_NOT_FOUND, ""},
      {"SOFTWARE\\Ardentiaware\\Other", "DESTPATH", platform::ERROR_FILE_NOT_FOUND, ""},
  };
  for (const Case& c : cases) {
    value = "stale";
    EXPECT_EQ(ReadRegistryValue(c.key, c.name, value), c.error) << c.name;
    EXPECT_EQ(value, c.value) << c.name;
  }
}

TEST_F(ConfigTest, ReadConfigurationConvertsAndStores) {
  ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg", Registry(kAllSix)));
  ASSERT_TRUE(ReadConfiguration());
  const Settings& s = settings();
  EXPECT_EQ(s.DIRPACKETS, "/opt/fs/packets");
  EXPECT_EQ(s.OPTIONS, 1);  // 257: low 8 bits
  EXPECT_EQ(s.INTERVALCREATEFILE, -15);
  EXPECT_EQ(s.STRINGCONNECT, "");  // an empty string is a value
  EXPECT_EQ(s.TABLENAME, "packets");
  EXPECT_EQ(s.DESTPACKETS, 3);
}

TEST_F(ConfigTest, NumberConversions) {
  struct Case {
    const char* options;
    const char* destpackets;
    uint8_t mask;
    uint8_t mode;
  };
  const Case cases[] = {
      {"256", "3abc", 0, 3}, {"257", "abc", 1, 0}, {"255", "2", 255, 2}, {"-1", "", 255, 0}};
  for (const Case& c : cases) {
    std::string six = kAllSix;
    six.replace(six.find("257"), 3, c.options);
    six.replace(six.find("3rd"), 3, c.destpackets);
    ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg", Registry(six)));
    ASSERT_TRUE(ReadConfiguration()) << c.options;
    EXPECT_EQ(settings().OPTIONS, c.mask) << c.options;
    EXPECT_EQ(settings().DESTPACKETS, c.mode) << c.destpackets;
  }
}

TEST_F(ConfigTest, FirstFailedReadStopsAndKeepsWhatWasRead) {
  std::string six = kAllSix;
  six.erase(six.find("\"TABLENAME\""), std::string("\"TABLENAME\"=\"packets\"\r\n").size());
  ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg", Registry(six)));
  MutableSettings().TABLENAME = "before";
  MutableSettings().DESTPACKETS = 9;
  EXPECT_FALSE(ReadConfiguration());
  const Settings& s = settings();
  EXPECT_EQ(s.DIRPACKETS, "/opt/fs/packets");
  EXPECT_EQ(s.OPTIONS, 1);
  EXPECT_EQ(s.INTERVALCREATEFILE, -15);
  EXPECT_EQ(s.STRINGCONNECT, "");
  EXPECT_EQ(s.TABLENAME, "before");
  EXPECT_EQ(s.DESTPACKETS, 9);  // after the failure: untouched
}

TEST_F(ConfigTest, ThreadCount) {
  MutableSettings().DESTPATH = "/opt/fs";
  struct Case {
    const char* cfg;  // nullptr: no file
    uint32_t count;
    bool logged;
  };
  const Case cases[] = {
      {nullptr, 15, false},
      {"", 10, false},
      {"[THREAD]\r\ncountThread=4\r\n", 4, false},
      {"[thread]\r\nCOUNTTHREAD=64\r\n", 64, false},
      {"[OTHER]\r\ncountThread=4\r\n", 10, false},
      {"[THREAD]\r\ncountThread=abc\r\n", 1, true},  // 0 threads: one
      {"[THREAD]\r\ncountThread=-3\r\n", 1, true},
      {"[THREAD]\r\ncountThread=65\r\n", 64, true},
      {"[THREAD]\r\ncountThread=99999999999\r\n", 64, true},
  };
  for (const Case& c : cases) {
    MutableSettings().countThread = 15;
    platform::testing::TempRoot root;
    ASSERT_TRUE(root.WriteFile("/opt/fs/.keep", ""));
    if (c.cfg != nullptr) {
      ASSERT_TRUE(root.WriteFile("/opt/fs/flowmeter.cfg", c.cfg));
    }
    EXPECT_EQ(ReadThreadCount(), c.count) << (c.cfg ? c.cfg : "none");
    EXPECT_EQ(settings().countThread, c.count);
    const std::string log = root.ReadFile("/opt/fs/flowmeter.log");
    EXPECT_EQ(log.find(" Code: -1 Text: countThread ") != std::string::npos, c.logged) << log;
  }
}

// [ACCOUNTING]: defaults without the file, section or key; letter case of the mode ignored; every
// unusable value named with its key and text, its default taken; the mode line at the end.
TEST_F(ConfigTest, AccountingSettings) {
  MutableSettings().DESTPATH = "/opt/fs";
  const std::string batch = "Accounting mode batch, flushInterval ";
  struct Case {
    const char* cfg;  // nullptr: no file
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {nullptr, {"Code: 0 Text: Accounting mode packet"}},
      {"[ACCOUNTING]\r\nmode=BaTcH\r\nflushInterval=\r\n",
       {"Code: 0 Text: " + batch + "1000 ms, readRecords 1024"}},
      {"[accounting]\r\nMODE=batch\r\nflushinterval=10\r\nreadRecords=25000\r\n",
       {"Code: 0 Text: " + batch + "10 ms, readRecords 25000"}},
      {"[ACCOUNTING]\r\nmode=fast\r\nflushInterval=abc\r\nreadRecords=25001\r\n",
       {"Code: -1 Text: Invalid value in flowmeter.cfg [ACCOUNTING] mode=fast, packet taken",
        "Code: -1 Text: Invalid value in flowmeter.cfg [ACCOUNTING] flushInterval=abc, 1000 taken",
        "Code: -1 Text: Invalid value in flowmeter.cfg [ACCOUNTING] readRecords=25001, 1024 taken",
        "Code: 0 Text: Accounting mode packet"}},
      {"[ACCOUNTING]\r\nmode=batch\r\nflushInterval=9\r\n",
       {"Code: -1 Text: Invalid value in flowmeter.cfg [ACCOUNTING] flushInterval=9, 1000 taken",
        "Code: 0 Text: " + batch + "1000 ms, readRecords 1024"}},
  };
  for (const Case& c : cases) {
    platform::testing::TempRoot root;
    ASSERT_TRUE(root.WriteFile("/opt/fs/.keep", ""));
    if (c.cfg != nullptr) {
      ASSERT_TRUE(root.WriteFile("/opt/fs/flowmeter.cfg", c.cfg));
    }
    ReadAccountingSettings();
    std::vector<std::string> lines;
    const std::string log = root.ReadFile("/opt/fs/flowmeter.log");
    for (size_t at = log.find(" Code: "); at != std::string::npos; at = log.find(" Code: ", at)) {
      const size_t end = log.find("\r\n", at);
      lines.push_back(log.substr(at + 1, end - at - 1));
      at = end;
    }
    EXPECT_EQ(lines, c.lines) << (c.cfg ? c.cfg : "none");
  }
}

}  // namespace
}  // namespace flowsentry::host
