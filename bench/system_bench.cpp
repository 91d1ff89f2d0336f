// The whole system end to end: scmd runs the flowmeter service, which accounts what a real
// pactrak replays losslessly from one generated capture file, beside two peers on the same file
// in the same run: pmacct (pmacctd reading the file, print plugin) and libpcap reading the file
// alone, the floor of any reader.
//
//   build/bench/system_bench [--frames N] [--modes packet,batch] [--sets spread,overlap]
//                            [--threads 1,4] [--log off,text,sqlite] [--packet-seconds S]
//                            [--drops] [--no-peers]
//
// For every combination of accounting mode, counter set, capture threads and packet log it
// reports the frames per second accounted (from the first frame counted to the last, read off
// the counters database) and whether every counter holds exactly what the file gives it. The
// counter sets: "spread", 50 counters of which a frame matches 3 (one total, one per port, one
// per host, the rest idle); "overlap", 54 overlapping counters as operators write them, of which
// a frame matches 17. Packet mode counts too slowly to finish a large file in a benchmark's time:
// its runs stop after --packet-seconds (20) of counting, and their rate is over that window.
// --drops also replays the file at full speed without --lossless and reports the share of the
// records the driver dropped ("Rejected packets").
#include <pcap/pcap.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_traffic.h"
#include "platform/service_control.h"
#include "platform/testing/child_process.h"
#include "platform/testing/temp_root.h"
#include "scmd/testing/scm_fixture.h"
#include "service/counters/counter_rule.h"
#include "service/counters/matching.h"
#include "shared/packet_record.h"

