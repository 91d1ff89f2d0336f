// The capture pipeline end to end, without the service host: a real pactrak replays a generated
// capture file, and capture threads read, match, credit and log every record.
//
//   build/bench/pipeline_bench [--frames N] [--threads 10] [--counters 50] [--modes
//   off,text,sqlite,postgres]
//
// For each packet log mode it reports records per second accounted with `--lossless` (nothing
// dropped), beside the ceiling measured in the same run: raw committed SQLite updates per
// second (one prepared single-row UPDATE per transaction, with the service's connection
// settings) divided by the counters a record matches on average. Then, once, the records the
// driver dropped at full replay speed (without `--lossless`, the file looped, for five seconds of
// counting), with the packet log off, as the capture threads report them ("Rejected packets").
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_traffic.h"
#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/root.h"
#include "platform/testing/child_process.h"
#include "platform/testing/postgres_cluster.h"
#include "platform/testing/temp_root.h"
#include "platform/threads.h"
#include "service/capture/capture_thread.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/capture/service_context.h"
#include "service/capture/service_sync.h"
#include "service/counters/counter_table.h"
#include "service/host/config.h"

namespace flowsentry {
namespace {

using bench::AddCounters;
using bench::Db;
using bench::Exec;
using bench::MakeFrames;
using bench::OpenDb;
using bench::QueryInt;
using bench::RawUpdatesPerSecond;
using bench::ReadWhole;

using Clock = std::chrono::steady_clock;
using platform::testing::ChildProcess;

constexpr char kDestPath[] = "/opt/flowsentry";
constexpr char kPackets[] = "/opt/flowsentry/packets";

struct Options {
  int frames = 200000;
  int threads = 10;
  int counters = 50;
  std::vector<std::string> modes = {"off", "text", "sqlite", "postgres"};
};

struct RunResult {
  int64_t accounted = 0;
  double seconds = 0;
  int64_t dropped = 0;  // as the threads that ended by themselves reported it
};

// One replay through pactrak and `threads` capture threads; returns once the replay has
// finished and every record it handed over is accounted (or nothing moved for ten seconds).
RunResult Run(const Options& options, const std::string& capture, bool lossless,
              double window = 0) {
  host::MutableSettings().DESTPATH = kDestPath;
  capture::InitializeServiceLock();
  capture::CreateSyncEvent();
  std::optional<capture::ServiceContext> context(std::in_place, host::AccountingSettings{});
  std::vector<std::string> argv = {PACTRAK_PROGRAM, "--replay", capture};
  if (lossless) {
    argv.push_back("--lossless");
  } else {
    // At full speed the file would be gone before capture is on: loop it, and count a window.
    argv.insert(argv.end(), {"--loop", "100000"});
  }
  std::unique_ptr<ChildProcess> pactrak = ChildProcess::Start(argv);
  if (pactrak == nullptr || !pactrak->WaitForOutput("pactrak: bound pcap0")) {
    std::fprintf(stderr, "pipeline_bench: pactrak did not start\n");
    std::exit(1);
  }
  Db db = OpenDb(platform::HostPath(std::string(kDestPath) + "/DB/counters.mdb"));
  std::vector<uint16_t> numbers(static_cast<size_t>(options.threads));
  std::vector<platform::Thread> threads;
  const auto start = Clock::now();
  for (size_t i = 0; i < numbers.size(); ++i) {
    numbers[i] = static_cast<uint16_t>(i);
    threads.push_back(platform::Thread::Create(
        [&context, n = &numbers[i]] { return capture::capturePackets(*context, n); }));
  }
  RunResult result;
  auto last_change = Clock::now();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int64_t accounted =
        QueryInt(db.get(), "SELECT packets FROM counters WHERE countername='c0'");
    if (accounted != result.accounted) {
      result.accounted = accounted;
      result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      last_change = Clock::now();
      const int done = static_cast<int>(accounted * 100 / options.frames);
      std::fprintf(stderr, "\r  %3d%%  %lld of %d records", done, static_cast<long long>(accounted),
                   options.frames);
    }
    if (lossless && accounted >= options.frames) break;
    if (!lossless && accounted > 0 && result.seconds >= window) break;
    if (Clock::now() - last_change > std::chrono::seconds(10)) break;
  }
  std::fprintf(stderr, "\n");
  capture::SyncEvent()->Set();
  // With frames still flowing, each thread ends by itself after its next record and reports the
  // records the driver dropped; the waiting rest is terminated.
  std::vector<const platform::WaitObject*> objects;
  for (const platform::Thread& thread : threads) objects.push_back(&thread.object());
  platform::WaitForMultipleObjects(objects, true, lossless ? 0 : 10000);
  for (platform::Thread& thread : threads) thread.Terminate(0);
  const std::string log = ReadWhole(platform::HostPath(std::string(kDestPath) + "/flowmeter.log"));
  const std::string marker = "Rejected packets - ";
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    result.dropped += std::atoll(log.c_str() + at + marker.size());
  }
  std::filesystem::remove(platform::HostPath(std::string(kDestPath) + "/flowmeter.log"));
  pactrak->Signal(SIGTERM);
  pactrak->Wait();
  context.reset();
  capture::CloseSyncEvent();
  capture::DeleteServiceLock();
  capture::ResetPacketTextForTesting();
  return result;
}

