// Live capture at rate: the whole system accounting frames that trafgen sends over a veth pair.
//
//   build/bench/live_bench [--mode packet|batch] [--rates 10000,81000,300000,1000000]
//                          [--sizes 64,1500] [--patterns even,burst] [--seconds 10]
//                          [--threads 10] [--pcap-buffer MIB] [--queue-limit N]
//
// It makes two network namespaces joined by a veth pair (198.51.100.1 on the host's end,
// 198.51.100.2 on the sender's), runs `pactrak --live` on the host's end, and scmd with the
// flowmeter service in a temporary machine root. For every size, pattern and rate, trafgen sends
// UDP frames of that size for the given seconds, evenly spaced or as one burst at the start of
// each second; the table gives the frames sent, those that reached the host's interface, those
// the service counted (the counters database), those the driver dropped (the capture threads'
// "Rejected packets") and those the kernel dropped (pactrak's line of drops at its stop).
//
// --mode batch adds "[ACCOUNTING] mode=batch" to flowmeter.cfg and gives pactrak a record queue
// of --queue-limit records (65536 unless told); both need a service and a driver that know them.
// Needs root and trafgen (scripts/setup --bench). Every namespace and process it makes goes
// with it, also when it fails or is interrupted (SIGINT, SIGTERM).
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_traffic.h"
#include "platform/service_control.h"
#include "platform/testing/child_process.h"
#include "platform/testing/network_namespaces.h"
#include "platform/testing/temp_root.h"
#include "scmd/testing/scm_fixture.h"

namespace flowsentry {
namespace {

using Clock = std::chrono::steady_clock;
using namespace platform;
using platform::testing::ChildProcess;
using platform::testing::UdpSink;
using platform::testing::VethNamespaces;

using bench::kDestPath;
constexpr char kNetwork[] = "198.51.100";
constexpr uint16_t kCountedPort = 9000;  // the measured frames; counter c0
constexpr uint16_t kProbePort = 9001;    // probes that show the service counts; counter c1
// The bytes of a frame before its UDP payload.
constexpr int kEthernetUdpHeaders = 14 + 20 + 8;

struct Options {
  std::string mode = "packet";
  std::vector<int> rates = {10000, 81000, 300000, 1000000};
  std::vector<int> sizes = {64, 1500};
  std::vector<std::string> patterns = {"even", "burst"};
  int seconds = 10;
  int threads = 10;
  int pcap_buffer_mib = 0;  // 0: pactrak's default
  int queue_limit = 65536;  // batch mode only
};

struct Result {
  int64_t sent = 0;
  double seconds = 0;
  int64_t arrived = 0;
  int64_t counted = 0;
  int64_t driver_dropped = -1;  // -1: no capture thread said ("Rejected packets")
  int64_t kernel_dropped = -1;  // -1: pactrak did not say
  int64_t interface_dropped = -1;
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> pieces;
  std::stringstream list(text);
  for (std::string piece; std::getline(list, piece, ',');) pieces.push_back(piece);
  return pieces;
}

std::string TrafgenPath() {
  for (const char* candidate : {"/usr/sbin/trafgen", "/usr/bin/trafgen", "/sbin/trafgen"}) {
    if (std::filesystem::exists(candidate)) return candidate;
  }
  return {};
}

std::string Mac(const std::vector<uint8_t>& mac) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

class Bench {
 public:
  explicit Bench(const Options& options) : options_(options) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
  }

  ~Bench() {
    pactrak_.reset();
    scm_.Stop();
  }

  // Everything that stays for all runs; false, after saying why, when something is missing.
  bool SetUp() {
    trafgen_ = TrafgenPath();
    if (trafgen_.empty()) {
      std::fprintf(stderr, "live_bench: trafgen is not installed (scripts/setup --bench)\n");
      return false;
    }
    std::string reason;
    net_ = VethNamespaces::Create(&reason, kNetwork);
    if (net_ == nullptr) {
      std::fprintf(stderr, "live_bench: %s\n", reason.c_str());
      return false;
    }
    // Listeners, so that the host answers no frame with "port unreachable".
    counted_sink_ = UdpSink::Open(net_->namespace_a(), kCountedPort);
    probe_sink_ = UdpSink::Open(net_->namespace_a(), kProbePort);
    if (counted_sink_ == nullptr || probe_sink_ == nullptr) {
      std::fprintf(stderr, "live_bench: cannot listen on the host's end\n");
      return false;
    }
    std::filesystem::create_directories(root_.Host(std::string(kDestPath) + "/DB"));
    scmd::testing::ScmFixture::InstallProgram(std::string(kDestPath) + "/flowmeter",
                                              FLOWMETER_PROGRAM);
    if (!scm_.Start()) {
      std::fprintf(stderr, "live_bench: scmd did not start:\n%s", scm_.Output().c_str());
      return false;
    }
    manager_ = OpenSCManager(SC_MANAGER_ALL_ACCESS);
    service_ = CreateService(manager_, "flowSentry", "Meridan FlowSentry", SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             std::string(kDestPath) + "/flowmeter");
    if (!service_.IsValid()) {
      std::fprintf(stderr, "live_bench: the service cannot be created\n");
      return false;
    }
    return true;
  }

