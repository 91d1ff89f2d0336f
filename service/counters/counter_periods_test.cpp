// Daily periods: the period start under daylight saving time, the roll-over into the archive,
// and the loading of the rules.
#include "service/counters/counter_periods.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/testing/scoped_time_zone.h"
#include "platform/time.h"
#include "service/counters/testing/counters_db_testing.h"
#include "service/db/db_error.h"

namespace flowsentry::counters {
namespace {

using platform::testing::ScopedTimeZone;
using testing::CountersDbTest;

TEST(PeriodStartTest, IsLocalMidnightAsTheSystemConvertsIt) {
  struct Case {
    const char* what;
    const char* zone;
    int64_t now;
    int64_t start;
  };
  constexpr char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";
  // Chile's clocks go forward at 24:00, so its midnight of that day does not exist; the system
  // gives the day's first moment, 01:00 summer time.
  constexpr char kChile[] = "<-04>4<-03>,M9.1.6/24,M4.1.6/24";
  const Case cases[] = {
      {"UTC", "UTC0", 1717243199, 1717200000},
      {"UTC, at midnight", "UTC0", 1717200000, 1717200000},
      {"Berlin, day summer time begins (midnight still winter)", kBerlin, 1711900000, 1711839600},
      {"Berlin, day summer time ends (midnight still summer)", kBerlin, 1730030000, 1729980000},
      {"Berlin, day after summer time ends", kBerlin, 1730075000, 1730070000},
      {"Chile, day without a midnight", kChile, 1725800000, 1725768000},
      // Beirut's clocks went from 00:00 to 01:00 on 2023-03-26: the day begins at 01:00 summer
      // time, 22:00 UTC the day before.
      {"Beirut, day without a midnight", "Asia/Beirut", 1679814000, 1679781600},
      {"Beirut, in its first second", "Asia/Beirut", 1679781600, 1679781600},
      {"Beirut, its last second", "Asia/Beirut", 1679864399, 1679781600},
      // Havana's clocks went from 01:00 back to 00:00 on 2023-11-05: midnight came twice, first
      // at 04:00 UTC in summer time.
      {"Havana, day with two midnights", "America/Havana", 1699203600, 1699156800},
      {"Havana, between the two midnights", "America/Havana", 1699159000, 1699156800},
      {"Havana, after the second midnight", "America/Havana", 1699161000, 1699156800},
      {"Havana, the day before", "America/Havana", 1699156799, 1699070400},
  };
  for (const Case& c : cases) {
    const ScopedTimeZone zone(c.zone);
    EXPECT_EQ(PeriodStart(c.now), c.start) << c.what;
  }
}

TEST(PeriodStartTest, TwiceOccurringMidnightIsTheEarlierWhateverWasConvertedBefore) {
  ASSERT_TRUE(std::filesystem::exists("/usr/share/zoneinfo/America/Havana"));
  const ScopedTimeZone zone("America/Havana");
  // Conversions of summer and of winter times leave the C library in different states.
  for (const int64_t before : {int64_t{1688212800}, int64_t{1704110400}, int64_t{1699160400}}) {
    const std::optional<platform::LocalTime> local = platform::ToLocalTime(before);
    ASSERT_TRUE(local);
    ASSERT_TRUE(platform::FromLocalTime(*local));
    EXPECT_EQ(PeriodStart(1699203600), 1699156800) << "after converting " << before;
  }
}

class RollOverTest : public CountersDbTest {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    today_ = *PeriodStart(platform::Now());
    three_days_ago_ = *PeriodStart(today_ - 3 * 86400 + 7200);
  }
  std::vector<std::string> Counters() {
    return Rows("SELECT countername, packets, bytes, timecount FROM counters ORDER BY rowid");
  }
  std::vector<std::string> Archive() { return Rows("SELECT * FROM countersstat ORDER BY rowid"); }
  std::string Today() const { return std::to_string(today_); }

