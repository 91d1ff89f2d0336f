// Credits from several capture threads, and credits while other connections write the same
// database file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "service/counters/counter_credits.h"
#include "service/counters/counter_periods.h"
#include "service/counters/counter_rule.h"
#include "service/counters/counter_table.h"
#include "service/counters/testing/counters_db_testing.h"

namespace flowsentry::counters {
namespace {

using testing::CountersDbTest;

constexpr int kCreditsPerThread = 300;

class CreditConcurrencyTest : public CountersDbTest {};

TEST_F(CreditConcurrencyTest, TwoThreadsCreditingOneCounterBothLand) {
  AddCounter("web", 0, 0, 7);
  std::mutex service_lock;  // the capture threads' ServiceLock
  CounterCredits credits;
  const CounterRule rule = MakeCounterRule("web", 0, "Interface=0|");
  auto credit = [&] {
    for (int i = 0; i < kCreditsPerThread; ++i) {
      const std::lock_guard lock(service_lock);
      credits.Credit(rule, 10);
    }
  };
  std::thread a(credit);
  std::thread b(credit);
  a.join();
  b.join();
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"),
            (std::vector<std::string>{std::to_string(2 * kCreditsPerThread) + ";" +
                                      std::to_string(20 * kCreditsPerThread)}));
  EXPECT_TRUE(LogLines().empty());
}

// Another writer on its own connection (the roll-over's tables, an operator's sqlite3 shell)
// holds the write lock now and then; the credits wait their turn and none is lost.
TEST_F(CreditConcurrencyTest, CreditsWaitForOtherWritersInsteadOfFailing) {
  AddCounter("web", 0, 0, 7);
  AddCounter("other", 0, 0, 7);
  constexpr int kWriterTransactions = 50;
  constexpr int kCredits = 200;
  CounterCredits credits;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    for (int transaction = 0; transaction < kWriterTransactions; ++transaction) {
      // A transaction that holds the lock across several statements, as a shell session does.
      EXPECT_EQ(sqlite3_exec(db,
                             "BEGIN IMMEDIATE; UPDATE counters SET packets = packets + 1 WHERE "
                             "countername = 'other'; UPDATE counters SET bytes = bytes + 1 WHERE "
                             "countername = 'other'; COMMIT",
                             nullptr, nullptr, nullptr),
                SQLITE_OK)
          << sqlite3_errmsg(db);
    }
    sqlite3_close(db);
  });
  std::thread reader([&] {
    // A second table of the service, moving through the rows meanwhile.
    while (!done.load()) {
      CounterTable table;
      ASSERT_TRUE(table.Open(CountersConnectionString(), kCountersTable));
      int rows = 0;
      for (bool on = table.MoveToRow(true); on; on = table.MoveToRow(false)) ++rows;
      EXPECT_EQ(rows, 2);
    }
  });
  const CounterRule rule = MakeCounterRule("web", 0, "Interface=0|");
  for (int i = 0; i < kCredits; ++i) credits.Credit(rule, 1);
  writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters WHERE countername = 'web'"),
            (std::vector<std::string>{std::to_string(kCredits) + ";" + std::to_string(kCredits)}));
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters WHERE countername = 'other'"),
            (std::vector<std::string>{std::to_string(kWriterTransactions) + ";" +
                                      std::to_string(kWriterTransactions)}));
  EXPECT_TRUE(LogLines().empty());
}

// A credit that meets the write lock of another connection waits for it instead of failing with
// "database is locked".
TEST_F(CreditConcurrencyTest, CreditWaitsForAWriteLockHeldElsewhere) {
  AddCounter("web", 0, 0, 7);
  const CounterRule rule = MakeCounterRule("web", 0, "Interface=0|");
  CounterCredits credits;
  credits.Credit(rule, 1);  // the credit table is open before the lock is taken
  std::promise<void> held;
  std::thread holder([&] {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    held.set_value();
    // Long enough for the credit to find the lock taken; far below the busy timeout.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  });
  held.get_future().wait();
  credits.Credit(rule, 1);
  holder.join();
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"2;2"}));
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace flowsentry::counters