  // SIGINT, SIGTERM or SIGHUP came (they are held back from the start).
  bool Interrupted() {
    const timespec now = {0, 0};
    if (sigtimedwait(&signals_, nullptr, &now) > 0) interrupted_ = true;
    return interrupted_;
  }

  // One run; nullopt when the system could not be brought up or the bench was interrupted.
  std::optional<Result> Run(int size, const std::string& pattern, int rate) {
    if (!Prepare() || !WriteTrafficFiles(size)) return std::nullopt;
    std::vector<std::string> argv = {PACTRAK_PROGRAM, "--live", net_->veth_a()};
    if (options_.pcap_buffer_mib > 0) {
      argv.insert(argv.end(), {"--pcap-buffer", std::to_string(options_.pcap_buffer_mib)});
    }
    if (options_.mode == "batch") {
      argv.insert(argv.end(), {"--queue-limit", std::to_string(options_.queue_limit)});
    }
    pactrak_ = ChildProcess::Start(net_->InNamespaceA(argv));
    if (pactrak_ == nullptr || !pactrak_->WaitForOutput("pactrak: bound " + net_->veth_a())) {
      std::fprintf(stderr, "live_bench: pactrak did not start:\n%s",
                   pactrak_ ? pactrak_->Output().c_str() : "");
      return std::nullopt;
    }
    std::filesystem::remove(root_.Host(std::string(kDestPath) + "/flowmeter.log"));
    if (!StartService(service_) || !Counting()) {
      std::fprintf(stderr, "live_bench: the service does not count:\n%s\n",
                   root_.ReadFile(std::string(kDestPath) + "/flowmeter.log").c_str());
      StopAll();
      return std::nullopt;
    }

    Result result;
    const int64_t arrived_before = ReceivedFrames();
    const auto start = Clock::now();
    if (pattern == "even") {
      result.sent = Send(traffic_, static_cast<int64_t>(rate) * options_.seconds, rate);
    } else {
      for (int second = 0; second < options_.seconds && !Interrupted(); ++second) {
        result.sent += Send(traffic_, rate, 0);
        std::this_thread::sleep_until(start + std::chrono::seconds(second + 1));
      }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Counted: once the count stands still for longer than a batch's flush interval.
    auto last_change = Clock::now();
    while (Clock::now() - last_change < std::chrono::seconds(3) && !Interrupted()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int64_t counted = Count("c0");
      if (counted != result.counted) last_change = Clock::now();
      std::fprintf(stderr, "\r  %lld counted", static_cast<long long>(counted));
      result.counted = counted;
    }
    std::fprintf(stderr, "\n");
    result.arrived = ReceivedFrames() - arrived_before;
    StopAll();
    ReadDrops(result);
    if (Interrupted()) return std::nullopt;
    return result;
  }

 private:
  std::string Database() const { return root_.Host(std::string(kDestPath) + "/DB/counters.mdb"); }

  // A connection of its own for each look, so that the bench holds nothing of the database
  // between looks (nor looks while the frames are sent).
  int64_t Count(const std::string& counter) const {
    bench::Db db = bench::OpenDb(Database());
    return bench::QueryInt(db.get(),
                           "SELECT packets FROM counters WHERE countername='" + counter + "'");
  }

  // A fresh database with the measured counter and the probes' one, and the run's settings.
  bool Prepare() {
    const std::string database = Database();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database + suffix);
    bench::Db db = bench::OpenDb(database);
    const std::string counters =
        "INSERT INTO counters (countername, parameters) VALUES "
        "('c0', 'Interface=0|,DestPortOption=1,DestPort=" +
        std::to_string(kCountedPort) +
        "|'), "
        "('c1', 'Interface=0|,DestPortOption=1,DestPort=" +
        std::to_string(kProbePort) + "|')";
    if (!bench::Exec(db.get(), bench::ReadWhole(FLOWSENTRY_SCHEMA_PATH)) ||
        !bench::Exec(db.get(), counters)) {
      return false;
    }
    bench::RunSettings run;
    run.threads = options_.threads;
    if (options_.mode == "batch")
      run.accounting = "mode=batch\r\nflushInterval=1000\r\nreadRecords=1024\r\n";
    return bench::WriteRunSettings(root_, run);
  }