  int64_t today_ = 0;
  int64_t three_days_ago_ = 0;
};

TEST_F(RollOverTest, ArchivesAndResetsOnlyEndedPeriods) {
  AddCounter("today", 5, 500, today_);
  AddCounter("old", 7, 700, three_days_ago_);
  AddCounter("future", 9, 900, today_ + 86400);
  AddCounter("it's", 1, 100, three_days_ago_);
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), (std::vector<std::string>{"today;5;500;" + Today(), "old;0;0;" + Today(),
                                                  "future;0;0;" + Today(), "it's;0;0;" + Today()}));
  // One row per ended period, with its old counts and its old timecount.
  const std::string old = std::to_string(three_days_ago_);
  EXPECT_EQ(Archive(), (std::vector<std::string>{
                           "old;7;700;0;100;" + old + ";Interface=0|",
                           "future;9;900;0;100;" + std::to_string(today_ + 86400) + ";Interface=0|",
                           "it's;1;100;0;100;" + old + ";Interface=0|"}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RollOverTest, TenLoadsOnOneDayArchiveOnceAndLoadTheSameRules) {
  AddCounter("web", 7, 700, three_days_ago_, "Interface=1|");
  AddCounter("stopped", 1, 1, today_, "Interface=2|", 2);
  std::vector<std::string> first_names;
  for (int load = 0; load < 10; ++load) {
    CounterRuleArray rules;
    rules.push_back(std::make_unique<CounterRule>());  // emptied first
    LoadCounterRules(rules);
    ASSERT_EQ(rules.size(), 2u) << load;
    EXPECT_EQ(rules[0]->name, "web");
    EXPECT_EQ(rules[0]->interfaces, (std::vector<uint8_t>{1, kInterfaceListEnd}));
    EXPECT_EQ(rules[1]->name, "stopped");
    EXPECT_EQ(rules[1]->state, kStateStopped);
  }
  EXPECT_EQ(Archive().size(), 1u);
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today(), "stopped;1;1;" + Today()}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RollOverTest, ArchiveThatHoldsTheRowGetsNoSecondCopy) {
  const std::string old = std::to_string(three_days_ago_);
  // The row of this period stands between other rows of the counter (an earlier reset failed).
  Exec("INSERT INTO countersstat VALUES ('web', 1, 1, 0, 100, 10, 'x')");
  Exec("INSERT INTO countersstat VALUES ('web', 7, 700, 0, 100, " + old + ", 'Interface=0|')");
  Exec("INSERT INTO countersstat VALUES ('web', 2, 2, 0, 100, 20, 'x')");
  AddCounter("web", 8, 800, three_days_ago_);
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Archive().size(), 3u);
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today()}));
}

TEST_F(RollOverTest, FailedArchiveCopyLeavesTheCounterForTheNextStart) {
  AddCounter("web", 7, 700, three_days_ago_);
  const std::vector<std::string> before = Counters();

  // The archive cannot be opened.
  Exec("ALTER TABLE countersstat RENAME TO countersstat_away");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), before);
  std::vector<std::string> lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            Line(static_cast<int32_t>(db::kDbNoTable), "Unable to connect BD counters stat"));
  Exec("ALTER TABLE countersstat_away RENAME TO countersstat");

  // The archive refuses the row.
  ClearLog();
  Exec("CREATE TRIGGER refuse BEFORE INSERT ON countersstat BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), before);
  lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            Line(static_cast<int32_t>(db::kDbIntegrityViolation), "Unable add counter in stat BD"));
  EXPECT_EQ(lines[lines.size() - 2], Line(-1, "Ошибка при добавлениии счетчика в БД через ADO"));

  // The next start archives and resets it.
  Exec("DROP TRIGGER refuse");
  ClearLog();
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today()}));
  EXPECT_EQ(Archive().size(), 1u);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RollOverTest, FailedResetKeepsTheCounterAndTheNextStartAddsNoDuplicate) {
  AddCounter("web", 7, 700, three_days_ago_);
  Exec("CREATE TRIGGER refuse BEFORE UPDATE ON counters BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;7;700;" + std::to_string(three_days_ago_)}));
  EXPECT_TRUE(Archive().empty());  // the copy went back with the refused reset
  EXPECT_EQ(LogLines().back(),
            Line(-1,
                 "Ошибка при обнулении количества пакетов, байтов и установки timeCount "
                 "счетчика в БД через ADO"));
  Exec("DROP TRIGGER refuse");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today()}));
  EXPECT_EQ(Archive().size(), 1u);
}

// A table as databases made before the schema checked its texts hold it.
constexpr char kUncheckedCounters[] =
    "CREATE TABLE counters (countername TEXT, packets INTEGER, bytes INTEGER, state INTEGER, "
    "timecreate INTEGER, timecount INTEGER, parameters TEXT)";

