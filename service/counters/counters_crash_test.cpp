// The counters database after the death of a process at a random moment: a crediting process
// and a rolling-over process are killed with SIGKILL, a hundred times each, and every time the
// database must open whole and hold exactly what was committed before the kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/time.h"
#include "service/counters/counter_periods.h"
#include "service/counters/counter_table.h"
#include "service/counters/testing/counters_db_testing.h"

namespace flowsentry::counters {
namespace {

using testing::CountersDbTest;

// A hundred kills each; a quarter of that in the sanitizer builds, whose every fork and start
// costs many times as much, so that they still run in CI's time.
#if defined(FLOWSENTRY_SANITIZED)
constexpr int kKills = 25;
#else
constexpr int kKills = 100;
#endif
constexpr char kReady = 'R';

// A child process that runs `work` with the write end of a pipe and ends without returning into
// the test. Its reports come back byte by byte.
class Child {
 public:
  explicit Child(const std::function<void(int)>& work) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      work(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    read_fd_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (read_fd_ >= 0) close(read_fd_);
  }

  // The next report, or 0 once the child has closed its end (ended or killed).
  char Next() {
    char c = 0;
    ssize_t n;
    do {
      n = read(read_fd_, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? c : 0;
  }
  // Kills the child, collects it and answers every report it made.
  std::string KillAndCollect() {
    kill(pid_, SIGKILL);
    std::string reports;
    for (char c = Next(); c != 0; c = Next()) reports += c;
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return reports;
  }

 private:
  pid_t pid_ = -1;
  int read_fd_ = -1;
};

void Report(int fd, char c) {
  while (write(fd, &c, 1) < 0 && errno == EINTR) {
  }
}

class CrashTest : public CountersDbTest {
 protected:
  void ExpectWholeDatabase() {
    EXPECT_EQ(Rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  }
  std::mt19937 random_{20231105};
};

TEST_F(CrashTest, KilledCreditsLeaveEveryCommittedCreditOnce) {
  constexpr std::array<const char*, 4> kNames = {"c0", "c1", "c2", "c3"};
  const int64_t today = *PeriodStart(platform::Now());
  for (const char* name : kNames) AddCounter(name, 0, 0, today);
  std::array<int64_t, kNames.size()> packets{};
  std::uniform_int_distribution<int> delay_us(0, 20000);

  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    // Reports: 'a' + i before crediting counter i, 'A' + i once the credit is committed.
    Child child([&kNames](int fd) {
      CounterTable table;
      if (!table.Open(CountersConnectionString(), kCountersTable)) return;
      Report(fd, kReady);
      for (uint32_t n = 0;; ++n) {
        const size_t i = n % kNames.size();
        Report(fd, static_cast<char>('a' + i));
        if (table.AddCounts(kNames[i], 1, static_cast<int64_t>(100 + i)) !=
            CounterTable::CreditResult::kCredited) {
          Report(fd, 'F');
          return;
        }
        Report(fd, static_cast<char>('A' + i));
      }
    });
    ASSERT_EQ(child.Next(), kReady);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random_)));
    const std::string reports = child.KillAndCollect();
    ASSERT_EQ(reports.find('F'), std::string::npos) << reports;

