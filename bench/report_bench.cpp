// flowreport's reading and reporting of a year of archive: 1,000 counters with a row per day for
// 365 days (365,000 rows) and their running rows, in one SQLite file:
//
//   build/bench/report_bench
//
// Each case reads the whole database as flowreport does (one read-only connection, both tables)
// and formats a report: the summary as text, the last 400 days as JSON, the last 12 billing
// periods as CSV. The goal is under 1 s per report.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/testing/temp_root.h"
#include "platform/time.h"
#include "report/archive_reader.h"
#include "report/report_format.h"
#include "report/report_model.h"
#include "service/db/db_engine.h"

namespace flowsentry::report {
namespace {

constexpr int kCounters = 1000;
constexpr int kDays = 365;
constexpr char kDatabase[] = "/counters.mdb";

// The machine root and its database, made once for the process.
class Archive {
 public:
  Archive() {
    sqlite3* db = nullptr;
    sqlite3_open(root_.Host(kDatabase).c_str(), &db);
    const std::string sql =
        "PRAGMA journal_mode = WAL;"
        "CREATE TABLE counters (countername TEXT, packets INTEGER, bytes INTEGER, state INTEGER,"
        " timecreate INTEGER, timecount INTEGER, parameters TEXT);"
        "CREATE TABLE countersstat (countername TEXT, packets INTEGER, bytes INTEGER,"
        " state INTEGER, timecreate INTEGER, timecount INTEGER, parameters TEXT);"
        "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < " +
        std::to_string(kCounters - 1) +
        "), d(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM d WHERE k < " + std::to_string(kDays) +
        ") INSERT INTO countersstat SELECT 'counter' || i, k * 10, k * 100000 + i, 0, 1,"
        " CAST(strftime('%s', 'now', 'start of day', '-' || k || ' days', 'utc') AS INTEGER),"
        " 'Interface=0|' FROM c, d;"
        "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < " +
        std::to_string(kCounters - 1) +
        ") INSERT INTO counters SELECT 'counter' || i, 1, 1000, 0, 1,"
        " CAST(strftime('%s', 'now', 'start of day', 'utc') AS INTEGER), 'Interface=0|' FROM c;";
    ok_ = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
  }
  bool ok() const { return ok_; }

 private:
  platform::testing::TempRoot root_;
  bool ok_ = false;
};

Archive& TheArchive() {
  static Archive archive;
  return archive;
}

void RunReport(benchmark::State& state, View view, std::optional<int> count,
               std::string (*format)(const Report&)) {
  if (!TheArchive().ok()) {
    state.SkipWithError("cannot make the archive");
    return;
  }
  const auto local = platform::ToLocalTime(platform::Now());
  size_t bytes = 0;
  for (auto _ : state) {
    std::unique_ptr<db::DbConnection> connection;
    db::DbError error;
    std::string message;
    std::vector<CounterHistory> histories;
    if (!db::OpenDbConnection(SqliteConnectionString(kDatabase), connection, error) ||
        !ReadCounterHistories(*connection, histories, message)) {
      state.SkipWithError("cannot read the archive");
      return;
    }
    ReportRequest request;
    request.view = view;
    request.count = count;
    request.today = {local->year + 1900, local->month + 1, local->day};
    const std::string text = format(BuildReport(histories, request));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["output_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * (kCounters * (kDays + 1)));
}

void BM_Summary(benchmark::State& state) {
  RunReport(state, View::kSummary, std::nullopt,
            [](const Report& r) { return FormatText(r, Units::kBinary); });
}
void BM_Days400Json(benchmark::State& state) { RunReport(state, View::kDays, 400, FormatJson); }
void BM_Months12Csv(benchmark::State& state) { RunReport(state, View::kMonths, 12, FormatCsv); }

BENCHMARK(BM_Summary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Days400Json)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Months12Csv)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace flowsentry::report

BENCHMARK_MAIN();