int Main(const Options& options) {
  platform::testing::TempRoot root;
  const std::string schema = ReadWhole(FLOWSENTRY_SCHEMA_PATH);
  const std::string capture = root.Host("/replay.pcap");
  std::fprintf(stderr, "pipeline_bench: writing %d frames\n", options.frames);
  ndis::testing::WriteWholeFile(
      capture,
      ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet, MakeFrames(options.frames)));
  std::unique_ptr<platform::testing::PostgresCluster> postgres;

  std::printf("%d frames, %d capture threads, %d counters\n", options.frames, options.threads,
              options.counters);
  std::printf("%-10s %14s %14s %14s\n", "packet log", "records/s", "ceiling/s", "matches/rec");
  auto fresh_database = [&](double& matches) {
    const std::string folder = root.Host(std::string(kDestPath) + "/DB");
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::remove_all(root.Host(kPackets));
    std::filesystem::create_directories(root.Host(kPackets));
    Db db = OpenDb(folder + "/counters.mdb");
    Exec(db.get(), schema);
    Exec(db.get(),
         "CREATE TABLE packets (adapter INTEGER, time VARCHAR(50), srcmac VARCHAR(50), "
         "dstmac VARCHAR(50), ethertype INTEGER, srcip VARCHAR(50), dstip VARCHAR(50), "
         "srcport INTEGER, dstport INTEGER, length INTEGER)");
    matches = AddCounters(db.get(), options.counters);
    return folder + "/counters.mdb";
  };

  for (const std::string& mode : options.modes) {
    double matches = 0;
    const std::string database = fresh_database(matches);
    host::Settings& settings = host::MutableSettings();
    settings = host::Settings{};
    settings.DIRPACKETS = kPackets;
    settings.OPTIONS = 255;
    settings.INTERVALCREATEFILE = 60;
    settings.TABLENAME = "packets";
    if (mode == "off") {
      settings.DESTPACKETS = 0;
    } else if (mode == "text") {
      settings.DESTPACKETS = 1;
    } else if (mode == "sqlite") {
      settings.DESTPACKETS = 2;
      settings.STRINGCONNECT =
          "Provider=SQLite;Data Source=" + std::string(kDestPath) + "/DB/counters.mdb";
    } else if (mode == "postgres") {
      if (postgres == nullptr) {
        postgres = std::make_unique<platform::testing::PostgresCluster>();
        if (!postgres->ok()) {
          std::fprintf(stderr, "pipeline_bench: no PostgreSQL: %s\n", postgres->failure().c_str());
          continue;
        }
      }
      postgres->Exec(
          "DROP TABLE IF EXISTS packets; CREATE TABLE packets (adapter integer, \"time\" "
          "varchar(50), srcmac varchar(50), dstmac varchar(50), ethertype integer, srcip "
          "varchar(50), dstip varchar(50), srcport integer, dstport integer, length integer)");
      settings.DESTPACKETS = 2;
      settings.STRINGCONNECT = postgres->ConnectionString();
    } else {
      std::fprintf(stderr, "pipeline_bench: unknown mode %s\n", mode.c_str());
      return 2;
    }
    const double ceiling = RawUpdatesPerSecond(database) / matches;
    const RunResult result = Run(options, capture, /*lossless=*/true);
    if (result.accounted != options.frames) {
      std::fprintf(stderr, "pipeline_bench: only %lld of %d records accounted\n",
                   static_cast<long long>(result.accounted), options.frames);
    }
    std::printf("%-10s %14.0f %14.0f %14.2f\n", mode.c_str(), result.accounted / result.seconds,
                ceiling, matches);
    std::fflush(stdout);
  }

  double matches = 0;
  fresh_database(matches);
  host::MutableSettings().DESTPACKETS = 0;
  const RunResult full_speed = Run(options, capture, /*lossless=*/false, /*window=*/5);
  std::printf(
      "full replay speed, packet log off, 5 s: %lld accounted, %lld dropped (%.1f%%)\n",
      static_cast<long long>(full_speed.accounted), static_cast<long long>(full_speed.dropped),
      100.0 * full_speed.dropped / std::max<int64_t>(1, full_speed.accounted + full_speed.dropped));
  return 0;
}

}  // namespace
}  // namespace flowsentry

constexpr char kProgram[] = "pipeline_bench";
constexpr char kUsage[] =
    "usage: pipeline_bench [--frames N] [--threads N] [--counters N] "
    "[--modes off,text,sqlite,postgres]\n";

int main(int argc, char** argv) {
  flowsentry::Options options;
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s: %s needs a value\n%s", kProgram, flag.c_str(), kUsage);
      return 2;
    }
    const std::string value = argv[i + 1];
    if (flag == "--frames") {
      options.frames = std::atoi(value.c_str());
    } else if (flag == "--threads") {
      options.threads = std::atoi(value.c_str());
    } else if (flag == "--counters") {
      options.counters = std::atoi(value.c_str());
    } else if (flag == "--modes") {
      options.modes.clear();
      std::stringstream list(value);
      for (std::string mode; std::getline(list, mode, ',');) options.modes.push_back(mode);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\n%s", kProgram, flag.c_str(), kUsage);
      return 2;
    }
  }
  if (options.frames <= 0 || options.threads < 1 || options.threads > 64 || options.counters < 1) {
    std::fprintf(stderr, "pipeline_bench: frames, threads (1..64) and counters must be positive\n");
    return 2;
  }
  return flowsentry::Main(options);
}
