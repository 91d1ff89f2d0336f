// The packet line, the text writer with its rotation, and the packet table on SQLite files.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/files.h"
#include "platform/threads.h"
#include "service/capture/packet_batch.h"
#include "service/capture/packet_line.h"
#include "service/capture/testing/packet_log_testing.h"

namespace flowsentry::capture {
namespace {

using testing::kNoon;
using testing::PacketLogTest;
using testing::SampleRecord;

constexpr char kAllOn[] =
    "\"2\" \"12:00:00.50\" \"00:1A:2B:3C:4D:5E\" \"0A:0B:0C:0D:0E:0F\" \"2048\" \"192.0.2.10\" "
    "\"198.51.100.20\" \"8080\" \"80\" \"1514\"\r\n";
constexpr char kAllOff[] =
    "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"-\" \"-\" \"0\" \"0\" \"0\" \r\n";

TEST(PacketLineTest, EachOptionBitSwitchesOneField) {
  platform::testing::ScopedTimeZone zone("XYZ-3");
  struct Case {
    uint32_t options;
    const char* line;
  };
  const Case cases[] = {
      {0, kAllOff},
      {256, kAllOff},  // only the low 8 bits count
      {255, kAllOn},
      {0x1FF, kAllOn},
      {0x01,
       "\"2\" \"12:00:00.50\" \"00:1A:2B:3C:4D:5E\" \"-\" \"0\" \"-\" \"-\" \"0\" \"0\" \"0\" "
       "\r\n"},
      {0x02,
       "\"2\" \"12:00:00.50\" \"-\" \"0A:0B:0C:0D:0E:0F\" \"0\" \"-\" \"-\" \"0\" \"0\" \"0\" "
       "\r\n"},
      {0x04, "\"2\" \"12:00:00.50\" \"-\" \"-\" \"2048\" \"-\" \"-\" \"0\" \"0\" \"0\" \r\n"},
      {0x08, "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"192.0.2.10\" \"-\" \"0\" \"0\" \"0\" \r\n"},
      {0x10,
       "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"-\" \"198.51.100.20\" \"0\" \"0\" \"0\" \r\n"},
      {0x20, "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"-\" \"-\" \"8080\" \"0\" \"0\" \r\n"},
      {0x40, "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"-\" \"-\" \"0\" \"80\" \"0\" \r\n"},
      {0x80, "\"2\" \"12:00:00.50\" \"-\" \"-\" \"0\" \"-\" \"-\" \"0\" \"0\" \"1514\"\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PacketLine(SampleRecord(), c.options), c.line) << "OPTIONS " << c.options;
  }
}

TEST(PacketLineTest, TimeIsLocalWithUnpaddedMicroseconds) {
  platform::testing::ScopedTimeZone zone("XYZ-3");
  struct Case {
    uint32_t seconds;
    uint32_t microseconds;
    const char* field;
  };
  const Case cases[] = {
      {kNoon, 5, "\"12:00:00.5\""},
      {kNoon, 50, "\"12:00:00.50\""},
      {kNoon, 0, "\"12:00:00.0\""},
      {kNoon + 3599, 999999, "\"12:59:59.999999\""},
      {kNoon + 12 * 3600 + 1, 7, "\"00:00:01.7\""},
  };
  for (const Case& c : cases) {
    PacketRecord record = SampleRecord(c.microseconds);
    record.TimeSeconds = c.seconds;
    const std::string line = PacketLine(record, 0);
    EXPECT_EQ(line.substr(4, line.find(' ', 4) - 4), c.field);
  }
  platform::testing::ScopedTimeZone utc("UTC0");
  EXPECT_EQ(PacketLine(SampleRecord(), 0).substr(4, 13), "\"09:00:00.50\"");
}

TEST(PacketLineTest, ArpFrameShowsItsEtherTypeAndWhateverBytesItHolds) {
  platform::testing::ScopedTimeZone zone("XYZ-3");
  PacketRecord record = SampleRecord();
  record.Interface = 65535;
  record.PacketLength = 60;
  record.EtherType[0] = 0x08;
  record.EtherType[1] = 0x06;
  const uint8_t bytes[4] = {0x00, 0x01, 0x08, 0x00};
  std::copy_n(bytes, 4, record.SourceIP);
  record.SourcePort[0] = 0xFF;
  record.SourcePort[1] = 0xFF;
  EXPECT_EQ(PacketLine(record, 255),
            "\"65535\" \"12:00:00.50\" \"00:1A:2B:3C:4D:5E\" \"0A:0B:0C:0D:0E:0F\" \"2054\" "
            "\"0.1.8.0\" \"198.51.100.20\" \"65535\" \"80\" \"60\"\r\n");
}

// --- The text writer.

class PacketTextTest : public PacketLogTest {
 protected:
  static std::string Line(const char* text) { return std::string(text) + "\r\n"; }
  void Write(const char* text, uint32_t seconds, uint32_t microseconds = 0) {
    writePacketText(Line(text), seconds, microseconds, false);
  }
  std::vector<std::string> PacketFiles() const {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(root_->Host(testing::kPacketDir))) {
      const std::string name = entry.path().filename().string();
      if (name != ".keep") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(PacketTextTest, FirstLineAppendsAndTheIntervalCountsFromIt) {
  ASSERT_TRUE(root_->WriteFile(std::string(testing::kPacketDir) + "/out.log", Line("old")));
  Write("a", kNoon, 1);
  Write("b", kNoon + 30);
  Write("c", kNoon + 60);  // exactly the interval: not past it
  EXPECT_EQ(PacketFile("out.log"), Line("old") + Line("a") + Line("b") + Line("c"));

  Write("d", kNoon + 61, 7);  // closes the file under the name of this packet's time
  EXPECT_EQ(PacketFiles(), (std::vector<std::string>{"05_12_2006_12_01_01_7.pkt", "out.log"}));
  EXPECT_EQ(PacketFile("05_12_2006_12_01_01_7.pkt"),
            Line("old") + Line("a") + Line("b") + Line("c"));
  EXPECT_EQ(PacketFile("out.log"), Line("d"));

  Write("e", kNoon + 121);  // 60 s after d: same file
  Write("f", kNoon + 122, 123456);
  EXPECT_EQ(PacketFile("05_12_2006_12_02_02_123456.pkt"), Line("d") + Line("e"));
  EXPECT_EQ(PacketFile("out.log"), Line("f"));
  EXPECT_TRUE(LogEntries().empty() || LogEntries() == std::vector<std::string>{""});
}

TEST_F(PacketTextTest, ZeroIntervalRotatesAtEveryLaterSecond) {
  host::MutableSettings().INTERVALCREATEFILE = 0;
  Write("a", kNoon, 1);
  Write("b", kNoon, 2);  // same second: not later
  Write("c", kNoon + 1, 3);
  Write("d", kNoon + 2, 4);
  EXPECT_EQ(PacketFiles(), (std::vector<std::string>{"05_12_2006_12_00_01_3.pkt",
                                                     "05_12_2006_12_00_02_4.pkt", "out.log"}));
  EXPECT_EQ(PacketFile("05_12_2006_12_00_01_3.pkt"), Line("a") + Line("b"));
  EXPECT_EQ(PacketFile("05_12_2006_12_00_02_4.pkt"), Line("c"));
  EXPECT_EQ(PacketFile("out.log"), Line("d"));
}

TEST_F(PacketTextTest, HugeIntervalAndEarlierPacketsNeverRotate) {
  host::MutableSettings().INTERVALCREATEFILE = INT32_MAX;  // minutes: past 32 bits in seconds
  Write("a", kNoon, 1);
  Write("b", kNoon + 2000000000u);
  host::MutableSettings().INTERVALCREATEFILE = 1;
  Write("c", kNoon - 100000);  // before the stamp
  EXPECT_EQ(PacketFiles(), std::vector<std::string>{"out.log"});
  EXPECT_EQ(PacketFile("out.log"), Line("a") + Line("b") + Line("c"));
}

TEST_F(PacketTextTest, RefusedMoveLosesTheLineAndKeepsTheStamp) {
  Write("a", kNoon, 1);
  const std::string taken = std::string(testing::kPacketDir) + "/05_12_2006_12_01_01_7.pkt";
  ASSERT_TRUE(root_->WriteFile(taken, "someone else's"));
  ClearLog();

  Write("lost", kNoon + 61, 7);
  EXPECT_EQ(LogEntries(), std::vector<std::string>{Entry(-1, "error write to text fail")});
  EXPECT_EQ(root_->ReadFile(taken), "someone else's");
  EXPECT_EQ(PacketFile("out.log"), Line("a"));

  // The stamp is still the first line's, so a packet one second later rotates.
  Write("b", kNoon + 62, 8);
  EXPECT_EQ(PacketFile("05_12_2006_12_01_02_8.pkt"), Line("a"));
  EXPECT_EQ(PacketFile("out.log"), Line("b"));
  EXPECT_EQ(LogEntries().size(), 1u);
}

TEST_F(PacketTextTest, MissingDirectoryLogsEveryLostLine) {
  host::MutableSettings().DIRPACKETS = "/opt/flowsentry/nowhere";
  Write("a", kNoon, 1);
  Write("b", kNoon + 100, 2);  // a rotation that cannot move anything
  Write("c", kNoon + 101, 3);
  const std::string failed = Entry(-1, "error write to text fail");
  EXPECT_EQ(LogEntries(), (std::vector<std::string>{failed, failed, failed}));
  EXPECT_FALSE(root_->Exists("/opt/flowsentry/nowhere"));
}

TEST_F(PacketTextTest, CloseReleasesTheFileAndTheNextLineReopensIt) {
  Write("a", kNoon, 1);
  writePacketText("", 0, 0, true);
  writePacketText("", 0, 0, true);  // nothing open: nothing to do
  // Closed, the file can be opened by anyone, and is, without sharing: the writer then cannot.
  {
    platform::File other =
        platform::File::Open(std::string(testing::kPacketDir) + "/out.log", platform::GENERIC_READ,
                             0, platform::Disposition::kOpenExisting);
    ASSERT_TRUE(other.IsOpen());
    Write("lost", kNoon + 1);
    EXPECT_EQ(LogEntries(), std::vector<std::string>{Entry(-1, "error write to text fail")});
  }
  Write("b", kNoon + 2);
  EXPECT_EQ(PacketFile("out.log"), Line("a") + Line("b"));
}

// --- The table on SQLite.

TEST(PacketLineSplitTest, TokensAreRunsBetweenQuotesAndBlanks) {
  using Tokens = std::vector<std::string_view>;
  EXPECT_EQ(SplitPacketLine(kAllOn),
            (Tokens{"2", "12:00:00.50", "00:1A:2B:3C:4D:5E", "0A:0B:0C:0D:0E:0F", "2048",
                    "192.0.2.10", "198.51.100.20", "8080", "80", "1514"}));
  EXPECT_EQ(SplitPacketLine("\"1\" \"\" \"a b\"\t\"c\""), (Tokens{"1", "a", "b"}));
  EXPECT_EQ(SplitPacketLine(""), Tokens{});
  const PacketRow row = ParsePacketLine(
      "\"-3x\" \"t\" \"m\" \"n\" \" 12\" \"s\" \"d\" \"9\" "
      "\"99999999999\" \"-\" \"extra\"\r\n");
  EXPECT_EQ(row.interface, -3);
  EXPECT_EQ(row.time, "t");
  EXPECT_EQ(row.ether_type, 12);  // the blank inside the quotes separates like a quote
  EXPECT_EQ(row.source_ip, "s");
  EXPECT_EQ(row.source_port, 9);
  EXPECT_EQ(row.dest_port, INT32_MAX);  // saturated
  EXPECT_EQ(row.length, 0);             // "-": no digits
  EXPECT_EQ(ParsePacketLine(std::string(60, 'x')).interface, 0);
  EXPECT_EQ(ParsePacketLine("\"1\" \"" + std::string(60, 'x') + "\"").time, std::string(49, 'x'));
}

constexpr char kDatabase[] = "/opt/flowsentry/DB/packets.db";
constexpr char kGoodTable[] =
    "CREATE TABLE packets (adapter INTEGER, time VARCHAR(50), srcmac VARCHAR(50), "
    "dstmac VARCHAR(50), ethertype INTEGER, srcip VARCHAR(50), dstip VARCHAR(50), "
    "srcport INTEGER, dstport INTEGER, length INTEGER CHECK (length < 10000), "
    "logged TEXT DEFAULT 'now')";

class SqlitePacketTableTest : public PacketLogTest {
 protected:
  void SetUp() override {
    PacketLogTest::SetUp();
    host::Settings& settings = host::MutableSettings();
    settings.STRINGCONNECT = std::string("Provider=SQLite;Data Source=") + kDatabase;
    settings.TABLENAME = "packets";
    ASSERT_TRUE(root_->WriteFile("/opt/flowsentry/DB/.keep", ""));
  }
  void Exec(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(root_->Host(kDatabase).c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message != nullptr ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
  }
  std::vector<std::string> Rows(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(root_->Host(kDatabase).c_str(), &db);
    std::vector<std::string> rows;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int count, char** values, char**) {
          std::string row;
          for (int i = 0; i < count; ++i) {
            if (i > 0) row += ";";
            row += values[i] != nullptr ? values[i] : "NULL";
          }
          static_cast<std::vector<std::string>*>(out)->push_back(row);
          return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    return rows;
  }
};

TEST_F(SqlitePacketTableTest, RowsCarryTheLinesFieldsWithFillersForFieldsOff) {
  Exec(kGoodTable);
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  ASSERT_TRUE(HasPacketTableWriter());
  addPacketRow(kAllOn);
  addPacketRow(kAllOff);
  addPacketRow(PacketLine(SampleRecord(5), 0x88));
  EXPECT_EQ(Rows("SELECT adapter, time, srcmac, dstmac, ethertype, srcip, dstip, srcport, "
                 "dstport, length, typeof(adapter) || typeof(ethertype) || typeof(length), "
                 "logged FROM packets ORDER BY rowid"),
            (std::vector<std::string>{
                "2;12:00:00.50;00:1A:2B:3C:4D:5E;0A:0B:0C:0D:0E:0F;2048;192.0.2.10;"
                "198.51.100.20;8080;80;1514;integerintegerinteger;now",
                "2;12:00:00.50;-;-;0;-;-;0;0;0;integerintegerinteger;now",
                "2;12:00:00.5;-;-;0;192.0.2.10;-;0;0;1514;integerintegerinteger;now"}));
  EXPECT_TRUE(LogEntries().empty() || LogEntries() == std::vector<std::string>{""});
  PacketTableWriter writer;
  EXPECT_TRUE(writer.RemoveRow("anything"));
  EXPECT_FALSE(writer.AddFromText(kAllOn));  // never opened
  ClosePacketTableWriter();
  EXPECT_FALSE(HasPacketTableWriter());
  addPacketRow(kAllOn);  // no writer: nothing happens
  EXPECT_EQ(Rows("SELECT count(*) FROM packets"), std::vector<std::string>{"3"});
}

TEST_F(SqlitePacketTableTest, RefusedRowIsReportedAndTheNextOneGoesIn) {
  Exec(kGoodTable);
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  PacketRecord big = SampleRecord();
  big.PacketLength = 20000;
  addPacketRow(PacketLine(big, 255));
  addPacketRow(kAllOn);
  const std::string description = "CHECK constraint failed: length < 10000";
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{
                Entry(-1,
                      "Code Error 80040e2f, Code meaning = The change would violate the "
                      "integrity constraints of the table., Source = SQLite, Description = " +
                          description),
                Entry(-1, ";\r\nCode Error 113 Description " + description),
                Entry(-1, "Ошибка при добавлениии трафика в БД через ADO"),
                Entry(0, "Error add Record")}));
  EXPECT_EQ(Rows("SELECT length FROM packets"), std::vector<std::string>{"1514"});
}

// A batch leaves the files, rows and messages its lines leave one by one, with both writers.
TEST_F(SqlitePacketTableTest, BatchLeavesWhatItsLinesLeaveOneByOne) {
  Exec(kGoodTable);
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  struct Case {
    int32_t interval;
    std::vector<uint32_t> seconds;  // after kNoon, one per line; the third line's row is refused
    std::vector<size_t> batches;    // sizes, in order
    bool taken = false;             // the name the second line rotates to is taken
  };
  const Case cases[] = {
      {1, {}, {0}},
      {1, {0}, {1}},
      {1, {0, 30, 61, 62, 200, 201, 400}, {4, 3}},
      {0, {0, 0, 1, 2, 3}, {5}},
      {1, {0, 61, 62, 63}, {4}, true},
  };
  const std::string dir = testing::kPacketDir;
  for (const Case& c : cases) {
    host::MutableSettings().INTERVALCREATEFILE = c.interval;
    std::string results[2];
    std::set<std::string> files[2];
    for (const int batched : {0, 1}) {
      ResetPacketTextForTesting();
      std::filesystem::remove_all(root_->Host(dir));
      root_->WriteFile(dir + "/out.log", "old\r\n");
      if (c.taken) root_->WriteFile(dir + "/" + RotatedFileName(kNoon + c.seconds[1], 1), "x");
      Exec("DELETE FROM packets");
      ClearLog();
      for (size_t next = 0; const size_t size : c.batches) {
        PacketLineBatch batch;
        for (; batch.size() < size; ++next) {
          PacketRecord record = SampleRecord(next % 2);
          record.TimeSeconds = kNoon + c.seconds[next];
          record.PacketLength = next == 2 ? 20000 : 60;
          batch.Add(record, static_cast<uint32_t>(next) | 0x80);  // with the length
        }
        if (batched) {
          writePacketLines(batch);
          addPacketRows(batch);
        }
        for (size_t i = 0; !batched && i < size; ++i) {
          writePacketText(batch.line(i), batch.lines()[i].seconds, batch.lines()[i].microseconds,
                          false);
        }
        for (size_t i = 0; !batched && i < size; ++i) addPacketRow(batch.line(i));
      }
      for (const auto& entry : std::filesystem::directory_iterator(root_->Host(dir))) {
        files[batched].insert(entry.path().filename().string() + ":" +
                              PacketFile(entry.path().filename().string()));
      }
      results[batched] = ::testing::PrintToString(Rows("SELECT * FROM packets ORDER BY rowid")) +
                         ::testing::PrintToString(LogEntries());
    }
    EXPECT_EQ(files[0], files[1]) << c.seconds.size() << " lines";
    EXPECT_EQ(results[0], results[1]) << c.seconds.size() << " lines";
  }
}

// Capture threads may deliver before thread 0 has made the writer (the driver's capture flag
// left on): they must see no writer or a whole one, never one being opened or failing.
TEST_F(SqlitePacketTableTest, WriterMadeWhileOthersDeliverAppearsWholeOrNotAtAll) {
  PacketLineBatch batch;
  for (uint32_t i = 0; i < 3; ++i) batch.Add(SampleRecord(i), 255);
  for (const std::string fifth : {"INTEGER", "REAL"}) {  // REAL fails the open
    Exec(
        "DROP TABLE IF EXISTS packets; CREATE TABLE packets (a INTEGER, b TEXT, c TEXT, d TEXT, "
        "e " +
        fifth + ", f TEXT, g TEXT, h INTEGER, i INTEGER, j INTEGER)");
    ClearLog();
    std::atomic<bool> created = false;
    platform::Event started;
    int rounds_with_writer = 0;
    std::thread other([&] {
      for (bool last = false; !last; started.Set()) {
        last = created.load();
        platform::CriticalSectionLock lock(lock_);
        rounds_with_writer += HasPacketTableWriter() ? 1 : 0;
        addPacketRows(batch);
      }
    });
    started.Wait(platform::INFINITE);
    const bool opened = CreatePacketTableWriter(0, lock_);
    created = true;
    other.join();
    EXPECT_EQ(opened, fifth == "INTEGER");
    EXPECT_EQ(Rows("SELECT count(*) FROM packets"),
              std::vector<std::string>{std::to_string(3 * rounds_with_writer)});
    EXPECT_EQ(LogEntries().size(), opened ? 0u : 2u);  // nothing, or the open's report
    ClosePacketTableWriter();
  }
}

TEST_F(SqlitePacketTableTest, TableThatDoesNotFitFailsTheOpen) {
  const std::string texts = "time TEXT, srcmac TEXT, dstmac TEXT, ";
  struct Case {
    const char* name;
    std::string create;  // empty: no table
    std::vector<std::string> report;
  };
  const std::string cant_convert =
      "Code Error 80040e07, Code meaning = The value could not be converted to the type of its "
      "column., Source = ADODB.Connection, Description = ";
  const Case cases[] = {
      {"missing",
       "",
       {Entry(-1, ";\r\nCode Error 1 Description no such table: packets"),
        Entry(-1,
              "Code Error 80040e37, Code meaning = The table does not exist in the "
              "database., Source = SQLite, Description = no such table: packets")}},
      {"nine columns",
       "CREATE TABLE packets (a INTEGER, " + texts +
           "e INTEGER, f TEXT, g TEXT, h INTEGER, "
           "i INTEGER)",
       {Entry(-1,
              "Code Error 80040e14, Code meaning = One or more errors occurred while the "
              "command was processed., Source = ADODB.Connection, Description = The row "
              "binds column 10, which the table packets does not have.")}},
      {"text for an integer",
       "CREATE TABLE packets (a INTEGER, " + texts +
           "e VARCHAR(10), f TEXT, g TEXT, "
           "h INTEGER, i INTEGER, j INTEGER)",
       {Entry(-1, cant_convert + "Column 5 of the table packets is of type VARCHAR(10), which "
                                 "cannot keep the integer the packet log stores there.")}},
      {"integer for a text",
       "CREATE TABLE packets (a INTEGER, " + texts +
           "e INTEGER, f BIGINT, g TEXT, "
           "h INTEGER, i INTEGER, j INTEGER)",
       {Entry(-1, cant_convert + "Column 6 of the table packets is of type BIGINT, which "
                                 "cannot keep the text the packet log stores there.")}},
      {"real length",
       "CREATE TABLE packets (a INTEGER, " + texts +
           "e INTEGER, f TEXT, g TEXT, "
           "h INTEGER, i INTEGER, j REAL)",
       {Entry(-1, cant_convert + "Column 10 of the table packets is of type REAL, which "
                                 "cannot keep the integer the packet log stores there.")}},
  };
  const std::vector<std::string> fits = {
      "CREATE TABLE packets (a, b, c, d, e, f, g, h, i, j)",  // no declared types: any value
      "CREATE TABLE packets (a INT, b CHAR(2), c CLOB, d NVARCHAR, e NUMERIC, f TEXT, g TEXT, "
      "h BIGINT, i SMALLINT, j DECIMAL(10))",
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Exec("DROP TABLE IF EXISTS packets");
    if (!c.create.empty()) Exec(c.create);
    ClearLog();
    EXPECT_FALSE(CreatePacketTableWriter(0, lock_));
    EXPECT_FALSE(HasPacketTableWriter());
    std::vector<std::string> expected = c.report;
    const uint32_t code = c.create.empty()   ? 0x80040E37
                          : c.name[0] == 'n' ? 0x80040E14
                                             : 0x80040E07;
    expected.push_back(Entry(static_cast<int32_t>(code), "Thread N 0 Unable to connect BD"));
    EXPECT_EQ(LogEntries(), expected);
    addPacketRow(kAllOn);  // no writer: no row, no message
    EXPECT_EQ(LogEntries().size(), expected.size());
  }
  for (const std::string& create : fits) {
    SCOPED_TRACE(create);
    Exec("DROP TABLE IF EXISTS packets");
    Exec(create);
    ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
    addPacketRow(kAllOff);
    ClosePacketTableWriter();
    EXPECT_EQ(Rows("SELECT * FROM packets"),
              std::vector<std::string>{"2;12:00:00.50;-;-;0;-;-;0;0;0"});
  }
}

TEST_F(SqlitePacketTableTest, MissingDatabaseFileFailsWithTheSystemsCode) {
  ClearLog();
  EXPECT_FALSE(CreatePacketTableWriter(3, lock_));
  const std::vector<std::string> entries = LogEntries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back(), Entry(2, "Thread N 3 Unable to connect BD"));
}

}  // namespace
}  // namespace flowsentry::capture
