// Credits from several capture threads, and credits while other connections write the same
// database file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
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

// The default VFS with its sleep counted: SQLite's busy handler sleeps through it between
// attempts on a lock that another connection holds. Registered as the default for its life.
class BusySleepCounter {
 public:
  BusySleepCounter() : base_(sqlite3_vfs_find(nullptr)) {
    // A copy of the base, so its methods keep the base's own state (pAppData, sizes).
    counting_.vfs = *base_;
    counting_.vfs.zName = "busy-sleep-counter";
    counting_.vfs.pNext = nullptr;
    counting_.owner = this;
    counting_.vfs.xSleep = [](sqlite3_vfs* vfs, int microseconds) {
      BusySleepCounter* self = reinterpret_cast<Counting*>(vfs)->owner;
      {
        std::lock_guard lock(self->mu_);
        self->sleeps_ += 1;
      }
      self->changed_.notify_all();
      return self->base_->xSleep(vfs, microseconds);
    };
    sqlite3_vfs_register(&counting_.vfs, 1);
  }
  ~BusySleepCounter() { sqlite3_vfs_unregister(&counting_.vfs); }

  // Waits until a connection has slept on a busy lock, or until Release.
  void WaitForASleep() {
    std::unique_lock lock(mu_);
    changed_.wait(lock, [this] { return sleeps_ > 0 || released_; });
  }
  void Release() {
    {
      std::lock_guard lock(mu_);
      released_ = true;
    }
    changed_.notify_all();
  }
  int sleeps() {
    std::lock_guard lock(mu_);
    return sleeps_;
  }

 private:
  struct Counting {
    sqlite3_vfs vfs;  // first: SQLite hands the methods this address
    BusySleepCounter* owner;
  };
  sqlite3_vfs* base_;
  Counting counting_;
  std::mutex mu_;
  std::condition_variable changed_;
  int sleeps_ = 0;
  bool released_ = false;
};

// A credit that meets the write lock of another connection waits for it instead of failing with
// "database is locked": the lock is let go only once the credit has slept on it.
TEST_F(CreditConcurrencyTest, CreditWaitsForAWriteLockHeldElsewhere) {
  AddCounter("web", 0, 0, 7);
  const CounterRule rule = MakeCounterRule("web", 0, "Interface=0|");
  BusySleepCounter busy;  // before the credit table's connection opens
  CounterCredits credits;
  credits.Credit(rule, 1);  // the credit table is open before the lock is taken
  std::promise<void> held;
  std::thread holder([&] {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    held.set_value();
    busy.WaitForASleep();
    EXPECT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  });
  held.get_future().wait();
  credits.Credit(rule, 1);
  busy.Release();  // should the credit have given up without waiting
  holder.join();
  EXPECT_GT(busy.sleeps(), 0) << "the credit never met the lock";
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), (std::vector<std::string>{"2;2"}));
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace flowsentry::counters