  // The trafgen descriptions of one frame of `size` bytes (FCS not included) to the host's
  // counted port, and of a probe. Probes go out as trafgen's frames do, past the sender's own
  // stack: datagrams sent through it were seen to stay in it after a flood.
  bool WriteTrafficFiles(int size) {
    auto frame = [this](uint16_t port, int bytes) {
      return "{ eth(da=" + Mac(net_->mac_a()) + ", sa=" + Mac(net_->mac_b()) +
             "), ipv4(saddr=" + kNetwork + ".2, daddr=" + kNetwork +
             ".1, ttl=64), udp(sp=40000, dp=" + std::to_string(port) + "), fill(0x00, " +
             std::to_string(bytes - kEthernetUdpHeaders) + ") }\n";
    };
    traffic_ = root_.Host("/traffic.cfg");
    probes_ = root_.Host("/probes.cfg");
    return root_.WriteFile("/traffic.cfg", frame(kCountedPort, size)) &&
           root_.WriteFile("/probes.cfg", frame(kProbePort, 64));
  }

  // Probes until one is counted: capture is on and the service's threads read.
  bool Counting() {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && !Interrupted()) {
      Send(probes_, 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (Count("c1") > 0) return true;
    }
    return false;
  }

  // Sends `count` frames of a description, `rate` a second (0: as fast as trafgen can); the
  // frames it sent.
  int64_t Send(const std::string& description, int64_t count, int rate) {
    std::string command = trafgen_ + " --dev " + net_->veth_b() + " --conf " + description +
                          " --num " + std::to_string(count) +
                          " --cpus 1 --no-sock-mem --notouch-irq --no-cpu-stats";
    if (rate > 0) command += " --rate " + std::to_string(rate) + "pps";
    std::unique_ptr<ChildProcess> sender = ChildProcess::Start(
        {net_->ip(), "netns", "exec", net_->namespace_b(), "/bin/sh", "-c", command + " >&2"});
    if (sender == nullptr || sender->Wait() != 0) {
      std::fprintf(stderr, "live_bench: trafgen failed:\n%s",
                   sender ? sender->Output().c_str() : "");
      return 0;
    }
    std::smatch match;
    const std::string output = sender->Output();
    static const std::regex kSent("([0-9]+) packets outgoing");
    return std::regex_search(output, match, kSent) ? std::stoll(match[1]) : 0;
  }

  // Frames that reached the host's end of the pair so far.
  int64_t ReceivedFrames() {
    std::unique_ptr<ChildProcess> reader = ChildProcess::Start(
        {net_->ip(), "netns", "exec", net_->namespace_a(), "/bin/sh", "-c",
         "cat /sys/class/net/" + net_->veth_a() + "/statistics/rx_packets >&2"});
    if (reader == nullptr || reader->Wait() != 0) return 0;
    return std::atoll(reader->Output().c_str());
  }

