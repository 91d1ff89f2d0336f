#include "platform/registry_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::platform {
namespace {

constexpr char kKey[] = "SOFTWARE\\Ardentiaware\\FlowSentry";

std::vector<uint8_t> Bytes(std::string_view s, bool terminate = false) {
  std::vector<uint8_t> out(s.begin(), s.end());
  if (terminate) out.push_back(0);
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const RegistryValue* Find(const RegistryFile& file, std::string_view key, std::string_view name) {
  const auto* values = file.Values(key);
  if (values == nullptr) return nullptr;
  const auto it = values->find(std::string(name));
  return it == values->end() ? nullptr : &it->second;
}

// What regedit writes for a key with every kind of value, CR LF line ends and all.
constexpr char kExport[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; exported for the test\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n"
    "@=\"the default\"\r\n"
    "\"DESTPATH\"=\"/opt/flowsentry\"\r\n"
    "\"STRINGCONNECT\"=\"Data Source=C:\\\\db\\\\\\\"packets\\\".mdb\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"Count\"=dword:0000000a\r\n"
    "\"Blob\"=hex:01,02,ff,\\\r\n"
    "  10,20\r\n"
    "\"Expand\"=hex(2):25,53,59,53,25,00\r\n"
    "\"Multi\"=hex(7):61,00,\\\r\n"
    "  62,00,\\\r\n"
    "  00\r\n"
    "\"NoBytes\"=hex:\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Bindings\\eth0]\r\n"
    "\"UpperBindings\"=\"fs_eth0\"\r\n";

TEST(RegistryFileTest, ReadsWhatRegeditWrites) {
  const RegistryFile file = RegistryFile::Parse(kExport);
  ASSERT_TRUE(file.valid());
  struct Case {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"", REG_SZ, Bytes("the default", true)},
      {"destpath", REG_SZ, Bytes("/opt/flowsentry", true)},
      {"stringconnect", REG_SZ, Bytes("Data Source=C:\\db\\\"packets\".mdb", true)},
      {"empty", REG_SZ, Bytes("", true)},
      {"count", REG_DWORD, {10, 0, 0, 0}},
      {"blob", REG_BINARY, {0x01, 0x02, 0xff, 0x10, 0x20}},
      {"expand", REG_EXPAND_SZ, Bytes("%SYS%", true)},
      {"multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
      {"nobytes", REG_BINARY, {}},
  };
  for (const Case& c : cases) {
    const RegistryValue* value = Find(file, kKey, c.name);
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(value->data, c.data) << c.name;
  }
  EXPECT_EQ(file.Values(kKey)->size(), std::size(cases));
  ASSERT_NE(Find(file, "SYSTEM\\Bindings\\eth0", "upperbindings"), nullptr);
}

TEST(RegistryFileTest, KeysCompareWithoutCaseAndParentsExist) {
  const RegistryFile file = RegistryFile::Parse(kExport);
  EXPECT_TRUE(file.HasKey("software\\ARDENTIAWARE\\flowsentry"));
  EXPECT_TRUE(file.HasKey("\\SOFTWARE\\Ardentiaware\\FlowSentry\\"));
  EXPECT_TRUE(file.HasKey("SOFTWARE\\Ardentiaware"));  // a parent of a key in the file
  EXPECT_TRUE(file.HasKey("SOFTWARE"));
  EXPECT_TRUE(file.HasKey(""));  // HKEY_LOCAL_MACHINE itself
  EXPECT_NE(file.Values("SOFTWARE"), nullptr);
  EXPECT_TRUE(file.Values("SOFTWARE")->empty());
  EXPECT_FALSE(file.HasKey("SOFTWARE\\Ardentia"));  // a prefix of a name is not a parent
  EXPECT_FALSE(file.HasKey("SOFTWARE\\Ardentiaware\\FlowSentry\\Sub"));
  EXPECT_FALSE(file.HasKey("SOFTWARE\\\\Ardentiaware"));
  EXPECT_EQ(file.Values("SOFTWARE\\Other"), nullptr);
}

TEST(RegistryFileTest, SkipsMalformedLinesAndKeepsTheRest) {
  const RegistryFile file = RegistryFile::Parse(
      "REGEDIT4\n"
      "\"Orphan\"=\"before any key\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
      "\"Good1\"=\"one\"\n"
      "\"Unterminated\"=\"no closing quote\n"
      "\"Trailing\"=\"text\" junk\n"
      "\"NoEquals\" \"x\"\n"
      "\"BadDword\"=dword:xyz\n"
      "\"LongDword\"=dword:123456789\n"
      "\"BadHex\"=hex:1,2,zz\n"
      "\"WideHex\"=hex:123\n"
      // Far more digits than a 32-bit number holds: refused, without overflowing on the way
      // (the sanitizer build reads every digit).
      "\"LongHex\"=hex:01,0CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC\n"
      "\"BadType\"=hex(q):00\n"
      "\"Unknown\"=qword:1\n"
      "just some words\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\n"
      "\"Good2\"=\"two\"\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Test]\n"
      "\"User\"=\"ignored\"\n"
      "[HKEY_LOCAL_MACHINEX\\SOFTWARE\\Test]\n"
      "\"Lookalike\"=\"ignored\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
      "\"Good3\"=dword:00000003\n");
  ASSERT_TRUE(file.valid());
  const auto* values = file.Values("SOFTWARE\\Test");
  ASSERT_NE(values, nullptr);
  std::vector<std::string> names;
  for (const auto& [name, value] : *values) names.push_back(name);
  // Good2 stood after a broken key line, outside any key.
  EXPECT_EQ(names, (std::vector<std::string>{"good1", "good3"}));
}

// Every cut of a real export and bytes flipped anywhere in it: the reader must neither crash
// nor read outside the text (the sanitizer build watches), and an edit must still succeed.
TEST(RegistryFileTest, SurvivesTruncatedAndCorruptedFiles) {
  const std::string text = kExport;
  uint32_t seed = 12345;
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    std::string damaged = text.substr(0, cut);
    if (!damaged.empty()) {
      seed = seed * 1103515245u + 12345u;
      damaged[(seed >> 8) % damaged.size()] = static_cast<char>(seed >> 24);
    }
    for (const std::string& candidate : {text.substr(0, cut), damaged}) {
      const RegistryFile file = RegistryFile::Parse(candidate);
      (void)file.Values(kKey);
      std::string edited;
      if (file.valid()) {
        EXPECT_EQ(file.SetString(kKey, "DESTPATH", "/x", edited), ERROR_SUCCESS) << cut;
        const RegistryFile reread = RegistryFile::Parse(edited);
        const RegistryValue* value = Find(reread, kKey, "destpath");
        ASSERT_NE(value, nullptr) << cut;
        EXPECT_EQ(value->data, Bytes("/x", true)) << cut;
      }
    }
  }
}

TEST(RegistryFileTest, WholeFileValidity) {
  struct Case {
    const char* text;
    bool valid;
    bool has_key;
  };
  const Case cases[] = {
      {"", true, false},
      {"\r\n  \r\n", true, false},
      {"REGEDIT4", true, false},
      {"\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", true, true},
      {"; comment\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", true, true},
      {"[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"y\"\n", false, false},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n", false, false},
      {"REGEDIT5\n[HKEY_LOCAL_MACHINE\\A]\n", false, false},
      {"\x01\x02garbage", false, false},
  };
  for (const Case& c : cases) {
    const RegistryFile file = RegistryFile::Parse(c.text);
    EXPECT_EQ(file.valid(), c.valid) << c.text;
    EXPECT_EQ(file.HasKey("A"), c.has_key) << c.text;
  }
}

TEST(RegistryFileTest, LaterEntriesWinAndDeletionsApply) {
  const RegistryFile file = RegistryFile::Parse(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "\"v\"=\"first\"\n"
      "\"gone\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\A\\B]\n"
      "\"w\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\C]\n"
      "\"z\"=\"1\"\n"
      "[hkey_local_machine\\a]\n"
      "\"V\"=\"second\"\n"
      "\"gone\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\A\\B]\n"
      "[-HKEY_LOCAL_MACHINE\\C]\n"
      "[HKEY_LOCAL_MACHINE\\C]\n"
      "\"new\"=\"2\"\n");
  const RegistryValue* v = Find(file, "A", "v");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->data, Bytes("second", true));
  EXPECT_EQ(Find(file, "A", "gone"), nullptr);
  EXPECT_FALSE(file.HasKey("A\\B"));
  EXPECT_EQ(Find(file, "C", "z"), nullptr);
  EXPECT_NE(Find(file, "C", "new"), nullptr);
}

TEST(RegistryFileTest, SetStringEditsInPlaceAndKeepsTheRest) {
  const std::string before =
      "REGEDIT4\r\n"
      "\r\n"
      "; keep me\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
      "\"Blob\"=hex:01,\\\r\n"
      "  02\r\n"
      "\"Other\"=\"o\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Keep]\r\n"
      "\"u\"=\"u\"\r\n";
  const RegistryFile file = RegistryFile::Parse(before);
  std::string after;

  // Replacing a value that spans two lines puts one line in its place.
  ASSERT_EQ(file.SetString("software\\test", "BLOB", "now text", after), ERROR_SUCCESS);
  EXPECT_EQ(after,
            "REGEDIT4\r\n\r\n; keep me\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
            "\"BLOB\"=\"now text\"\r\n\"Other\"=\"o\"\r\n\r\n[HKEY_CURRENT_USER\\Keep]\r\n"
            "\"u\"=\"u\"\r\n");

  // A new value joins its key's section.
  ASSERT_EQ(file.SetString("SOFTWARE\\Test", "", "default", after), ERROR_SUCCESS);
  EXPECT_NE(after.find("\"Other\"=\"o\"\r\n@=\"default\"\r\n\r\n[HKEY_CURRENT_USER"),
            std::string::npos);

  // A new key is appended as a section of its own.
  ASSERT_EQ(file.SetString("SYSTEM\\Bindings\\eth0", "UpperBindings", "fs0", after), ERROR_SUCCESS);
  EXPECT_EQ(after.substr(before.size()),
            "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Bindings\\eth0]\r\n\"UpperBindings\"=\"fs0\"\r\n");
}

TEST(RegistryFileTest, SetStringRoundTripsAnyText) {
  const std::string values[] = {"plain",      "",
                                "C:\\path\\", "say \"hi\"",
                                "\\\"",       "two\r\nlines",
                                "a\nb",       std::string("zero\0byte", 9)};
  for (const std::string& value : values) {
    for (const char* start : {"", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"old\"\n"}) {
      std::string text;
      ASSERT_EQ(RegistryFile::Parse(start).SetString("K", "v", value, text), ERROR_SUCCESS);
      const RegistryFile reread = RegistryFile::Parse(text);
      ASSERT_TRUE(reread.valid());
      const RegistryValue* v = Find(reread, "K", "v");
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(v->type, REG_SZ);
      EXPECT_EQ(v->data, Bytes(value, true));
      EXPECT_EQ(reread.Values("K")->size(), 1u);
    }
  }
}

// A hex entry whose continuation backslash ends the file is unreadable; text appended after it
// must neither be taken into it nor turn it into a value.
TEST(RegistryFileTest, SetStringLeavesEveryOtherValueAsItWas) {
  const std::string head =
      "REGEDIT4\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\FlowSentry]\r\n"
      "\"Path\"=\"/opt\"\r\n";
  const std::string files[] = {
      head + "\"Bits\"=hex:01,02,\\\r",  // the fuzzer's find: a bare CR, no line end
      head + "\"Bits\"=hex:01,02,\\",
      head + "\"Bits\"=hex:01,02,\\\r\n",
      head + "\"Bits\"=hex:01,02\\",
      head + "\"Multi\"=hex(7):61,00,\\\r\n  62,00,\\",
      head + "[HKEY_CURRENT_USER\\X]\r\n\"Bits\"=hex:01,\\",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\FlowSentry]\n\"Bits\"=hex:01,\\",
      head + "\"Bits\"=hex:01,\\\r\n\r\n",  // continued onto a blank line: a value
      head + "\"Last\"=\"no line end\"",
  };
  struct Edit {
    const char* key;
    const char* name;
  };
  const Edit edits[] = {{"SOFTWARE\\FlowSentry", "New"},
                        {"SOFTWARE\\FlowSentry", "Path"},
                        {"SOFTWARE\\Other", "New"},
                        {"SOFTWARE\\FlowSentry\\Sub", "Path"}};
  const char* const keys[] = {"SOFTWARE\\FlowSentry", "SOFTWARE\\Other",
                              "SOFTWARE\\FlowSentry\\Sub"};
  const auto same = [](const RegistryValue& a, const RegistryValue& b) {
    return a.type == b.type && a.data == b.data;
  };
  for (const std::string& before_text : files) {
    const RegistryFile before = RegistryFile::Parse(before_text);
    for (const Edit& edit : edits) {
      SCOPED_TRACE(testing::Message() << edit.key << " " << edit.name << " in " << before_text);
      std::string text;
      ASSERT_EQ(before.SetString(edit.key, edit.name, "set", text), ERROR_SUCCESS);
      const RegistryFile after = RegistryFile::Parse(text);
      const RegistryValue* set = Find(after, edit.key, LowerCase(edit.name));
      ASSERT_NE(set, nullptr);
      EXPECT_EQ(set->data, Bytes("set", true));
      for (const char* key : keys) {
        std::map<std::string, RegistryValue> expected, actual;
        if (before.Values(key) != nullptr) expected = *before.Values(key);
        if (after.Values(key) != nullptr) actual = *after.Values(key);
        if (key == std::string_view(edit.key)) {
          expected.erase(LowerCase(edit.name));
          actual.erase(LowerCase(edit.name));
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), actual.begin(), actual.end(),
                               [&](const auto& a, const auto& b) {
                                 return a.first == b.first && same(a.second, b.second);
                               }))
            << key;
      }
    }
  }
}

TEST(RegistryFileTest, SetStringRefusesWhatTheFileCannotHold) {
  std::string text;
  const RegistryFile empty = RegistryFile::Parse("");
  EXPECT_EQ(empty.SetString("", "v", "x", text), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(empty.SetString("A\\\\B", "v", "x", text), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(empty.SetString("A]", "v", "x", text), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(empty.SetString("A", "line\nbreak", "x", text), ERROR_INVALID_PARAMETER);
  // Not a registry file: left alone rather than replaced.
  EXPECT_EQ(RegistryFile::Parse("some notes\n").SetString("A", "v", "x", text), ERROR_BADDB);
  // A new file starts with the header.
  ASSERT_EQ(empty.SetString("A", "v", "x", text), ERROR_SUCCESS);
  EXPECT_EQ(text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"x\"\r\n");
}

TEST(RegistryFileTest, SetStringKeepsLfLineEnds) {
  std::string text;
  ASSERT_EQ(
      RegistryFile::Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n").SetString("A", "v", "x", text),
      ERROR_SUCCESS);
  EXPECT_EQ(text, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n");
}

}  // namespace
}  // namespace flowsentry::platform
