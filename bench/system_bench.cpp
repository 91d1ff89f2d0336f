// The whole system end to end: scmd runs the flowmeter service, which accounts what a real
// pactrak replays from a generated capture file.
//
//   build/bench/system_bench [--frames N] [--counters 1,10,50] [--threads 3,10] [--log off,text]
//
// For every combination it reports the frames per second accounted with `--lossless` (nothing
// dropped), the share of records the driver dropped at full replay speed (without `--lossless`:
// its record queue holds 50, and what comes while it is full is dropped), and,
// measured in the same run on the same database file, the ceiling that one committed update per
// credit allows: raw committed SQLite updates per second divided by the counters a frame
// matches.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_traffic.h"
#include "driver/runtime/sources/testing/child_process.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/testing/temp_root.h"
#include "scmd/testing/scm_fixture.h"

namespace flowsentry {
namespace {

using Clock = std::chrono::steady_clock;
using namespace platform;
using ndis::testing::ChildProcess;

constexpr char kDestPath[] = "/opt/flowsentry";

struct Options {
  int frames = 50000;
  std::vector<int> counters = {1, 10, 50};
  std::vector<int> threads = {3, 10};
  std::vector<std::string> logs = {"off", "text"};
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces;
  std::stringstream list(text);
  for (std::string piece; std::getline(list, piece, ',');) pieces.push_back(piece);
  return pieces;
}

struct RunResult {
  int64_t accounted = 0;
  double seconds = 0;
};

class System {
 public:
  explicit System(const Options& options) : options_(options) {
    std::filesystem::create_directories(root_.Host(std::string(kDestPath) + "/DB"));
    scmd::testing::ScmFixture::InstallProgram(std::string(kDestPath) + "/flowmeter",
                                              FLOWMETER_PROGRAM);
    capture_ = root_.Host("/replay.pcap");
    std::fprintf(stderr, "system_bench: writing %d frames\n", options.frames);
    ndis::testing::WriteWholeFile(capture_,
                                  ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet,
                                                             bench::MakeFrames(options.frames)));
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

  // A fresh database with `counters` counters, the settings of one run; the matches per frame.
  double Prepare(int counters, int threads, const std::string& log) {
    const std::string database = Database();
    std::filesystem::remove(database);
    std::filesystem::remove(database + "-wal");
    std::filesystem::remove(database + "-shm");
    std::filesystem::remove_all(root_.Host(std::string(kDestPath) + "/packets"));
    bench::Db db = bench::OpenDb(database);
    bench::Exec(db.get(), bench::ReadWhole(FLOWSENTRY_SCHEMA_PATH));
    const double matches = bench::AddCounters(db.get(), counters);
    const std::string destpackets = log == "text" ? "1" : "0";
    const std::string registry =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n"
        "\"DESTPATH\"=\"" +
        std::string(kDestPath) +
        "\"\r\n"
        "\"DIRPACKETS\"=\"" +
        std::string(kDestPath) +
        "/packets\"\r\n"
        "\"OPTIONS\"=\"255\"\r\n\"INTERVALCREATEFILE\"=\"60\"\r\n"
        "\"STRINGCONNECT\"=\"\"\r\n\"TABLENAME\"=\"\"\r\n"
        "\"DESTPACKETS\"=\"" +
        destpackets + "\"\r\n";
    const std::string registry_path = LocationPath(Location::kRegistry);
    std::filesystem::create_directories(std::filesystem::path(registry_path).parent_path());
    root_.WriteFile(registry_path.substr(root_.path().size()), registry);
    root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg",
                    "[THREAD]\r\ncountThread=" + std::to_string(threads) + "\r\n");
    return matches;
  }

  std::string Database() const { return root_.Host(std::string(kDestPath) + "/DB/counters.mdb"); }

