// The counters database on a PostgreSQL server that several hosts share, one schema each: hosts
// in processes of their own crediting at once, starts of one host rolling over at once, a server
// that goes away while credits flow, and connections the server or the string refuse.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/testing/postgres_cluster.h"
#include "platform/time.h"
#include "service/counters/counter_credits.h"
#include "service/counters/counter_periods.h"
#include "service/counters/testing/counters_db_testing.h"
#include "service/host/config.h"

namespace flowsentry::counters {
namespace {

using platform::testing::PostgresCluster;
using std::chrono_literals::operator""s;

constexpr char kCreditFailed[] =
    "Ошибка при изменении количества пакетов и байтов счетчика в БД через ADO";

bool WaitFor(const std::function<bool()>& done) {
  for (auto until = std::chrono::steady_clock::now() + 60s; !done();) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Runs `body` in `count` child processes, released together; true when every one answered true.
bool InChildren(int count, const std::function<bool(int)>& body) {
  int gate[2];
  if (pipe(gate) != 0) return false;
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char byte;
      if (read(gate[0], &byte, 1) != 0) _exit(2);  // end of file: the gate has opened
      _exit(body(i) ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  bool ok = true;
  for (const pid_t pid : children) {
    int status = 0;
    ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

class PostgresCountersTest : public testing::CountersDbTest {
 protected:
  static void SetUpTestSuite() { cluster_ = new PostgresCluster(); }
  static void TearDownTestSuite() { delete cluster_; }

  void SetUp() override {
    CountersDbTest::SetUp();
    ASSERT_TRUE(cluster_->ok()) << cluster_->failure();
    ASSERT_TRUE(cluster_->running() || cluster_->Start()) << cluster_->ServerLog();
    for (const std::string host : {"host_a", "host_b"}) {
      ASSERT_TRUE(
          cluster_->Exec("DROP SCHEMA IF EXISTS " + host + " CASCADE; CREATE SCHEMA " + host));
      // As the operator prepares a host: psql in the host's schema.
      const std::string psql = "PGOPTIONS='-c search_path=" + host + "' psql -q -X -h '" +
                               cluster_->socket_folder() +
                               "' -U postgres -d postgres -f '" FLOWSENTRY_PGSCHEMA_PATH "'";
      ASSERT_EQ(std::system(psql.c_str()), 0) << psql;
    }
    Use("HOST_A");
  }
  void TearDown() override {
    host::MutableSettings().COUNTERSCONNECT.clear();
    CountersDbTest::TearDown();
  }

  static void Use(std::string_view tail) {
    host::MutableSettings().COUNTERSCONNECT =
        cluster_->ConnectionString() + ";Schema=" + std::string(tail);
  }
  static std::string Pg(const std::string& sql) {
    const std::vector<std::string> rows = cluster_->Rows(sql);
    return rows.size() == 1 ? rows.front() : std::to_string(rows.size()) + " rows";
  }

  static PostgresCluster* cluster_;
};
PostgresCluster* PostgresCountersTest::cluster_ = nullptr;

TEST_F(PostgresCountersTest, TwoHostsCountExactlyTheirOwnInBothModes) {
  for (const std::string host : {"host_a", "host_b"}) {
    ASSERT_TRUE(cluster_->Exec("INSERT INTO " + host + ".counters (countername) VALUES ('web')"));
  }
  // Host i credits 200 + 100 i packets of 10 bytes one by one, then as many of 1000 in batches.
  ASSERT_TRUE(InChildren(2, [](int i) {
    Use(i == 0 ? "HOST_A" : "host_b");
    CounterRuleArray rules;
    LoadCounterRules(rules);
    if (rules.size() != 1) return false;
    CounterCredits credits;
    DeltaRegistry registry;
    CounterDeltas& deltas = registry.Register(rules);
    platform::CriticalSection lock;
    DeltaFlusher flusher(registry, lock, 20);
    std::thread flushing([&flusher] { flusher.Run(); });
    for (int k = 0; k < 200 + 100 * i; ++k) {
      credits.Credit(*rules[0], 10);
      deltas.Add(0, 1000);
    }
    flusher.Stop();
    flushing.join();
    return credits.carried() == 0;
  }));
  EXPECT_EQ(Pg("SELECT packets, bytes, timecount IS NOT NULL FROM host_a.counters"),
            "400;202000;t");
  EXPECT_EQ(Pg("SELECT packets, bytes FROM host_b.counters"), "600;303000");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(PostgresCountersTest, StartsRollingOverTogetherArchiveEachDayOnce) {
  const int64_t today = *PeriodStart(platform::Now());
  ASSERT_TRUE(cluster_->Exec(
      "INSERT INTO host_a.counters (countername, packets, bytes, timecount) SELECT 'c' || n, n, "
      "100 * n, " +
      std::to_string(today - 86400) + " FROM generate_series(1, 30) AS n"));
  ASSERT_TRUE(InChildren(4, [](int) { return RollOverCounters(); }));
  EXPECT_EQ(Pg("SELECT count(*), count(DISTINCT countername), sum(packets), sum(bytes) FROM "
               "host_a.countersstat"),
            "30;30;465;46500");
  EXPECT_EQ(Pg("SELECT DISTINCT packets, bytes, timecount FROM host_a.counters"),
            "0;0;" + std::to_string(today));
  EXPECT_TRUE(LogLines().empty()) << "the starts that came second found nothing to do";
}

TEST_F(PostgresCountersTest, ServerAwayForFiveSecondsLosesNoCountInEitherMode) {
  ASSERT_TRUE(
      cluster_->Exec("INSERT INTO host_a.counters (countername, timecount) VALUES ('web', " +
                     std::to_string(*PeriodStart(platform::Now())) + ")"));
  const CounterRule rule = MakeCounterRule("web", 0, "Interface=0|");
  CounterRuleArray rules;
  rules.push_back(std::make_unique<CounterRule>(rule));
  for (const bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "batch" : "packet");
    ASSERT_TRUE(cluster_->Exec("UPDATE host_a.counters SET packets = 0, bytes = 0"));
    ClearLog();
    CounterCredits credits;
    DeltaRegistry registry;
    CounterDeltas& deltas = registry.Register(rules);
    platform::CriticalSection lock;
    DeltaFlusher flusher(registry, lock, 50);
    std::thread flushing([&] {
      if (batch) flusher.Run();
    });
    std::atomic<bool> done{false};
    std::atomic<int64_t> sent{0};
    std::thread traffic([&] {
      for (; !done; ++sent) {
        if (batch) {
          deltas.Add(0, 3);
        } else {
          platform::CriticalSectionLock held(lock);
          credits.Credit(rule, 3);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    const auto packets = [] {
      return std::atoll(Pg("SELECT packets FROM host_a.counters").c_str());
    };
    ASSERT_TRUE(WaitFor([&] { return packets() > 0; }));
    ASSERT_TRUE(cluster_->Stop());
    ASSERT_TRUE(WaitFor([&] {
      const std::vector<std::string> lines = LogLines();
      return std::find(lines.begin(), lines.end(), Line(-1, kCreditFailed)) != lines.end();
    }));
    std::this_thread::sleep_for(5s);  // the outage itself
    ASSERT_TRUE(cluster_->Start());
    // Counts that arrive after the restart come through a reconnection.
    const int64_t at_restart = sent;
    ASSERT_TRUE(WaitFor([&] { return packets() > at_restart; }));
    done = true;
    traffic.join();
    flusher.Stop();
    flushing.join();
    if (!batch) credits.WriteCarried();
    EXPECT_EQ(Pg("SELECT packets, bytes FROM host_a.counters"),
              std::to_string(sent) + ";" + std::to_string(3 * sent));
  }
}

// Refused at the open of every table, with the error report and the design's message.
TEST_F(PostgresCountersTest, RefusedConnectionsAreReportedAsAnUnreachableDatabase) {
  ASSERT_TRUE(
      cluster_->Exec("CREATE ROLE rightless LOGIN; GRANT USAGE ON SCHEMA host_a TO rightless"));
  const struct {
    const char* tail;
    const char* description;
    int32_t code;
  } cases[] = {
      {"host_a;User ID=rightless", "Description = permission denied for table counters", 5},
      {"host-a",
       "Description = The connection string's Schema \"host-a\" is not a plain identifier",
       static_cast<int32_t>(db::kEFail)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    ClearLog();
    Use(c.tail);
    CounterRuleArray rules;
    LoadCounterRules(rules);
    EXPECT_TRUE(rules.empty());
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Line(c.code, "Unable to connect BD counters")),
              2);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&c](const std::string& line) {
      return line.find(c.description) != std::string::npos;
    })) << ::testing::PrintToString(lines);
  }
}

}  // namespace
}  // namespace flowsentry::counters
