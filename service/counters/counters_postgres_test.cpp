// The counters database on a PostgreSQL server shared by hosts, one schema each.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/testing/postgres_cluster.h"
#include "platform/time.h"
#include "service/counters/counter_credits.h"
#include "service/counters/counter_periods.h"
#include "service/counters/testing/counters_db_testing.h"
#include "service/host/config.h"

namespace flowsentry::counters {
namespace {

using std::chrono_literals::operator""s;

bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (!done() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  return done();
}

platform::testing::PostgresCluster* cluster = nullptr;

// A machine root per test; COUNTERSCONNECT names a schema of the cluster. host_a and host_b are
// made as an operator makes them, with psql in the schema.
class PostgresCountersTest : public testing::CountersDbTest {
 protected:
  static void SetUpTestSuite() { cluster = new platform::testing::PostgresCluster(); }
  static void TearDownTestSuite() { delete cluster; }
  void SetUp() override {
    CountersDbTest::SetUp();
    ASSERT_TRUE(cluster->ok()) << cluster->failure();
    for (const std::string host : {"host_a", "host_b"}) {
      ASSERT_TRUE(
          cluster->Exec("DROP SCHEMA IF EXISTS " + host + " CASCADE; CREATE SCHEMA " + host));
      ASSERT_EQ(std::system(("PGOPTIONS='-c search_path=" + host + "' psql -qX -h '" +
                             cluster->socket_folder() +
                             "' -U postgres -d postgres -f '" FLOWSENTRY_PGSCHEMA_PATH "'")
                                .c_str()),
                0);
    }
    Use("HOST_A");
  }
  void TearDown() override { Use(""), CountersDbTest::TearDown(); }
  static void Use(std::string_view tail) {
    host::MutableSettings().COUNTERSCONNECT =
        tail.empty() ? "" : cluster->ConnectionString() + ";Schema=" + std::string(tail);
  }
  static std::string Pg(const std::string& sql) { return cluster->Rows(sql).at(0); }
};

// Two starts of each of two hosts at once, released together from processes of their own: each
// host's ended day is archived once, then each host counts exactly its own credits, one by one
// and in batches.
TEST_F(PostgresCountersTest, HostsSharingAServerRollOverOnceAndCountTheirOwn) {
  for (const std::string host : {"host_a", "host_b"}) {
    ASSERT_TRUE(cluster->Exec("INSERT INTO " + host +
                              ".counters SELECT 'c' || n, n, 100 * n, 0, 0, " +
                              std::to_string(*PeriodStart(platform::Now()) - 86400) +
                              ", '' FROM generate_series(1, 30) AS n"));
  }
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  for (int i = 0; i < 4; ++i) {
    if (fork() != 0) continue;
    close(gate[1]);
    char byte;
    if (read(gate[0], &byte, 1) != 0) _exit(2);
    Use(i % 2 == 0 ? "HOST_A" : "host_b");
    CounterRuleArray rules;
    LoadCounterRules(rules);
    CounterCredits credits;
    DeltaRegistry registry;
    CounterDeltas& deltas = registry.Register(rules);
    platform::CriticalSection lock;
    DeltaFlusher flusher(registry, lock, 20);
    std::thread flushing([&flusher] { flusher.Run(); });
    for (int k = 0; k < 100 + 100 * i && rules.size() == 30; ++k) {
      credits.Credit(*rules[0], 10);  // start i: 100 + 100 i packets of 10 and of 1000 bytes
      deltas.Add(0, 1000);
    }
    flusher.Stop();
    flushing.join();
    _exit(rules.size() == 30 && credits.carried() == 0 ? 0 : 1);
  }
  close(gate[0]);
  close(gate[1]);
  for (int status = 0, i = 0; i < 4; ++i) {
    ASSERT_GT(wait(&status), 0);
    EXPECT_EQ(status, 0);
  }
  for (const auto& [host, credited] : {std::pair{"host_a", 100 + 300}, {"host_b", 200 + 400}}) {
    EXPECT_EQ(Pg(std::string("SELECT count(DISTINCT countername), count(*), sum(packets), "
                             "sum(bytes) FROM ") +
                 host + ".countersstat"),
              "30;30;465;46500");
    EXPECT_EQ(Pg(std::string("SELECT sum(packets), sum(bytes) FROM ") + host + ".counters"),
              std::to_string(2 * credited) + ";" + std::to_string(1010 * credited));
  }
  EXPECT_TRUE(LogLines().empty()) << "the second start of a host found nothing to roll over";
}

TEST_F(PostgresCountersTest, ServerAwayForFiveSecondsLosesNoCountInEitherMode) {
  ASSERT_TRUE(cluster->Exec("INSERT INTO host_a.counters VALUES ('web', 0, 0, 0, 0, " +
                            std::to_string(*PeriodStart(platform::Now())) + ", '')"));
  CounterRuleArray rules;
  rules.push_back(std::make_unique<CounterRule>(MakeCounterRule("web", 0, "")));
  for (const bool batch : {false, true}) {
    ASSERT_TRUE(cluster->Exec("UPDATE host_a.counters SET packets = 0, bytes = 0"));
    ClearLog();
    CounterCredits credits;
    DeltaRegistry registry;
    CounterDeltas& deltas = registry.Register(rules);
    platform::CriticalSection lock;
    DeltaFlusher flusher(registry, lock, 50);
    std::thread flushing([&flusher] { flusher.Run(); });
    std::atomic<bool> done{false};
    std::atomic<int64_t> sent{0};
    std::thread traffic([&] {
      for (; !done; ++sent, std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
        platform::CriticalSectionLock held(lock);
        batch ? deltas.Add(0, 3) : credits.Credit(*rules[0], 3);
      }
    });
    const auto packets = [] { return std::stoll(Pg("SELECT packets FROM host_a.counters")); };
    ASSERT_TRUE(WaitFor([&] { return packets() > 0; }));
    ASSERT_TRUE(cluster->Stop());
    ASSERT_TRUE(WaitFor([&] {
      const std::vector<std::string> lines = LogLines();
      return std::count(lines.begin(), lines.end(),
                        Line(-1,
                             "Ошибка при изменении количества пакетов и байтов счетчика в БД "
                             "через ADO")) > 0;
    }));
    std::this_thread::sleep_for(5s);  // the outage itself
    ASSERT_TRUE(cluster->Start());
    const int64_t at_restart = sent;  // what lands beyond it came through a reconnection
    ASSERT_TRUE(WaitFor([&] { return packets() > at_restart; })) << batch;
    done = true;
    traffic.join();
    flusher.Stop();
    flushing.join();
    credits.WriteCarried();
    EXPECT_EQ(Pg("SELECT packets, bytes FROM host_a.counters"),
              std::to_string(sent) + ";" + std::to_string(3 * sent))
        << batch;
  }
}

// Refused at the open of every table, with the error report and the design's message.
TEST_F(PostgresCountersTest, RefusedConnectionsAreReportedAsAnUnreachableDatabase) {
  ASSERT_TRUE(
      cluster->Exec("CREATE ROLE rightless LOGIN; GRANT USAGE ON SCHEMA host_a TO rightless"));
  for (const auto& [tail, description, code] :
       {std::tuple{"host_a;User ID=rightless", "permission denied for table counters", 5},
        {"host-a", "The connection string's Schema \"host-a\" is not a plain identifier",
         static_cast<int>(db::kEFail)}}) {
    ClearLog();
    Use(tail);
    CounterRuleArray rules;
    LoadCounterRules(rules);
    EXPECT_TRUE(rules.empty());
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Line(code, "Unable to connect BD counters")),
              2);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [d = description](const std::string& line) {
                              return line.find("Description = " + std::string(d)) != line.npos;
                            }),
              2)
        << ::testing::PrintToString(lines);
  }
}

}  // namespace
}  // namespace flowsentry::counters