namespace flowsentry {
namespace {

using Clock = std::chrono::steady_clock;
using namespace platform;
using ndis::testing::CapturedFrame;
using platform::testing::ChildProcess;

using bench::kDestPath;
// Batch mode's settings in the benchmark: a short flush interval, so that the counts read off
// the database follow the traffic closely, and a record queue that holds a few reads' worth.
constexpr int kFlushIntervalMs = 100;
constexpr int kReadRecords = 4096;
constexpr int kBatchQueueLimit = 65536;

struct Options {
  int frames = 1000000;
  std::vector<std::string> modes = {"packet", "batch"};
  std::vector<std::string> sets = {"spread", "overlap"};
  std::vector<int> threads = {1, 4};
  std::vector<std::string> logs = {"off", "text", "sqlite"};
  double packet_seconds = 20;
  bool drops = false;
  bool peers = true;
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces;
  std::stringstream list(text);
  for (std::string piece; std::getline(list, piece, ',');) pieces.push_back(piece);
  return pieces;
}

struct Tally {
  int64_t packets = 0;
  int64_t bytes = 0;
  bool operator==(const Tally&) const = default;
};

// The record the driver makes of a frame on adapter 0: the fields at their fixed offsets, bytes
// past the frame's end read as 0.
PacketRecord RecordOfFrame(const std::vector<uint8_t>& frame) {
  const auto byte = [&frame](size_t i) -> uint8_t { return i < frame.size() ? frame[i] : 0; };
  const auto take = [&byte](uint8_t* field, size_t from, size_t count) {
    for (size_t i = 0; i < count; ++i) field[i] = byte(from + i);
  };
  PacketRecord record;
  record.PacketLength = static_cast<uint32_t>(frame.size());
  take(record.DestMac, 0, 6);
  take(record.SourceMac, 6, 6);
  take(record.EtherType, 12, 2);
  record.Protocol = byte(23);
  take(record.SourceIP, 26, 4);
  take(record.DestIP, 30, 4);
  const size_t ihl = byte(14) & 0x0F;
  take(record.SourcePort, 14 + 4 * ihl, 2);
  take(record.DestPort, 16 + 4 * ihl, 2);
  return record;
}

struct CounterSet {
  std::string name;
  std::string prefix;  // counter names are prefix + index; counter 0 counts every frame
  std::vector<std::string> parameters;
  std::vector<Tally> expected;
  double matches_per_frame = 0;
};

CounterSet MakeSet(const std::string& name, const std::vector<CapturedFrame>& frames) {
  CounterSet set;
  set.name = name;
  if (name == "spread") {
    set.prefix = "c";
    // The 50 counters of AddCounters, by way of a scratch database that holds them.
    bench::Db scratch = bench::OpenDb(":memory:");
    bench::Exec(scratch.get(), "CREATE TABLE counters (countername TEXT, parameters TEXT)");
    bench::AddCounters(scratch.get(), 50);
    for (int i = 0; i < 50; ++i) {
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(scratch.get(), "SELECT parameters FROM counters WHERE countername = ?1",
                         -1, &statement, nullptr);
      const std::string counter = "c" + std::to_string(i);
      sqlite3_bind_text(statement, 1, counter.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW) {
        set.parameters.emplace_back(
            reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
      }
      sqlite3_finalize(statement);
    }
  } else if (name == "overlap") {
    set.prefix = "o";
    set.parameters = bench::OverlappingCounters();
  } else {
    std::fprintf(stderr, "system_bench: no counter set \"%s\" (spread, overlap)\n", name.c_str());
    std::exit(2);
  }
  std::vector<counters::CounterRule> rules;
  for (size_t i = 0; i < set.parameters.size(); ++i) {
    rules.push_back(
        counters::MakeCounterRule(set.prefix + std::to_string(i), 0, set.parameters[i]));
  }
  set.expected.assign(rules.size(), Tally{});
  int64_t matches = 0;
  for (const CapturedFrame& frame : frames) {
    const PacketRecord record = RecordOfFrame(frame.bytes);
    for (size_t i = 0; i < rules.size(); ++i) {
      if (!counters::Matches(rules[i], record)) continue;
      set.expected[i].packets += 1;
      set.expected[i].bytes += record.PacketLength;
      ++matches;
    }
  }
  set.matches_per_frame = frames.empty() ? 0 : static_cast<double>(matches) / frames.size();
  return set;
}

struct RunResult {
  int64_t accounted = 0;
  double rate = 0;
  bool complete = false;
  bool exact = false;
};

class System {
 public:
  explicit System(const Options& options, const std::string& capture)
      : options_(options), capture_(capture) {
    std::filesystem::create_directories(root_.Host(std::string(kDestPath) + "/DB"));
    scmd::testing::ScmFixture::InstallProgram(std::string(kDestPath) + "/flowmeter",
                                              FLOWMETER_PROGRAM);
    if (!scm_.Start()) {
      std::fprintf(stderr, "system_bench: scmd did not start:\n%s", scm_.Output().c_str());
      std::exit(1);
    }
    manager_ = OpenSCManager(SC_MANAGER_ALL_ACCESS);
    service_ = CreateService(manager_, "flowSentry", "Meridan FlowSentry", SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             std::string(kDestPath) + "/flowmeter");
    if (!service_.IsValid()) {
      std::fprintf(stderr, "system_bench: the service cannot be created\n");
      std::exit(1);
    }
  }

  ~System() { scm_.Stop(); }

  // A fresh counters database holding `set`, and the settings of one run.
  void Prepare(const CounterSet& set, const std::string& mode, int threads,
               const std::string& log) {
    for (const std::string& name : {std::string("counters.mdb"), std::string("packets.db")}) {
      const std::string path = root_.Host(std::string(kDestPath) + "/DB/" + name);
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(path + suffix);
      }
    }
    std::filesystem::remove_all(root_.Host(std::string(kDestPath) + "/packets"));
    std::filesystem::remove(root_.Host(std::string(kDestPath) + "/flowmeter.log"));
    {
      bench::Db db = bench::OpenDb(Database());
      bench::Exec(db.get(), bench::ReadWhole(FLOWSENTRY_SCHEMA_PATH));
      bench::InsertCounters(db.get(), set.prefix, set.parameters);
    }
    std::string destpackets = "0";
    std::string connect;
    if (log == "text") {
      destpackets = "1";
    } else if (log == "sqlite") {
      destpackets = "2";
      connect = "Provider=SQLite;Data Source=" + std::string(kDestPath) + "/DB/packets.db";
      bench::Db packets = bench::OpenDb(root_.Host(std::string(kDestPath) + "/DB/packets.db"));
      bench::Exec(packets.get(),
                  "CREATE TABLE packets (adapter INTEGER, time VARCHAR(50), srcmac VARCHAR(50), "
                  "dstmac VARCHAR(50), ethertype INTEGER, srcip VARCHAR(50), dstip VARCHAR(50), "
                  "srcport INTEGER, dstport INTEGER, length INTEGER)");
    } else if (log != "off") {
      std::fprintf(stderr, "system_bench: no packet log \"%s\" (off, text, sqlite)\n", log.c_str());
      std::exit(2);
    }
    bench::RunSettings run{destpackets, connect, "packets", threads, "mode=" + mode + "\r\n"};
    if (mode == "batch") {
      run.accounting += "flushInterval=" + std::to_string(kFlushIntervalMs) +
                        "\r\nreadRecords=" + std::to_string(kReadRecords) + "\r\n";
    }
    if (!bench::WriteRunSettings(root_, run)) {
      std::fprintf(stderr, "system_bench: the settings cannot be written\n");
      std::exit(1);
    }
  }

  std::string Database() const { return root_.Host(std::string(kDestPath) + "/DB/counters.mdb"); }

  std::vector<std::string> PactrakArguments(const std::string& mode, bool lossless) const {
    std::vector<std::string> argv = {PACTRAK_PROGRAM, "--replay", capture_};
    if (lossless) argv.push_back("--lossless");
    if (mode == "batch") {
      argv.push_back("--queue-limit");
      argv.push_back(std::to_string(kBatchQueueLimit));
    }
    return argv;
  }

  // One lossless replay accounted by the service: the rate from the first count seen to the
  // last, until every frame is counted, nothing has moved for ten seconds, or (`limit`) enough
  // was seen (`limit` seconds of counting, when positive); then pactrak goes, and with it the
  // service's capture threads, and the counters are compared with what the file gives them.
  RunResult Run(const CounterSet& set, const std::string& mode, double limit) {
    std::unique_ptr<ChildProcess> pactrak = ChildProcess::Start(PactrakArguments(mode, true));
    if (pactrak == nullptr || !pactrak->WaitForOutput("pactrak: bound pcap0")) {
      std::fprintf(stderr, "system_bench: pactrak did not start\n%s",
                   pactrak ? pactrak->Output().c_str() : "");
      std::exit(1);
    }
    bench::Db db = bench::OpenDb(Database());
    const std::string all = "SELECT packets FROM counters WHERE countername='" + set.prefix + "0'";
    if (!StartService(service_)) {
      std::fprintf(stderr, "system_bench: the service did not start\n");
      std::exit(1);
    }
    RunResult result;
    std::optional<Clock::time_point> first_time;
    int64_t first_count = 0;
    Clock::time_point last_time = Clock::now();
    Clock::time_point shown = last_time;
    while (result.accounted < options_.frames &&
           Clock::now() - last_time < std::chrono::seconds(10)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int64_t accounted = bench::QueryInt(db.get(), all);
      if (accounted <= result.accounted) continue;
      result.accounted = accounted;
      last_time = Clock::now();
      if (!first_time) {
        first_time = last_time;
        first_count = accounted;
      }
      if (last_time - shown > std::chrono::milliseconds(500)) {
        shown = last_time;
        std::fprintf(stderr, "\r  %lld of %d frames", static_cast<long long>(accounted),
                     options_.frames);
      }
      if (limit > 0 && last_time - *first_time > std::chrono::duration<double>(limit)) break;
    }
    std::fprintf(stderr, "\n");
    if (first_time && last_time > *first_time) {
      result.rate = (result.accounted - first_count) /
                    std::chrono::duration<double>(last_time - *first_time).count();
    }
    pactrak->Signal(SIGTERM);
    pactrak->Wait();
    WaitUntilStopped();
    result.accounted = bench::QueryInt(db.get(), all);
    result.complete = result.accounted == options_.frames;
    result.exact = result.complete;
    for (size_t i = 0; result.exact && i < set.expected.size(); ++i) {
      const std::string where =
          " FROM counters WHERE countername='" + set.prefix + std::to_string(i) + "'";
      const Tally counted = {bench::QueryInt(db.get(), "SELECT packets" + where),
                             bench::QueryInt(db.get(), "SELECT bytes" + where)};
      if (counted != set.expected[i]) {
        std::fprintf(stderr, "  %s%zu: %lld packets, %lld bytes; expected %lld, %lld\n",
                     set.prefix.c_str(), i, static_cast<long long>(counted.packets),
                     static_cast<long long>(counted.bytes),
                     static_cast<long long>(set.expected[i].packets),
                     static_cast<long long>(set.expected[i].bytes));
        result.exact = false;
      }
    }
    return result;
  }

  // The replay at full speed (looped, so that it outlasts the start) for `seconds` of counting;
  // then the service is stopped while frames still flow, so that its capture threads end by
  // themselves and report the records the driver dropped. The dropped share.
  double DroppedShare(const CounterSet& set, const std::string& mode, double seconds) {
    std::vector<std::string> argv = PactrakArguments(mode, false);
    argv.push_back("--loop");
    argv.push_back("100000");
    std::unique_ptr<ChildProcess> pactrak = ChildProcess::Start(argv);
    if (pactrak == nullptr || !pactrak->WaitForOutput("pactrak: bound pcap0")) {
      std::fprintf(stderr, "system_bench: pactrak did not start\n");
      std::exit(1);
    }
    bench::Db db = bench::OpenDb(Database());
    const std::string all = "SELECT packets FROM counters WHERE countername='" + set.prefix + "0'";
    StartService(service_);
    const auto counting_deadline = Clock::now() + std::chrono::seconds(30);
    while (bench::QueryInt(db.get(), all) <= 0 && Clock::now() < counting_deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    SERVICE_STATUS status;
    ControlService(service_, SERVICE_CONTROL_STOP, status);
    WaitUntilStopped();
    const int64_t accounted = bench::QueryInt(db.get(), all);
    pactrak->Signal(SIGTERM);
    pactrak->Wait();
    int64_t dropped = 0;
    const std::string log = root_.ReadFile(std::string(kDestPath) + "/flowmeter.log");
    const std::string marker = "Rejected packets - ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
      dropped += std::atoll(log.c_str() + at + marker.size());
    }
    return accounted + dropped > 0 ? 100.0 * dropped / (accounted + dropped) : 0.0;
  }

 private:
  // Without its device every capture thread fails its reads and ends, and the service stops.
  void WaitUntilStopped() {
    SERVICE_STATUS_PROCESS status;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (QueryServiceStatusEx(service_, status) && status.dwCurrentState != SERVICE_STOPPED &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  const Options& options_;
  testing::TempRoot root_;
  scmd::testing::ScmFixture scm_;
  std::string capture_;
  ScHandle manager_;
  ScHandle service_;
};

// libpcap reading the file and touching every frame: the floor of any reader of the file.
double LibpcapRate(const std::string& capture, int frames) {
  char error[PCAP_ERRBUF_SIZE];
  const auto start = Clock::now();
  pcap_t* handle = pcap_open_offline(capture.c_str(), error);
  if (handle == nullptr) {
    std::fprintf(stderr, "system_bench: libpcap: %s\n", error);
    return 0;
  }
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int64_t read = 0;
  uint64_t sum = 0;
  while (pcap_next_ex(handle, &header, &data) == 1) {
    ++read;
    sum += header->len + data[0];
  }
  pcap_close(handle);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (read != frames || sum == 0)
    std::fprintf(stderr, "system_bench: libpcap read %lld\n", static_cast<long long>(read));
  return read / seconds;
}

// pmacctd reading the file with the print plugin, aggregating by source host and destination
// port, with pipes large enough that it drops nothing; the wall time of the whole process. The
// frames per second, and the packets its output accounts for.
std::pair<double, int64_t> PmacctRate(const std::string& work, const std::string& capture) {
  const std::string output = work + "/pmacct.csv";
  const std::string config = work + "/pmacct.conf";
  const std::string text = "daemonize: false\npcap_savefile: " + capture +
                           "\npcap_savefile_delay: 0\nplugins: print\n"
                           "aggregate: src_host, dst_port\nprint_output: csv\n"
                           "print_output_file: " +
                           output +
                           "\nprint_refresh_time: 3600\nplugin_pipe_size: 204800000\n"
                           "plugin_buffer_size: 10240000\n";
  if (!ndis::testing::WriteWholeFile(config, text)) return {0, 0};
  std::filesystem::remove(output);
  const auto start = Clock::now();
  const int status = platform::testing::RunQuietly({"/usr/sbin/pmacctd", "-f", config});
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status != 0) {
    std::fprintf(stderr,
                 "system_bench: pmacctd failed (%d); install it with "
                 "scripts/setup --bench\n",
                 status);
    return {0, 0};
  }
  int64_t packets = 0;
  std::istringstream lines(bench::ReadWhole(output));
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    const std::vector<std::string> fields = Split(line);
    if (fields.size() >= 3) packets += std::atoll(fields[2].c_str());
  }
  return {packets / seconds, packets};
}

int Main(const Options& options) {
  testing::TempRoot scratch;
  const std::string capture = scratch.Host("/replay.pcap");
  std::fprintf(stderr, "system_bench: writing %d frames\n", options.frames);
  const std::vector<CapturedFrame> frames = bench::MakeFrames(options.frames);
  ndis::testing::WriteWholeFile(
      capture, ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet, frames));
  std::map<std::string, CounterSet> sets;
  for (const std::string& name : options.sets) sets.emplace(name, MakeSet(name, frames));