    std::array<int64_t, kNames.size()> committed = packets;
    int in_flight = -1;
    for (const char c : reports) {
      if (c >= 'a' && c <= 'z') in_flight = c - 'a';
      if (c >= 'A' && c <= 'Z') {
        ++committed[static_cast<size_t>(c - 'A')];
        in_flight = -1;
      }
    }
    ExpectWholeDatabase();
    for (size_t i = 0; i < kNames.size(); ++i) {
      const std::vector<std::string> row =
          Rows("SELECT packets, bytes FROM counters WHERE countername = '" +
               std::string(kNames[i]) + "'");
      ASSERT_EQ(row.size(), 1u);
      const int64_t stored = std::stoll(row[0]);
      // The credit under way at the kill may or may not have been committed.
      const bool may_hold_one_more = static_cast<int>(i) == in_flight;
      EXPECT_TRUE(stored == committed[i] || (may_hold_one_more && stored == committed[i] + 1))
          << "kill " << kill_number << " counter " << kNames[i] << " holds " << stored
          << ", committed " << committed[i];
      EXPECT_EQ(row[0], std::to_string(stored) + ";" + std::to_string(stored * (100 + i)));
      packets[i] = stored;
    }
    if (HasFailure()) return;
  }
}

TEST_F(CrashTest, KilledRollOverArchivesEachDayOnceAndLosesNoCount) {
  constexpr int kCounters = 25;
  const int64_t today = *PeriodStart(platform::Now());
  const int64_t old = *PeriodStart(today - 3 * 86400 + 7200);
  const std::string old_text = std::to_string(old);
  const auto name = [](int i) { return "c" + std::to_string(i); };
  // Every counter counted 10 * (i + 1) packets in its old period; every fifth had that period
  // archived already, at 3 packets, by a start whose reset failed.
  const auto set_up = [&] {
    Exec("DELETE FROM counters; DELETE FROM countersstat");
    for (int i = 0; i < kCounters; ++i) {
      AddCounter(name(i), 10 * (i + 1), 100 * (i + 1), old);
      if (i % 5 == 0) {
        Exec("INSERT INTO countersstat VALUES ('" + name(i) + "', 3, 30, 0, 100, " + old_text +
             ", 'Interface=0|')");
      }
    }
  };
  // Each counter is wholly before its roll-over or wholly after it.
  const auto check = [&](int kill_number, bool all_done) {
    ExpectWholeDatabase();
    EXPECT_TRUE(Rows("SELECT countername FROM countersstat GROUP BY countername, timecreate, "
                     "timecount HAVING count(*) > 1")
                    .empty());
    int done = 0;
    for (int i = 0; i < kCounters; ++i) {
      const std::string counts = std::to_string(10 * (i + 1)) + ";" + std::to_string(100 * (i + 1));
      const std::vector<std::string> current = Rows(
          "SELECT packets, bytes, timecount FROM counters WHERE countername = '" + name(i) + "'");
      const std::vector<std::string> archived =
          Rows("SELECT packets, bytes, timecount FROM countersstat WHERE countername = '" +
               name(i) + "'");
      const std::vector<std::string> before_archive =
          i % 5 == 0 ? std::vector<std::string>{"3;30;" + old_text} : std::vector<std::string>{};
      if (current == std::vector<std::string>{"0;0;" + std::to_string(today)}) {
        ++done;
        EXPECT_EQ(archived, std::vector<std::string>{counts + ";" + old_text})
            << "kill " << kill_number << " " << name(i);
      } else {
        EXPECT_EQ(current, std::vector<std::string>{counts + ";" + old_text})
            << "kill " << kill_number << " " << name(i);
        EXPECT_EQ(archived, before_archive) << "kill " << kill_number << " " << name(i);
      }
    }
    if (all_done) {
      EXPECT_EQ(done, kCounters);
    }
  };

  // One roll-over run to its end gives the span in which the kills fall.
  set_up();
  auto started = std::chrono::steady_clock::now();
  {
    Child child([](int fd) {
      Report(fd, kReady);
      RollOverCounters();
      Report(fd, 'D');
    });
    ASSERT_EQ(child.Next(), kReady);
    started = std::chrono::steady_clock::now();
    ASSERT_EQ(child.Next(), 'D');
  }
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);
  check(-1, true);
  std::uniform_int_distribution<int64_t> delay_us(0, std::max<int64_t>(span.count(), 1000));

  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    set_up();
    {
      Child child([](int fd) {
        Report(fd, kReady);
        RollOverCounters();
      });
      ASSERT_EQ(child.Next(), kReady);
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random_)));
      child.KillAndCollect();
    }
    check(kill_number, false);
    // The next start finishes what the killed one left.
    EXPECT_TRUE(RollOverCounters());
    check(kill_number, true);
    if (HasFailure()) return;
  }
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace flowsentry::counters
