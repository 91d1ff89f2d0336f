// CreditCounter against the raw engine, and both accounting modes on SQLite and on PostgreSQL,
// in one run:
//
//   build/bench/credit_bench
//
// RawCommittedUpdate: the engine's floor, one prepared single-row UPDATE per credit through
// SQLite's C API, each its own committed transaction, with the service's connection settings
// (write-ahead log, synchronous=NORMAL). CreditCounterOver100Counters: the service's credit
// (packet mode) over a table of 100 counters, the counters taken in turn. FlushOver100Counters
// (batch mode): kCreditsPerFlush credits added to the deltas of the 100 counters, then one
// flush, as the flusher commits them at an interval. Each /sqlite on the database file of a
// machine root, each /postgres in a schema of a throwaway server (PostgresCluster) reached on its
// Unix-domain socket, made with db/schema.pgsql. All report credits per second of wall-clock time
// (items_per_second).

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testing/postgres_cluster.h"
#include "platform/testing/temp_root.h"
#include "service/counters/counter_credits.h"
#include "service/counters/counter_rule.h"
#include "service/counters/counter_table.h"
#include "service/host/config.h"

namespace flowsentry::counters {
namespace {

constexpr int kCounters = 100;
constexpr char kDestPath[] = "/opt/flowsentry";

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, Closer>;

// A machine root with a counters database of kCounters rows, for the life of the process.
class BenchDatabase {
 public:
  BenchDatabase() {
    host::MutableSettings().DESTPATH = kDestPath;
    std::filesystem::create_directories(root_.Host(std::string(kDestPath) + "/DB"));
    std::ifstream schema_file(FLOWSENTRY_SCHEMA_PATH);
    std::ostringstream schema;
    schema << schema_file.rdbuf();
    Db db = Open();
    std::string sql = schema.str() + "BEGIN;";
    for (int i = 0; i < kCounters; ++i) {
      sql += "INSERT INTO counters (countername, parameters) VALUES ('" + Name(i) +
             "', 'Interface=0|');";
    }
    sql += "COMMIT;";
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::abort();
    }
  }

  static std::string Name(int i) { return "host-192.0.2." + std::to_string(i + 1); }

  Db Open() const {
    sqlite3* raw = nullptr;
    const std::string path = root_.Host(std::string(kDestPath) + "/DB/counters.mdb");
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    return Db(raw);
  }

 private:
  platform::testing::TempRoot root_;
};

BenchDatabase& Database() {
  static BenchDatabase database;
  return database;
}

constexpr int kCreditsPerFlush = 10000;

// The counters database of a run: engine 0 the SQLite file, 1 a schema "bench" on a server of
// the process's own, made at its first use and holding kCounters rows as the file does.
bool UseEngine(int engine) {
  Database();
  host::MutableSettings().COUNTERSCONNECT.clear();
  if (engine == 0) return true;
  static platform::testing::PostgresCluster* cluster = [] {
    auto* made = new platform::testing::PostgresCluster();
    std::string rows;
    for (int i = 0; i < kCounters; ++i)
      rows += (i > 0 ? ", ('" : "('") + BenchDatabase::Name(i) + "')";
    const std::string psql = "PGOPTIONS='-c search_path=bench' psql -qX -h '" +
                             made->socket_folder() +
                             "' -U postgres -d postgres -f '" FLOWSENTRY_PGSCHEMA_PATH "'";
    if (!made->ok() || !made->Exec("CREATE SCHEMA bench") || std::system(psql.c_str()) != 0 ||
        !made->Exec("INSERT INTO bench.counters (countername) VALUES " + rows)) {
      return static_cast<platform::testing::PostgresCluster*>(nullptr);
    }
    return made;
  }();
  if (cluster == nullptr) return false;
  host::MutableSettings().COUNTERSCONNECT = cluster->ConnectionString() + ";Schema=bench";
  return true;
}

void RawCommittedUpdate(benchmark::State& state) {
  Db db = Database().Open();
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db.get(),
                     "UPDATE counters SET packets = packets + 1, bytes = bytes + ? WHERE "
                     "countername = ?",
                     -1, &update, nullptr);
  std::vector<std::string> names;
  for (int i = 0; i < kCounters; ++i) names.push_back(BenchDatabase::Name(i));
  size_t next = 0;
  for (auto _ : state) {
    const std::string& name = names[next];
    next = (next + 1) % names.size();
    sqlite3_bind_int64(update, 1, 1500);
    sqlite3_bind_text(update, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (sqlite3_step(update) != SQLITE_DONE || sqlite3_changes(db.get()) != 1) {
      state.SkipWithError("update failed");
      break;
    }
    sqlite3_reset(update);
  }
  sqlite3_finalize(update);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RawCommittedUpdate)->MinTime(2.0)->UseRealTime();

void CreditCounterOver100Counters(benchmark::State& state, int engine) {
  if (!UseEngine(engine)) return state.SkipWithError("no PostgreSQL server");
  std::vector<CounterRule> rules;
  for (int i = 0; i < kCounters; ++i) {
    rules.push_back(MakeCounterRule(BenchDatabase::Name(i), 0, "Interface=0|"));
  }
  CounterCredits credits;
  credits.Credit(rules[0], 1500);  // opens the table of every credit outside the timing
  size_t next = 0;
  for (auto _ : state) {
    credits.Credit(rules[next], 1500);
    next = (next + 1) % rules.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(CreditCounterOver100Counters, sqlite, 0)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(CreditCounterOver100Counters, postgres, 1)->MinTime(2.0)->UseRealTime();

void FlushOver100Counters(benchmark::State& state, int engine) {
  if (!UseEngine(engine)) return state.SkipWithError("no PostgreSQL server");
  CounterRuleArray rules;
  for (int i = 0; i < kCounters; ++i) {
    rules.push_back(
        std::make_unique<CounterRule>(MakeCounterRule(BenchDatabase::Name(i), 0, "Interface=0|")));
  }
  DeltaRegistry registry;
  CounterDeltas& deltas = registry.Register(rules);
  platform::CriticalSection lock;
  DeltaFlusher flusher(registry, lock, 1000);
  deltas.Add(0, 1500);
  flusher.Flush();  // opens the flusher's table outside the timing
  for (auto _ : state) {
    for (int i = 0; i < kCreditsPerFlush; ++i) deltas.Add(i % kCounters, 1500);
    if (!flusher.Flush()) {
      state.SkipWithError("flush failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCreditsPerFlush);
}
BENCHMARK_CAPTURE(FlushOver100Counters, sqlite, 0)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(FlushOver100Counters, postgres, 1)->MinTime(2.0)->UseRealTime();

}  // namespace
}  // namespace flowsentry::counters

BENCHMARK_MAIN();
