// The counters database on a PostgreSQL server shared by hosts, one schema each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  while (!done() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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

// Two starts of each of two hosts at once, from processes of their own: each host's ended day
// is archived once; then each start credits one by one and in batches while the server stops
// for five seconds, and each host holds exactly its own credits.
TEST_F(PostgresCountersTest, HostsSharingAServerRollOverOnceAndLoseNoCountWhileItIsAway) {
  // Both hosts rolled over and counting.
  const std::string counting =
      "SELECT (SELECT count(*) FROM host_a.countersstat) + (SELECT count(*) FROM "
      "host_b.countersstat) = 60 AND (SELECT sum(packets) FROM host_a.counters) * (SELECT "
      "sum(packets) FROM host_b.counters) > 0";
  for (const std::string host : {"host_a", "host_b"}) {
    ASSERT_TRUE(cluster->Exec("INSERT INTO " + host + ".counters SELECT 'c' || n, n, 100 * n, " +
                              "0, 0, " + std::to_string(*PeriodStart(platform::Now()) - 86400) +
                              ", '' FROM generate_series(1, 30) AS n"));
  }
  int go[2], stop[2], sent[2];
  ASSERT_TRUE(pipe(go) == 0 && pipe(stop) == 0 && pipe(sent) == 0);
  for (int64_t i = 0; i < 4; ++i) {
    if (fork() != 0) continue;
    char byte;
    close(go[1]), close(stop[1]), fcntl(stop[0], F_SETFL, O_NONBLOCK);
    if (read(go[0], &byte, 1) != 0) _exit(1);  // end of file: all start together
    Use(i % 2 == 0 ? "HOST_A" : "host_b");
    CounterRuleArray rules;
    LoadCounterRules(rules);
    CounterCredits credits;
    DeltaRegistry registry;
    CounterDeltas& deltas = registry.Register(rules);
    platform::CriticalSection lock;
    DeltaFlusher flusher(registry, lock, 20);
    std::thread flushing([&flusher] { flusher.Run(); });
    int64_t counted[2] = {i, 0};
    for (; rules.size() == 30 && read(stop[0], &byte, 1) != 0; ++counted[1]) {
      credits.Credit(*rules[counted[1] % 30], 10);
      deltas.Add(counted[1] % 30, 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    flusher.Stop();
    flushing.join();
    // What the server refused is written once a reconnection, at most one a second, succeeds.
    for (int tries = 0; (credits.carried() > 0 || !flusher.FinalFlush()) && tries < 100; ++tries) {
      credits.WriteCarried();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    _exit(write(sent[1], counted, sizeof counted) == sizeof counted ? 0 : 1);
  }
  close(go[0]), close(go[1]), close(stop[0]), close(sent[1]);
  ASSERT_TRUE(WaitFor([&] { return Pg(counting) == "t"; }));
  ASSERT_TRUE(cluster->Stop());
  ASSERT_TRUE(WaitFor([this] {
    const std::vector<std::string> lines = LogLines();
    return std::count(lines.begin(), lines.end(),
                      Line(-1,
                           "Ошибка при изменении количества пакетов и байтов счетчика в БД "
                           "через ADO")) > 0;
  }));
  std::this_thread::sleep_for(5s);  // the outage itself
  ASSERT_TRUE(cluster->Start());
  close(stop[1]);
  int64_t credited[2] = {0, 0}, counted[2];
  while (read(sent[0], counted, sizeof counted) == sizeof counted)
    credited[counted[0] % 2] += counted[1];
  for (int status = 0, i = 0; i < 4; ++i) EXPECT_TRUE(wait(&status) > 0 && status == 0);
  for (const auto& [host, n] : {std::pair{"host_a", credited[0]}, {"host_b", credited[1]}}) {
    EXPECT_EQ(Pg(std::string("SELECT count(DISTINCT countername), count(*), sum(packets), "
                             "sum(bytes) FROM ") +
                 host + ".countersstat"),
              "30;30;465;46500");
    EXPECT_EQ(Pg(std::string("SELECT sum(packets), sum(bytes) FROM ") + host + ".counters"),
              std::to_string(2 * n) + ";" + std::to_string(1010 * n));
  }
  for (const std::string& line : LogLines()) {
    EXPECT_EQ(line.find("Unable add counter in stat BD"), line.npos) << "archived twice";
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
