// The packet log's writers, a batch at a time against line by line, on one machine root:
//
//   build/bench/packet_log_bench
//
// Each benchmark delivers kLines lines per iteration to out.log, to an SQLite table or to a
// PostgreSQL table on a throwaway cluster: `PerLine` with writePacketText / addPacketRow for each
// line, `Batch` with one writePacketLines / addPacketRows. All report lines per second of
// wall-clock time (items_per_second). The PostgreSQL ones are skipped when no cluster can be made.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/testing/postgres_cluster.h"
#include "platform/testing/temp_root.h"
#include "platform/threads.h"
#include "service/capture/packet_batch.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/host/config.h"

namespace flowsentry::capture {
namespace {

constexpr size_t kLines = 1000;
constexpr char kDatabase[] = "/opt/flowsentry/DB/packets.db";
constexpr char kTable[] =
    "CREATE TABLE packets (adapter INTEGER, time VARCHAR(50), srcmac VARCHAR(50), "
    "dstmac VARCHAR(50), ethertype INTEGER, srcip VARCHAR(50), dstip VARCHAR(50), "
    "srcport INTEGER, dstport INTEGER, length INTEGER)";

// A machine root with a packet folder and an SQLite database holding the packet table, and a
// batch of kLines lines of IPv4 frames within one second (so that no rotation happens).
class BenchRoot {
 public:
  BenchRoot() {
    host::Settings& settings = host::MutableSettings();
    settings.DESTPATH = "/opt/flowsentry";
    settings.DIRPACKETS = "/opt/flowsentry/packets";
    settings.INTERVALCREATEFILE = 60;
    settings.TABLENAME = "packets";
    std::filesystem::create_directories(root_.Host(settings.DIRPACKETS));
    std::filesystem::create_directories(root_.Host("/opt/flowsentry/DB"));
    sqlite3* db = nullptr;
    sqlite3_open(root_.Host(kDatabase).c_str(), &db);
    if (sqlite3_exec(db, kTable, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    sqlite3_close(db);
    for (size_t i = 0; i < kLines; ++i) {
      PacketRecord record{};
      record.Interface = static_cast<uint16_t>(i % 4);
      record.TimeSeconds = 1700000000;
      record.TimeMicroseconds = static_cast<uint32_t>(i);
      record.PacketLength = 60 + static_cast<uint32_t>(i);
      record.EtherType[0] = 0x08;
      const uint8_t source_ip[4] = {192, 0, 2, static_cast<uint8_t>(i)};
      std::copy_n(source_ip, 4, record.SourceIP);
      batch_.Add(record, 255);
    }
  }

  const PacketLineBatch& batch() const { return batch_; }
  platform::CriticalSection& lock() { return lock_; }
  platform::testing::PostgresCluster* cluster() {
    if (cluster_ == nullptr) {
      cluster_ = std::make_unique<platform::testing::PostgresCluster>();
      if (cluster_->ok()) cluster_->Exec(kTable);
    }
    return cluster_->ok() ? cluster_.get() : nullptr;
  }

 private:
  platform::testing::TempRoot root_;
  PacketLineBatch batch_;
  platform::CriticalSection lock_;
  std::unique_ptr<platform::testing::PostgresCluster> cluster_;
};

BenchRoot& Root() {
  static BenchRoot root;
  return root;
}

void Text(benchmark::State& state, bool batched) {
  const PacketLineBatch& batch = Root().batch();
  for (auto _ : state) {
    if (batched) {
      writePacketLines(batch);
    } else {
      for (size_t i = 0; i < batch.size(); ++i) {
        writePacketText(batch.line(i), batch.lines()[i].seconds, batch.lines()[i].microseconds,
                        false);
      }
    }
  }
  ResetPacketTextForTesting();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLines));
}

void Table(benchmark::State& state, bool postgres, bool batched) {
  const PacketLineBatch& batch = Root().batch();
  if (postgres) {
    platform::testing::PostgresCluster* cluster = Root().cluster();
    if (cluster == nullptr) return state.SkipWithError("no PostgreSQL cluster");
    host::MutableSettings().STRINGCONNECT = cluster->ConnectionString();
  } else {
    host::MutableSettings().STRINGCONNECT = std::string("Provider=SQLite;Data Source=") + kDatabase;
  }
  if (!CreatePacketTableWriter(0, Root().lock())) return state.SkipWithError("no table");
  for (auto _ : state) {
    if (batched) {
      addPacketRows(batch);
    } else {
      for (size_t i = 0; i < batch.size(); ++i) addPacketRow(batch.line(i));
    }
  }
  ClosePacketTableWriter();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLines));
}

BENCHMARK_CAPTURE(Text, PerLine, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Text, Batch, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Table, SqlitePerLine, false, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Table, SqliteBatch, false, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Table, PostgresPerLine, true, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(Table, PostgresBatch, true, true)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace flowsentry::capture

BENCHMARK_MAIN();
