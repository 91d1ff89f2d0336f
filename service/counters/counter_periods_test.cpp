// Daily periods: the period start under daylight saving time, the roll-over into the archive,
// and the loading of the rules.
#include "service/counters/counter_periods.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/testing/scoped_time_zone.h"
#include "platform/time.h"
#include "service/counters/counters_db_testing.h"
#include "service/counters/db_error.h"

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
            Line(static_cast<int32_t>(kDbNoTable), "Unable to connect BD counters stat"));
  Exec("ALTER TABLE countersstat_away RENAME TO countersstat");

  // The archive refuses the row.
  ClearLog();
  Exec("CREATE TRIGGER refuse BEFORE INSERT ON countersstat BEGIN SELECT RAISE(ABORT, 'no'); END");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), before);
  lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            Line(static_cast<int32_t>(kDbIntegrityViolation), "Unable add counter in stat BD"));
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
  EXPECT_EQ(LogLines().back(),
            Line(-1,
                 "Ошибка при обнулении количества пакетов, байтов и установки timeCount "
                 "счетчика в БД через ADO"));
  Exec("DROP TRIGGER refuse");
  EXPECT_TRUE(RollOverCounters());
  EXPECT_EQ(Counters(), (std::vector<std::string>{"web;0;0;" + Today()}));
  EXPECT_EQ(Archive().size(), 1u);
}

TEST_F(RollOverTest, LoadingStopsAtANameThatIsNullOrTooLong) {
  Exec("DROP TABLE counters");
  Exec(
      "CREATE TABLE counters (countername TEXT, packets INTEGER, bytes INTEGER, state INTEGER, "
      "timecreate INTEGER, timecount INTEGER, parameters TEXT)");
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