  std::printf("%d frames in one file\n", options.frames);
  double pmacct_rate = 0;
  if (options.peers) {
    const double floor = LibpcapRate(capture, options.frames);
    const auto [rate, packets] = PmacctRate(scratch.Host(""), capture);
    pmacct_rate = rate;
    std::printf("libpcap alone: %.0f frames/s\n", floor);
    std::printf(
        "pmacct (pmacctd -I, print plugin, aggregate src_host, dst_port): %.0f frames/s, "
        "%lld packets accounted\n",
        rate, static_cast<long long>(packets));
  }
  std::printf("%-7s %-8s %8s %8s %7s %12s %8s %9s %s\n", "mode", "set", "counters", "threads",
              "log", "frames/s", "exact", "x pmacct", options.drops ? "dropped" : "");
  System system(options, capture);
  for (const std::string& mode : options.modes) {
    for (const std::string& name : options.sets) {
      const CounterSet& set = sets.at(name);
      for (const int threads : options.threads) {
        for (const std::string& log : options.logs) {
          system.Prepare(set, mode, threads, log);
          const double limit = mode == "packet" ? options.packet_seconds : 0;
          const RunResult run = system.Run(set, mode, limit);
          std::string dropped;
          if (options.drops) {
            system.Prepare(set, mode, threads, log);
            char share[16];
            std::snprintf(share, sizeof(share), "%.1f%%", system.DroppedShare(set, mode, 5));
            dropped = share;
          }
          const char* exact = run.complete ? (run.exact ? "yes" : "NO") : "(partial)";
          char ratio[16] = "-";
          if (pmacct_rate > 0) std::snprintf(ratio, sizeof(ratio), "%.1f", run.rate / pmacct_rate);
          std::printf("%-7s %-8s %8zu %8d %7s %12.0f %8s %9s %s\n", mode.c_str(), name.c_str(),
                      set.parameters.size(), threads, log.c_str(), run.rate, exact, ratio,
                      dropped.c_str());
          std::fflush(stdout);
        }
      }
    }
    for (const std::string& name : options.sets) {
      std::printf("  (%s: %.2f matches per frame)\n", name.c_str(),
                  sets.at(name).matches_per_frame);
    }
  }
  return 0;
}

constexpr char kUsage[] =
    "usage: system_bench [--frames N] [--modes packet,batch] [--sets spread,overlap]\n"
    "                    [--threads 1,4] [--log off,text,sqlite] [--packet-seconds S]\n"
    "                    [--drops] [--no-peers]\n";

}  // namespace
}  // namespace flowsentry