std::string Repeat(std::string_view text, size_t times) {
  std::string repeated;
  for (size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

TEST_F(RollOverTest, NamesOfManyBytesButFewCharactersAreLoadedAndRolledOver) {
  const std::string cyrillic = Repeat("ж", 130);  // 260 bytes
  const std::string longest = Repeat("😀", 254);   // 1016 bytes
  AddCounter(cyrillic, 3, 30, three_days_ago_);
  AddCounter(longest, 4, 40, three_days_ago_);
  AddCounter("after", 5, 50, three_days_ago_);
  CounterRuleArray rules;
  LoadCounterRules(rules);
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0]->name, cyrillic);
  EXPECT_EQ(rules[1]->name, longest);
  EXPECT_EQ(rules[2]->name, "after");
  EXPECT_EQ(Counters(),
            (std::vector<std::string>{cyrillic + ";0;0;" + Today(), longest + ";0;0;" + Today(),
                                      "after;0;0;" + Today()}));
  EXPECT_EQ(Rows("SELECT countername, packets FROM countersstat ORDER BY rowid"),
            (std::vector<std::string>{cyrillic + ";3", longest + ";4", "after;5"}));
  EXPECT_TRUE(LogLines().empty());
}

// The result code of a statement on a connection of the test's own.
int ResultOf(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

TEST_F(RollOverTest, SchemaRefusesTextsThatWouldNotReadBack) {
  struct Case {
    const char* what;
    std::string values;
    bool accepted;
  };
  const std::string n254 = Repeat("ж", 254);
  const Case cases[] = {
      {"plain", "'web', 'Interface=0|'", true},
      {"254 characters", "'" + n254 + "', '" + n254 + "'", true},
      {"inner blanks", "'my web', 'Interface=0|, DestPort=80|'", true},
      {"a quote", "'it''s', ''", true},
      {"empty name", "'', 'Interface=0|'", false},
      {"; in the name", "'a;b', 'Interface=0|'", false},
      {"; in the parameters", "'c', 'Interface=0|;x'", false},
      {"leading blank", "' d', ''", false},
      {"trailing line break", "'e' || char(10), ''", false},
      {"trailing blank in the parameters", "'f', 'Interface=0| '", false},
      {"255 characters", "'" + n254 + "x', ''", false},
      {"255 characters of parameters", "'g', '" + n254 + "x'", false},
  };
  for (const Case& c : cases) {
    const int rc =
        ResultOf(DatabaseHostPath(),
                 "INSERT INTO counters (countername, parameters) VALUES (" + c.values + ")");
    EXPECT_EQ(rc, c.accepted ? SQLITE_OK : SQLITE_CONSTRAINT) << c.what;
  }
  EXPECT_EQ(
      ResultOf(DatabaseHostPath(), "INSERT INTO counters (countername, state) VALUES ('h', 256)"),
      SQLITE_CONSTRAINT);
  // At most one archive row per counter and period.
  Exec("INSERT INTO countersstat VALUES ('web', 1, 1, 0, 100, 200, '')");
  EXPECT_EQ(ResultOf(DatabaseHostPath(),
                     "INSERT INTO countersstat VALUES ('web', 2, 2, 0, 100, 200, '')"),
            SQLITE_CONSTRAINT);
}

TEST_F(RollOverTest, RowWhoseTextDoesNotReadBackIsNeitherArchivedNorReset) {
  Exec("DROP TABLE counters");
  Exec(kUncheckedCounters);
  const std::string old = std::to_string(three_days_ago_);
  AddCounter("a;b", 10, 100, three_days_ago_);
  AddCounter("", 11, 110, three_days_ago_);
  AddCounter(" padded", 12, 120, three_days_ago_);
  AddCounter("params", 13, 130, three_days_ago_, "Interface=0|;x");
  Exec("INSERT INTO counters VALUES ('state', 14, 140, 300, 100, " + old + ", '')");
  AddCounter("sound", 15, 150, three_days_ago_);
  const std::vector<std::string> before = Counters();
  EXPECT_TRUE(RollOverCounters());

  // Only the sound row is archived and reset; the others keep their day for the operator.
  std::vector<std::string> expected = before;
  expected.back() = "sound;0;0;" + Today();
  EXPECT_EQ(Counters(), expected);
  EXPECT_EQ(Archive(), std::vector<std::string>{"sound;15;150;0;100;" + old + ";Interface=0|"});
  const std::string prefix =
      "Counter not archived and not reset, its row text does not read back as the row: ";
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            Line(-1, prefix + "a;b;10;100;0;100;" + old + ";Interface=0|"),
                            Line(-1, prefix + ";11;110;0;100;" + old + ";Interface=0|"),
                            Line(-1, prefix + " padded;12;120;0;100;" + old + ";Interface=0|"),
                            Line(-1, prefix + "params;13;130;0;100;" + old + ";Interface=0|;x"),
                            Line(-1, prefix + "state;14;140;44;100;" + old + ";")}));
}

