// Row text, CounterTable's operations and the packet mode's credits against real SQLite files.
#include "service/counters/counter_table.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/last_error.h"
#include "service/counters/counter_credits.h"
#include "service/counters/counter_rule.h"
#include "service/counters/testing/counters_db_testing.h"

namespace flowsentry::counters {
namespace {

using testing::CountersDbTest;

TEST(RowTextTest, FormatsTheSevenColumns) {
  CounterRow row;
  row.countername = "web";
  row.packets = 10;
  row.bytes = 900;
  row.timecreate = 100;
  row.timecount = 200;
  row.parameters = "Interface=0|";
  EXPECT_EQ(FormatRowText(row), "web;10;900;0;100;200;Interface=0|");
}

TEST(RowTextTest, SplitsAtRunsAndStopsAtAnEmptyPiece) {
  using Pieces = std::vector<std::string_view>;
  EXPECT_EQ(SplitRowText("a;;b; c ;"), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(SplitRowText(";;a;b"), (Pieces{"a", "b"}));
  EXPECT_EQ(SplitRowText("a; ;b"), (Pieces{"a"}));
  EXPECT_EQ(SplitRowText(""), Pieces{});
}

TEST(RowTextTest, ParsesCountsAs64BitDecimals) {
  struct Case {
    const char* text;
    int64_t value;
  };
  for (const Case& c : std::initializer_list<Case>{{"42", 42},
                                                   {"  -7x", -7},
                                                   {"+3", 3},
                                                   {"abc", 0},
                                                   {"", 0},
                                                   {"4294967396", 4294967396},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"99999999999999999999", INT64_MAX},
                                                   {"-9223372036854775808", INT64_MIN},
                                                   {"-99999999999999999999", INT64_MIN}}) {
    EXPECT_EQ(ParseDecimal64(c.text), c.value) << c.text;
  }
  const CounterRow row = ParseRowText(" big ; 3000000000 ; 5000000000;258;1;2;SourceIP=x|;extra");
  EXPECT_EQ(FormatRowText(row), "big;3000000000;5000000000;2;1;2;SourceIP=x|");
  EXPECT_EQ(FormatRowText(ParseRowText("short;5")), "short;5;0;0;0;0;");
}

// "ж" is two bytes of UTF-8, "€" three, "😀" four.
std::string Repeat(std::string_view text, size_t times) {
  std::string repeated;
  for (size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

TEST(Utf8PrefixBytesTest, CountsCharactersAndBadBytesOneByOne) {
  struct Case {
    std::string text;
    size_t characters;
    size_t bytes;
  };
  const Case cases[] = {
      {"abc", 2, 2},
      {"abc", 5, 3},
      {"жжж", 2, 4},
      {"a€b", 2, 4},
      {"😀x", 1, 4},
      {"", 3, 0},
      // Bytes that begin no well-formed sequence are characters of their own, and a cut never
      // lands inside a sequence.
      {"\xFF\xFE"
       "a",
       2, 2},
      {"\xD0", 1, 1},  // a sequence cut short
      {"\xD0"
       "a",
       1, 1},                      // a lead byte without its continuation
      {"\xC0\x80", 1, 1},          // overlong
      {"\xED\xA0\x80", 1, 1},      // a surrogate
      {"\xF4\x90\x80\x80", 1, 1},  // past U+10FFFF
      {"\x80ж", 2, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(db::Utf8PrefixBytes(c.text, c.characters), c.bytes) << c.text << " " << c.characters;
  }
}

TEST(RowTextTest, CutsTextsToTheirCharacters) {
  const CounterRow row = ParseRowText(Repeat("ж", 300) + ";1;2;0;1;2;" + Repeat("€", 300));
  EXPECT_EQ(row.countername, Repeat("ж", 254));
  EXPECT_EQ(row.parameters, Repeat("€", 254));
}

class CounterTableTest : public CountersDbTest {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    ASSERT_TRUE(table_.Open(CountersConnectionString(), kCountersTable));
  }
  void TearDown() override {
    table_.Close();
    CountersDbTest::TearDown();
  }
  std::vector<std::string> RowTexts() {
    std::vector<std::string> texts;
    for (bool on = table_.MoveToRow(true); on; on = table_.MoveToRow(false)) {
      texts.push_back(table_.RowText());
    }
    return texts;
  }
  CounterTable table_;
};

TEST_F(CounterTableTest, AddsRowsFromTextAndReadsThemBackInOrder) {
  EXPECT_FALSE(table_.MoveToRow(true));  // empty table
  EXPECT_TRUE(table_.AddFromText("web;10;900;0;100;200;Interface=0|"));
  EXPECT_TRUE(table_.AddFromText("mail;;3000000000;2;100;200"));
  EXPECT_FALSE(table_.AddFromText(""));
  table_.Close();
  EXPECT_FALSE(table_.AddFromText("closed;1;1;0;1;1;x"));
  ASSERT_TRUE(table_.Open(CountersConnectionString(), kCountersTable));
  // "mail;;3000000000" holds a run of ";": the pieces move up one place.
  EXPECT_EQ(RowTexts(), (std::vector<std::string>{"web;10;900;0;100;200;Interface=0|",
                                                  "mail;3000000000;2;100;200;0;"}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CounterTableTest, TextColumnsHold254CharactersWhateverTheirBytes) {
  table_.Close();
  Exec("DROP TABLE counters");
  Exec(
      "CREATE TABLE counters (countername TEXT, packets INTEGER, bytes INTEGER, state INTEGER, "
      "timecreate INTEGER, timecount INTEGER, parameters TEXT)");
  ASSERT_TRUE(table_.Open(CountersConnectionString(), kCountersTable));
  struct Case {
    std::string name;
    bool whole;
  };
  const Case cases[] = {
      {Repeat("ж", 130), true},  // 260 bytes
      {Repeat("😀", 254), true},         {Repeat("ж", 255), false},
      {std::string(254, 'n'), true},    {std::string(255, 'n'), false},
      {std::string(254, '\xFF'), true},  // not UTF-8: a character per byte
  };
  for (const Case& c : cases) {
    Exec("DELETE FROM counters");
    Exec("INSERT INTO counters VALUES ('" + c.name + "', 1, 2, 0, 3, 4, '" + c.name + "')");
    EXPECT_EQ(table_.MoveToRow(true), c.whole) << c.name;
    EXPECT_EQ(table_.row().countername, c.name.substr(0, db::Utf8PrefixBytes(c.name, 254)));
    EXPECT_EQ(table_.row().parameters, c.name.substr(0, db::Utf8PrefixBytes(c.name, 254)));
  }
  // Stored back whole.
  Exec("DELETE FROM counters");
  const std::string name = Repeat("ж", 254);
  EXPECT_TRUE(table_.AddFromText(name + ";1;2;0;3;4;" + Repeat("€", 254)));
  EXPECT_EQ(Rows("SELECT length(countername), length(parameters) FROM counters"),
            std::vector<std::string>{"254;254"});
}

TEST_F(CounterTableTest, ARefusedAddIsReportedWithTheEngineError) {
  ASSERT_TRUE(table_.AddFromText("web;0;0;0;1;2;x"));
  EXPECT_FALSE(table_.AddFromText("web;0;0;0;1;2;x"));
  EXPECT_EQ(platform::GetLastError(), db::kDbIntegrityViolation);
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                Line(-1,
                     "Code Error 80040e2f, Code meaning = The change would violate the integrity "
                     "constraints of the table., Source = SQLite, Description = UNIQUE constraint "
                     "failed: counters.countername"),
                Line(-1, ";"),
                "Code Error 813 Description UNIQUE constraint failed: counters.countername",
                Line(-1, "Ошибка при добавлениии счетчика в БД через ADO")}));
}

TEST_F(CounterTableTest, NamesWithQuotesAreParametersNotSql) {
  AddCounter("o'brien", 5, 50, 7);
  AddCounter("x' OR '1'='1", 6, 60, 7);
  AddCounter("other", 8, 80, 7);
  EXPECT_TRUE(table_.ResetPeriod("o'brien", 1000));
  EXPECT_TRUE(table_.RemoveRow("x' OR '1'='1"));
  EXPECT_EQ(Rows("SELECT countername, packets, bytes, timecount FROM counters"),
            (std::vector<std::string>{"o'brien;0;0;1000", "other;8;80;7"}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CounterTableTest, ResetAndRemoveOfAMissingCounterChangeNothing) {
  AddCounter("web", 5, 50, 7);
  EXPECT_TRUE(table_.ResetPeriod("nosuch", 1000));
  EXPECT_TRUE(table_.RemoveRow("nosuch"));
  EXPECT_EQ(Rows("SELECT packets, timecount FROM counters"), (std::vector<std::string>{"5;7"}));
}

TEST_F(CounterTableTest, HasArchivedRowMatchesNameCreationAndPeriod) {
  CounterTable stat;
  ASSERT_TRUE(stat.Open(CountersConnectionString(), kCountersStatTable));
  EXPECT_FALSE(stat.HasArchivedRow("web;1;1;0;100;200;x"));  // empty archive
  Exec("INSERT INTO countersstat VALUES ('web', 1, 1, 0, 100, 100, 'x')");
  Exec("INSERT INTO countersstat VALUES ('web', 9, 9, 0, 100, 200, 'x')");
  Exec("INSERT INTO countersstat VALUES ('it''s', 9, 9, 0, 100, 200, 'x')");
  EXPECT_TRUE(stat.HasArchivedRow("web;5;5;0;100;200;other"));  // counts do not matter
  EXPECT_TRUE(stat.HasArchivedRow("it's;0;0;0;100;200;"));
  EXPECT_FALSE(stat.HasArchivedRow("web;1;1;0;101;200;x"));
  EXPECT_FALSE(stat.HasArchivedRow("web;1;1;0;100;300;x"));
  EXPECT_FALSE(stat.HasArchivedRow("mail;1;1;0;100;200;x"));
  EXPECT_TRUE(LogLines().empty());
}

class CreditCounterTest : public CountersDbTest {
 protected:
  void TearDown() override {
    credits_.reset();
    CountersDbTest::TearDown();
  }
  static CounterRule Rule(std::string_view name) {
    return MakeCounterRule(name, 0, "Interface=0|");
  }
  void CreditCounter(const CounterRule& rule, uint32_t length) { credits_->Credit(rule, length); }

  std::unique_ptr<CounterCredits> credits_ = std::make_unique<CounterCredits>();
};

TEST_F(CreditCounterTest, AddsOnePacketAndItsLengthAsACommittedChange) {
  AddCounter("web", 0, 0, 7);
  AddCounter("mail", 0, 0, 7);
  CreditCounter(Rule("web"), 1500);
  // Visible to another connection at once: committed, not held in a transaction.
  EXPECT_EQ(Rows("SELECT countername, packets, bytes FROM counters"),
            (std::vector<std::string>{"web;1;1500", "mail;0;0"}));
  CreditCounter(Rule("web"), 60);
  CreditCounter(Rule("mail"), 0);
  EXPECT_EQ(Rows("SELECT countername, packets, bytes FROM counters"),
            (std::vector<std::string>{"web;2;1560", "mail;1;0"}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CreditCounterTest, CountsPastTwoToTheThirtyOne) {
  AddCounter("web", 2147483647, 2147483600, 7);
  CreditCounter(Rule("web"), 4294967295u);
  CreditCounter(Rule("web"), 100);
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"),
            (std::vector<std::string>{"2147483649;6442450995"}));
  CounterTable table;
  ASSERT_TRUE(table.Open(CountersConnectionString(), kCountersTable));
  ASSERT_TRUE(table.MoveToRow(true));
  EXPECT_EQ(table.RowText(), "web;2147483649;6442450995;0;100;7;Interface=0|");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CreditCounterTest, RemovedOrRenamedRowIsReportedAndOthersGoOn) {
  AddCounter("web", 0, 0, 7);
  AddCounter("mail", 0, 0, 7);
  AddCounter("ftp", 0, 0, 7);
  CreditCounter(Rule("web"), 10);  // opens the table
  Exec("DELETE FROM counters WHERE countername = 'web'");
  Exec("UPDATE counters SET countername = 'mail2' WHERE countername = 'mail'");
  CreditCounter(Rule("web"), 10);
  CreditCounter(Rule("mail"), 10);
  CreditCounter(Rule("ftp"), 10);
  CreditCounter(Rule("mail2"), 10);
  EXPECT_EQ(Rows("SELECT countername, packets, bytes FROM counters"),
            (std::vector<std::string>{"mail2;1;10", "ftp;1;10"}));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{Line(-1, "Не изменяются значения счетчика"),
                                                  Line(-1, "Не изменяются значения счетчика")}));
}

TEST_F(CreditCounterTest, NameWithAQuoteIsCredited) {
  AddCounter("o'brien", 0, 0, 7);
  CreditCounter(Rule("o'brien"), 64);
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"1;64"}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CreditCounterTest, EmptyTableDoesNothingAndSaysNothing) {
  CreditCounter(Rule("web"), 10);
  CreditCounter(Rule("web"), 10);
  EXPECT_TRUE(Rows("SELECT * FROM counters").empty());
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(CreditCounterTest, MissingFileIsReportedAtEveryAttemptUntilItAppears) {
  RemoveDatabase();
  CreditCounter(Rule("web"), 10);
  CreditCounter(Rule("web"), 10);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 8u);  // each attempt: the open's report (3 lines) and the message
  EXPECT_EQ(lines[3], Line(2, "Unable to connect BD couners"));
  EXPECT_EQ(lines[7], Line(2, "Unable to connect BD couners"));

  Exec(
      std::string("CREATE TABLE counters (countername TEXT UNIQUE, packets INTEGER, bytes "
                  "INTEGER, state INTEGER, timecreate INTEGER, timecount INTEGER, parameters "
                  "TEXT)"));
  AddCounter("web", 0, 0, 7);
  ClearLog();
  CreditCounter(Rule("web"), 10);
  // The two credits that found no database were carried into this one.
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"3;30"}));
  EXPECT_TRUE(LogLines().empty());
}