int main(int argc, char** argv) {
  flowsentry::Options options;
  auto numbers = [](const std::string& text) {
    std::vector<int> values;
    for (const std::string& piece : flowsentry::Split(text)) {
      values.push_back(std::atoi(piece.c_str()));
    }
    return values;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help") {
      std::printf("%s", flowsentry::kUsage);
      return 0;
    }
    if (flag == "--drops") {
      options.drops = true;
      continue;
    }
    if (flag == "--no-peers") {
      options.peers = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "system_bench: %s needs a value\n%s", flag.c_str(), flowsentry::kUsage);
      return 2;
    }
    const std::string value = argv[++i];
    if (flag == "--frames") {
      options.frames = std::atoi(value.c_str());
    } else if (flag == "--modes") {
      options.modes = flowsentry::Split(value);
    } else if (flag == "--sets") {
      options.sets = flowsentry::Split(value);
    } else if (flag == "--threads") {
      options.threads = numbers(value);
    } else if (flag == "--log") {
      options.logs = flowsentry::Split(value);
    } else if (flag == "--packet-seconds") {
      options.packet_seconds = std::atof(value.c_str());
    } else {
      std::fprintf(stderr, "system_bench: unknown option %s\n%s", flag.c_str(), flowsentry::kUsage);
      return 2;
    }
  }
  if (options.frames <= 0) {
    std::fprintf(stderr, "system_bench: --frames must be positive\n");
    return 2;
  }
  return flowsentry::Main(options);
}
