// The table-access layer over SQLite: connection strings, opening, the keyset cursor, the
// column statuses and the error reports.
#include "service/db/db_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/last_error.h"
#include "service/counters/counter_table.h"
#include "service/counters/testing/counters_db_testing.h"

namespace flowsentry::counters {
namespace {

using testing::CountersDbTest;
using testing::kDestPath;

TEST(ParseConnectionStringTest, TakesAdoStyleProperties) {
  struct Case {
    const char* text;
    db::ConnectionProperties expected;
  };
  const Case cases[] = {
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/x/DB/counters.mdb",
       {{"provider", "Microsoft.Jet.OLEDB.4.0"}, {"data source", "/opt/x/DB/counters.mdb"}}},
      {" PROVIDER = SQLite ; data SOURCE = /a b/c.db ;",
       {{"provider", "SQLite"}, {"data source", "/a b/c.db"}}},
      {"Data Source=\"/a;b/c.db\";Provider=SQLite",
       {{"provider", "SQLite"}, {"data source", "/a;b/c.db"}}},
      {"Data Source='it''s.db'", {{"data source", "it's.db"}}},
      {"Provider=One;Provider=Two", {{"provider", "Two"}}},
      {"junk;;Provider=SQLite;=orphan", {{"provider", "SQLite"}}},
      {"Password=", {{"password", ""}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db::ParseConnectionString(c.text), c.expected) << c.text;
  }
}

TEST(ErrorReportTest, FormatsBothEntries) {
  const db::DbError error{0x80040E2F,
                          "SQLite",
                          "UNIQUE constraint failed: counters.countername",
                          {{2067, "UNIQUE constraint failed: counters.countername"}, {5, "busy"}}};
  EXPECT_EQ(db::FormatErrorEntry(error),
            "Code Error 80040e2f, Code meaning = The change would violate the integrity "
            "constraints of the table., Source = SQLite, Description = UNIQUE constraint failed: "
            "counters.countername");
  EXPECT_EQ(db::FormatEngineErrorsEntry(error),
            ";\r\nCode Error 813 Description UNIQUE constraint failed: counters.countername"
            ";\r\nCode Error 5 Description busy");
  EXPECT_EQ(db::HResultMessage(0x80070002), "The system cannot find the file specified.");
  EXPECT_EQ(db::HResultMessage(0x8000FFFF), "Unknown error 0x8000FFFF");
  EXPECT_EQ(db::LastErrorFor(0x80070002), 2u);
  EXPECT_EQ(db::LastErrorFor(0x80040E37), 0x80040E37u);
}

class AdoTableTest : public CountersDbTest {};

TEST_F(AdoTableTest, OpensWithTheJetAndTheSqliteProviderNames) {
  for (const char* provider : {"Microsoft.Jet.OLEDB.4.0", "microsoft.jet.oledb.4.0", "SQLite"}) {
    CounterTable table;
    EXPECT_TRUE(table.Open(
        std::string("Provider=") + provider + ";Data Source=" + kDestPath + "/DB/counters.mdb",
        kCountersTable))
        << provider;
    EXPECT_TRUE(table.IsOpen());
    table.Close();
    EXPECT_FALSE(table.IsOpen());
  }
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(AdoTableTest, UnknownProviderFailsLikeAMissingAdoProvider) {
  for (const char* text : {"Provider=MSDASQL;Data Source=/opt/flowsentry/DB/counters.mdb",
                           "Data Source=/opt/flowsentry/DB/counters.mdb"}) {
    ClearLog();
    CounterTable table;
    EXPECT_FALSE(table.Open(text, kCountersTable));
    EXPECT_FALSE(table.IsOpen());
    EXPECT_EQ(platform::GetLastError(), 0x800A0E7Au);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{Line(
                              -1,
                              "Code Error 800a0e7a, Code meaning = Provider cannot be found. It "
                              "may not be properly installed., Source = ADODB.Connection, "
                              "Description = Provider cannot be found. It may not be properly "
                              "installed.")}));
  }
}

TEST_F(AdoTableTest, MissingFileFailsWithFileNotFoundAndIsNotCreated) {
  RemoveDatabase();
  CounterTable table;
  EXPECT_FALSE(table.Open(CountersConnectionString(), kCountersTable));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(DatabaseHostPath()));
  // Engine records first, then the error itself.
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                Line(-1, ";"), "Code Error e Description unable to open database file",
                Line(-1,
                     "Code Error 80070002, Code meaning = The system cannot find the file "
                     "specified., Source = SQLite, Description = unable to open database file")}));
}