TEST_F(RollOverTest, CountsSinceAnArchiveCopyWhoseResetFailedAreKept) {
  const std::string old = std::to_string(three_days_ago_);
  // An earlier start archived the period with 7 packets but could not reset the counter, which
  // then counted 13 more packets in the same period.
  Exec("INSERT INTO countersstat VALUES ('web', 7, 700, 0, 100, " + old + ", 'Interface=0|')");
  AddCounter("web", 20, 2000, three_days_ago_);
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Archive(), std::vector<std::string>{"web;20;2000;0;100;" + old + ";Interface=0|"});
  EXPECT_EQ(Counters(), std::vector<std::string>{"web;0;0;" + Today()});

  // A reset refused now takes the archive's change back with it.
  AddCounter("mail", 5, 500, three_days_ago_);
  Exec("CREATE TRIGGER refuse BEFORE UPDATE ON counters BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Archive().size(), 1u);
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today(), "mail;5;500;" + old}));
}

TEST_F(RollOverTest, DefaultPeriodIsTheServicesOwnOnADayWithoutMidnight) {
  ASSERT_TRUE(std::filesystem::exists("/usr/share/zoneinfo/Asia/Beirut"));
  const ScopedTimeZone zone("Asia/Beirut");
  const int64_t today = *PeriodStart(platform::Now());
  // Rows added with the operator's one-line INSERT: one on 2023-03-26 at 10:00 (its day began at
  // 01:00 summer time), one now.
  Exec(
      "INSERT INTO counters (countername, parameters, timecreate) "
      "VALUES ('spring', 'Interface=0|', 1679814000)");
  Exec("INSERT INTO counters (countername, parameters) VALUES ('now', 'Interface=0|')");
  Exec("UPDATE counters SET packets = 3, bytes = 300");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Archive(),
            std::vector<std::string>{"spring;3;300;0;1679814000;1679781600;Interface=0|"});
  // Today's row keeps its counts and gets its period start written down.
  EXPECT_EQ(Counters(), (std::vector<std::string>{"spring;0;0;" + std::to_string(today),
                                                  "now;3;300;" + std::to_string(today)}));
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Archive().size(), 1u);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RollOverTest, LoadingStopsAtANameThatIsNullOrTooLong) {
  Exec("DROP TABLE counters");
  Exec(kUncheckedCounters);
  AddCounter("first", 0, 0, today_);
  Exec("INSERT INTO counters VALUES ('" + std::string(255, 'n') + "', 0, 0, 0, 1, " + Today() +
       ", 'Interface=0|')");
  AddCounter("after", 0, 0, today_);
  CounterRuleArray rules;
  LoadCounterRules(rules);
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]->name, "first");

  Exec("UPDATE counters SET countername = NULL WHERE countername LIKE 'nnn%'");
  LoadCounterRules(rules);
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RollOverTest, MissingDatabaseLeavesNoRules) {
  RemoveDatabase();
  CounterRuleArray rules;
  rules.push_back(std::make_unique<CounterRule>());
  LoadCounterRules(rules);
  EXPECT_TRUE(rules.empty());
  std::vector<std::string> messages;
  for (const std::string& line : LogLines()) {
    if (line.find("Unable to connect") != std::string::npos) messages.push_back(line);
  }
  // The roll-over's open and the loading's open.
  EXPECT_EQ(messages, (std::vector<std::string>{Line(2, "Unable to connect BD counters"),
                                                Line(2, "Unable to connect BD counters")}));
  EXPECT_FALSE(RollOverCounters());
}

}  // namespace
}  // namespace flowsentry::counters