  // One lossless replay accounted by the service, from its start until every frame is counted or
  // nothing has moved for ten seconds; then pactrak goes, and with it the service's capture
  // threads.
  RunResult Run() {
    std::vector<std::string> argv = {PACTRAK_PROGRAM, "--replay", capture_, "--lossless"};
    std::unique_ptr<ChildProcess> pactrak = ChildProcess::Start(argv);
    if (pactrak == nullptr || !pactrak->WaitForOutput("pactrak: bound pcap0")) {
      std::fprintf(stderr, "system_bench: pactrak did not start\n");
      std::exit(1);
    }
    bench::Db db = bench::OpenDb(Database());
    const auto start = Clock::now();
    if (!StartService(service_)) {
      std::fprintf(stderr, "system_bench: the service did not start\n");
      std::exit(1);
    }
    RunResult result;
    auto last_change = Clock::now();
    while (result.accounted < options_.frames &&
           Clock::now() - last_change < std::chrono::seconds(10)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const int64_t accounted =
          bench::QueryInt(db.get(), "SELECT packets FROM counters WHERE countername='c0'");
      if (accounted == result.accounted) continue;
      result.accounted = accounted;
      result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
      last_change = Clock::now();
      std::fprintf(stderr, "\r  %lld of %d frames", static_cast<long long>(accounted),
                   options_.frames);
    }
    std::fprintf(stderr, "\n");
    pactrak->Signal(SIGTERM);
    pactrak->Wait();
    // Without its device every capture thread fails its reads and ends, and the service stops.
    SERVICE_STATUS_PROCESS status;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (QueryServiceStatusEx(service_, status) && status.dwCurrentState != SERVICE_STOPPED &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return result;
  }

  // The replay at full speed (looped, so it outlasts the start): once the service counts, it
  // accounts for as long as a lossless run of the file took it, then is stopped while frames
  // still flow, so that its capture threads end by themselves and report the records the
  // driver dropped ("Rejected packets"). Gives what it accounted and what was dropped.
  std::pair<int64_t, int64_t> RunFullSpeed(double seconds) {
    std::unique_ptr<ChildProcess> pactrak =
        ChildProcess::Start({PACTRAK_PROGRAM, "--replay", capture_, "--loop", "100000"});
    if (pactrak == nullptr || !pactrak->WaitForOutput("pactrak: bound pcap0")) {
      std::fprintf(stderr, "system_bench: pactrak did not start\n");
      std::exit(1);
    }
    std::filesystem::remove(root_.Host(std::string(kDestPath) + "/flowmeter.log"));
    bench::Db db = bench::OpenDb(Database());
    StartService(service_);
    const auto counting_deadline = Clock::now() + std::chrono::seconds(30);
    while (bench::QueryInt(db.get(), "SELECT packets FROM counters WHERE countername='c0'") <= 0 &&
           Clock::now() < counting_deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    SERVICE_STATUS status;
    ControlService(service_, SERVICE_CONTROL_STOP, status);
    const int64_t accounted =
        bench::QueryInt(db.get(), "SELECT packets FROM counters WHERE countername='c0'");
    pactrak->Signal(SIGTERM);
    pactrak->Wait();
    int64_t dropped = 0;
    const std::string log = root_.ReadFile(std::string(kDestPath) + "/flowmeter.log");
    const std::string marker = "Rejected packets - ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
      dropped += std::atoll(log.c_str() + at + marker.size());
    }
    return {accounted, dropped};
  }

 private:
  const Options& options_;
  testing::TempRoot root_;
  scmd::testing::ScmFixture scm_;
  std::string capture_;
  ScHandle manager_;
  ScHandle service_;
};

int Main(const Options& options) {
  System system(options);
  std::printf("%d frames per run\n", options.frames);
  std::printf("%8s %8s %6s %14s %10s %14s %12s\n", "counters", "threads", "log", "frames/s",
              "dropped", "ceiling/s", "matches/fr");
  std::printf(
      "(frames/s: lossless replay; dropped: share of the records the driver dropped at "
      "full replay speed)\n");
  for (const int counters : options.counters) {
    for (const int threads : options.threads) {
      for (const std::string& log : options.logs) {
        double matches = system.Prepare(counters, threads, log);
        const double ceiling = bench::RawUpdatesPerSecond(system.Database()) / matches;
        const RunResult lossless = system.Run();
        system.Prepare(counters, threads, log);
        const auto [accounted, dropped] = system.RunFullSpeed(lossless.seconds);
        std::printf("%8d %8d %6s %14.0f %9.1f%% %14.0f %12.2f\n", counters, threads, log.c_str(),
                    lossless.seconds > 0 ? lossless.accounted / lossless.seconds : 0.0,
                    accounted + dropped > 0 ? 100.0 * dropped / (accounted + dropped) : 0.0,
                    ceiling, matches);
        if (lossless.accounted != options.frames) {
          std::printf("         (the lossless run accounted only %lld frames)\n",
                      static_cast<long long>(lossless.accounted));
        }
        std::fflush(stdout);
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace flowsentry

constexpr char kProgram[] = "system_bench";
constexpr char kUsage[] =
    "usage: system_bench [--frames N] [--counters 1,10,50] [--threads 3,10] "
    "[--log off,text]\n";

int main(int argc, char** argv) {
  flowsentry::Options options;
  auto numbers = [](const std::string& text) {
    std::vector<int> values;
    for (const std::string& piece : flowsentry::Split(text))
      values.push_back(std::atoi(piece.c_str()));
    return values;
  };
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
    } else if (flag == "--counters") {
      options.counters = numbers(value);
    } else if (flag == "--threads") {
      options.threads = numbers(value);
    } else if (flag == "--log") {
      options.logs = flowsentry::Split(value);
    } else {
      std::fprintf(stderr, "%s: unknown option %s\n%s", kProgram, flag.c_str(), kUsage);
      return 2;
    }
  }
  if (argc % 2 == 0 || options.frames <= 0) {
    std::fprintf(stderr, "system_bench: give each option a value, and a positive frame count\n");
    return 2;
  }
  return flowsentry::Main(options);
}