TEST_F(AdoTableTest, OpenFailuresCarryTheirHresults) {
  struct Case {
    const char* what;
    std::function<void(CountersDbTest&)> arrange;
    const char* table;
    uint32_t hresult;
  };
  const Case cases[] = {
      {"missing table", [](CountersDbTest&) {}, "nosuchtable", db::kDbNoTable},
      {"too few columns for the row",
       [](CountersDbTest& test) { test.Exec("CREATE TABLE narrow (countername TEXT)"); }, "narrow",
       db::kDbErrorsInCommand},
      {"not a database",
       [](CountersDbTest& test) {
         test.RemoveDatabase();
         std::ofstream(test.DatabaseHostPath()) << std::string(4096, 'J');
       },
       kCountersTable, 0x8007000D},
  };
  for (const Case& c : cases) {
    c.arrange(*this);
    CounterTable table;
    EXPECT_FALSE(table.Open(CountersConnectionString(), c.table)) << c.what;
    EXPECT_FALSE(table.IsOpen()) << c.what;
    EXPECT_EQ(platform::GetLastError(), db::LastErrorFor(c.hresult)) << c.what;
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty()) << c.what;
    char code[16];
    std::snprintf(code, sizeof code, "%08x", c.hresult);
    EXPECT_EQ(lines.back().rfind(Line(-1, std::string("Code Error ") + code + ","), 0), 0u)
        << c.what << ": " << lines.back();
  }
}

TEST_F(AdoTableTest, ColumnStatusesTellNullCutAndUnconvertibleValues) {
  const std::string long_name(300, 'n');
  Exec("INSERT INTO countersstat VALUES (NULL, 1, 2, 3, 4, 5, NULL)");
  Exec("INSERT INTO countersstat VALUES ('" + long_name + "', 'many', 2.0, 300, '7', 8, '" +
       std::string(254, 'p') + "')");
  CounterTable table;
  ASSERT_TRUE(table.Open(CountersConnectionString(), kCountersStatTable));

  EXPECT_FALSE(table.MoveToRow(true));  // a NULL name is not a valid row
  EXPECT_EQ(table.row().countername_status, db::kColumnNull);
  EXPECT_EQ(table.row().parameters_status, db::kColumnNull);
  EXPECT_EQ(table.row().timecount, 5);

  EXPECT_FALSE(table.MoveToRow(false));  // a name longer than its buffer is cut
  const CounterRow& row = table.row();
  EXPECT_EQ(row.countername_status, db::kColumnTruncated);
  EXPECT_EQ(row.countername, std::string(254, 'n'));
  EXPECT_EQ(row.packets_status, db::kColumnCantConvert);
  EXPECT_EQ(row.packets, 0);
  EXPECT_EQ(row.bytes_status, db::kColumnOk);
  EXPECT_EQ(row.bytes, 2);
  EXPECT_EQ(row.state_status, db::kColumnDataOverflow);
  EXPECT_EQ(row.state, 300 % 256);
  EXPECT_EQ(row.timecreate_status, db::kColumnOk);
  EXPECT_EQ(row.timecreate, 7);
  EXPECT_EQ(row.parameters_status, db::kColumnOk);  // 254 bytes fit
  EXPECT_EQ(row.parameters.size(), 254u);

  EXPECT_FALSE(table.MoveToRow(false));  // past the end
  EXPECT_FALSE(table.MoveToRow(false));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(AdoTableTest, CursorIsAKeysetTakenAtTheFirstMove) {
  AddCounter("a", 1, 0, 0);
  AddCounter("b", 2, 0, 0);
  AddCounter("c", 3, 0, 0);
  CounterTable table;
  ASSERT_TRUE(table.Open(CountersConnectionString(), kCountersTable));
  ASSERT_TRUE(table.MoveToRow(true));
  EXPECT_EQ(table.row().countername, "a");
  // Changes after the keys were taken: b is deleted, c is changed, d is new.
  Exec("DELETE FROM counters WHERE countername = 'b'");
  Exec("UPDATE counters SET packets = 30 WHERE countername = 'c'");
  AddCounter("d", 4, 0, 0);
  ASSERT_TRUE(table.MoveToRow(false));
  EXPECT_EQ(table.RowText(), "c;30;0;0;100;0;Interface=0|");
  EXPECT_FALSE(table.MoveToRow(false));
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace flowsentry::counters
