// CreditCounter against the raw engine, in one run and on one database file:
//
//   build/bench/credit_bench
//
// RawCommittedUpdate: the engine's floor, one prepared single-row UPDATE per credit through
// SQLite's C API, each its own committed transaction, with the service's connection settings
// (write-ahead log, synchronous=NORMAL). CreditCounter: the service's credit over a table of
// 100 counters, the counters taken in turn. Both report credits per second of wall-clock time
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

void CreditCounterOver100Counters(benchmark::State& state) {
  Database();
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
BENCHMARK(CreditCounterOver100Counters)->MinTime(2.0)->UseRealTime();

}  // namespace
}  // namespace flowsentry::counters

BENCHMARK_MAIN();