  // Stops the service: it is told to stop, probes let a capture thread notice and switch capture
  // off (which tells it the driver's drops), then pactrak goes and the other threads with it.
  // The probes go out beside the stop control, which is answered only once the capture threads
  // ended or were ended.
  void StopAll() {
    const std::string log_path = std::string(kDestPath) + "/flowmeter.log";
    std::atomic<bool> said{false};
    std::thread prober([&] {
      const auto deadline = Clock::now() + std::chrono::seconds(30);
      while (!said.load() && Clock::now() < deadline) {
        Send(probes_, 20, 0);
        said = root_.ReadFile(log_path).find("Rejected packets") != std::string::npos;
      }
    });
    SERVICE_STATUS status;
    ControlService(service_, SERVICE_CONTROL_STOP, status);
    prober.join();
    if (pactrak_ != nullptr) {
      pactrak_->Signal(SIGTERM);
      pactrak_->Wait();
    }
    SERVICE_STATUS_PROCESS process;
    const auto stopped_deadline = Clock::now() + std::chrono::seconds(60);
    while (QueryServiceStatusEx(service_, process) && process.dwCurrentState != SERVICE_STOPPED &&
           Clock::now() < stopped_deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  void ReadDrops(Result& result) {
    const std::string log = root_.ReadFile(std::string(kDestPath) + "/flowmeter.log");
    const std::string marker = "Rejected packets - ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
      result.driver_dropped = std::max<int64_t>(result.driver_dropped, 0) +
                              std::atoll(log.c_str() + at + marker.size());
    }
    if (result.driver_dropped < 0) {
      std::fprintf(stderr, "live_bench: no capture thread said what the driver dropped:\n%s",
                   log.c_str());
    }
    if (pactrak_ == nullptr) return;
    const std::regex line("pactrak: " + net_->veth_a() +
                          ": ([0-9]+) received and [0-9]+ sent frames dropped by the kernel, "
                          "([0-9]+) received frames by the interface");
    std::smatch match;
    const std::string output = pactrak_->Output();
    std::fprintf(stderr, "%s", output.c_str());  // what pactrak said, for the record
    if (std::regex_search(output, match, line)) {
      result.kernel_dropped = std::stoll(match[1]);
      result.interface_dropped = std::stoll(match[2]);
    }
    pactrak_.reset();
  }

  const Options& options_;
  sigset_t signals_;
  bool interrupted_ = false;
  std::string trafgen_;
  std::string traffic_;
  std::string probes_;
  // Declared before the processes, so that it goes after them.
  std::unique_ptr<VethNamespaces> net_;
  std::unique_ptr<UdpSink> counted_sink_;
  std::unique_ptr<UdpSink> probe_sink_;
  testing::TempRoot root_;
  scmd::testing::ScmFixture scm_;
  ScHandle manager_;
  ScHandle service_;
  std::unique_ptr<ChildProcess> pactrak_;
};

std::string Percent(int64_t part, int64_t whole) {
  char text[16];
  std::snprintf(text, sizeof(text), "%.1f %%", whole > 0 ? 100.0 * part / whole : 0.0);
  return text;
}

int Main(const Options& options) {
  Bench bench(options);
  if (!bench.SetUp()) return 1;
  std::printf("mode %s, %d s per run, %d capture threads\n", options.mode.c_str(), options.seconds,
              options.threads);
  std::printf("%6s %7s %9s %10s %10s %10s %10s %8s %9s %9s %9s\n", "size", "pattern", "asked/s",
              "sent/s", "sent", "arrived", "counted", "counted", "driver", "kernel", "interface");
  std::fflush(stdout);
  for (const int size : options.sizes) {
    for (const std::string& pattern : options.patterns) {
      for (const int rate : options.rates) {
        std::optional<Result> r = bench.Run(size, pattern, rate);
        if (!r.has_value()) return bench.Interrupted() ? 130 : 1;
        std::printf("%6d %7s %9d %10.0f %10lld %10lld %10lld %8s %9lld %9lld %9lld\n", size,
                    pattern.c_str(), rate, r->seconds > 0 ? r->sent / r->seconds : 0.0,
                    static_cast<long long>(r->sent), static_cast<long long>(r->arrived),
                    static_cast<long long>(r->counted), Percent(r->counted, r->sent).c_str(),
                    static_cast<long long>(r->driver_dropped),
                    static_cast<long long>(r->kernel_dropped),
                    static_cast<long long>(r->interface_dropped));
        std::fflush(stdout);
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace flowsentry

int main(int argc, char** argv) {
  // Held back before any thread or child exists, so that Bench sees them and cleans up.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  flowsentry::Options options;
  const char* usage =
      "usage: live_bench [--mode packet|batch] [--rates 10000,81000,300000,1000000] "
      "[--sizes 64,1500]\n"
      "                  [--patterns even,burst] [--seconds 10] [--threads 10] "
      "[--pcap-buffer MIB] [--queue-limit N]\n";
  auto numbers = [](const std::string& text, std::vector<int>& out) {
    out.clear();
    for (const std::string& piece : flowsentry::Split(text)) {
      const int value = std::atoi(piece.c_str());
      if (value <= 0) return false;
      out.push_back(value);
    }
    return !out.empty();
  };
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "live_bench: %s needs a value\n%s", flag.c_str(), usage);
      return 2;
    }
    const std::string value = argv[++i];
    bool ok = true;
    std::vector<int> one;
    if (flag == "--mode") {
      options.mode = value;
      ok = value == "packet" || value == "batch";
    } else if (flag == "--rates") {
      ok = numbers(value, options.rates);
    } else if (flag == "--sizes") {
      ok = numbers(value, options.sizes);
      for (int size : options.sizes) ok = ok && size >= 60 && size <= 1514;
    } else if (flag == "--patterns") {
      options.patterns = flowsentry::Split(value);
      for (const std::string& p : options.patterns) ok = ok && (p == "even" || p == "burst");
    } else if (flag == "--seconds" || flag == "--threads" || flag == "--pcap-buffer" ||
               flag == "--queue-limit") {
      ok = numbers(value, one) && one.size() == 1;
      if (ok) {
        (flag == "--seconds"       ? options.seconds
         : flag == "--threads"     ? options.threads
         : flag == "--pcap-buffer" ? options.pcap_buffer_mib
                                   : options.queue_limit) = one[0];
      }
    } else {
      std::fprintf(stderr, "live_bench: unknown option %s\n%s", flag.c_str(), usage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "live_bench: bad value \"%s\" for %s\n%s", value.c_str(), flag.c_str(),
                   usage);
      return 2;
    }
  }
  return flowsentry::Main(options);
}