// A refused credit is reported and carried: into the next credit of its counter (refused again
// while the refusal lasts), and written at the end by WriteCarried.
TEST_F(CreditCounterTest, RefusedCreditIsReportedAndCarriedUntilItLands) {
  AddCounter("web", 0, 0, 7);
  Exec(
      "CREATE TRIGGER refuse BEFORE UPDATE ON counters WHEN NEW.bytes > 1000 "
      "BEGIN SELECT RAISE(ABORT, 'count refused'); END");
  CreditCounter(Rule("web"), 100);
  CreditCounter(Rule("web"), 5000);
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"1;100"}));
  const std::vector<std::string> report = LogLines();
  ClearLog();
  CreditCounter(Rule("web"), 1);
  EXPECT_EQ(LogLines(), report) << "the carried credit is refused with the next one";
  Exec("DROP TRIGGER refuse");
  ClearLog();
  credits_->WriteCarried();
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"3;5101"}));
  EXPECT_EQ(credits_->carried(), 0u);
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ(report,
            (std::vector<std::string>{
                Line(-1,
                     "Code Error 80040e2f, Code meaning = The change would violate the integrity "
                     "constraints of the table., Source = SQLite, Description = count refused"),
                Line(-1, ";"), "Code Error 713 Description count refused",
                Line(-1,
                     "Ошибка при изменении количества пакетов и байтов счетчика в БД через "
                     "ADO")}));
}

}  // namespace
}  // namespace flowsentry::counters
