#include "driver/runtime/sources/capture_file/capture_file_source.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "driver/runtime/kernel.h"
#include "driver/runtime/sources/pcap_handle.h"

namespace flowsentry::ndis {
namespace {

// Seconds between 1601-01-01 and 1970-01-01, and 100-nanosecond units per second.
constexpr int64_t kEpochGapSeconds = 11'644'473'600;
constexpr int64_t kUnitsPerSecond = 10'000'000;

// Opens a capture file with nanosecond time stamps (libpcap scales microsecond files).
PcapHandle OpenFile(const std::string& path, std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  PcapHandle handle(
      pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf));
  if (handle == nullptr) {
    *error = "cannot read capture file " + path + ": " + errbuf;
    return nullptr;
  }
  const int link_type = pcap_datalink(handle.get());
  if (link_type != DLT_EN10MB) {
    const char* name = pcap_datalink_val_to_name(link_type);
    const char* description = pcap_datalink_val_to_description(link_type);
    *error = "capture file " + path + " has link type " + (name != nullptr ? name : "unknown") +
             " (" + (description != nullptr ? description + std::string(", ") : std::string()) +
             std::to_string(link_type) + "); only Ethernet (EN10MB) captures can be replayed";
    return nullptr;
  }
  return handle;
}

int64_t SystemTimeOf(const pcap_pkthdr& header) {
  // With nanosecond precision tv_usec holds nanoseconds.
  return (static_cast<int64_t>(header.ts.tv_sec) + kEpochGapSeconds) * kUnitsPerSecond +
         static_cast<int64_t>(header.ts.tv_usec) / 100;
}

}  // namespace

struct CaptureFileSource::Replay {
  std::string path;
  std::string name;
  std::shared_ptr<SourceAdapter> adapter;
  MacAddress mac{};
  bool added = false;
  std::atomic<uint64_t> frames{0};
  std::thread thread;
};

std::string CaptureFileAdapterName(size_t index) { return "pcap" + std::to_string(index); }

CaptureFileSource::CaptureFileSource(Runtime& runtime, HostStack& host_stack, SourceLog log,
                                     ReplayOptions options)
    : runtime_(runtime),
      host_stack_(host_stack),
      log_(std::move(log)),
      options_(std::move(options)) {
  options_.loops = std::max<uint32_t>(options_.loops, 1);
}

CaptureFileSource::~CaptureFileSource() { Stop(); }

bool CaptureFileSource::Start(std::string* error) {
  const std::vector<std::string>& files = options_.files;
  std::vector<std::unique_ptr<Replay>> replays;
  for (size_t i = 0; i < files.size(); ++i) {
    PcapHandle handle = OpenFile(files[i], error);
    if (handle == nullptr) return false;
    auto replay = std::make_unique<Replay>();
    replay->path = files[i];
    replay->name = CaptureFileAdapterName(i);
    if (options_.mac.has_value()) {
      replay->mac = *options_.mac;
    } else {
      // The first frame's sender is taken to be the host that made the capture.
      pcap_pkthdr* header;
      const u_char* data;
      if (pcap_next_ex(handle.get(), &header, &data) == 1 && header->caplen >= 12) {
        std::copy_n(data + 6, 6, replay->mac.begin());
      }
    }
    AdapterProfile profile;
    profile.medium = NdisMedium802_3;
    profile.mac = replay->mac;
    profile.description = "Capture file " + files[i];
    replay->adapter = std::make_shared<SourceAdapter>(replay->name, profile);
    replays.push_back(std::move(replay));
  }
  auto undo = [&] {
    for (auto& replay : replays) {
      if (replay->added) runtime_.RemoveAdapter(replay->name);
    }
  };
  for (auto& replay : replays) {
    if (!runtime_.AddAdapter(replay->adapter)) {
      *error = "an adapter named " + replay->name + " exists already";
      undo();
      return false;
    }
    replay->added = true;
    if (!host_stack_.IsBound(replay->name)) {
      *error = "the driver did not bind to " + replay->name + " (" + replay->path + ")";
      undo();
      return false;
    }
    log_("pactrak: bound " + replay->name + " (802.3, " + FormatMac(replay->mac) + ") to " +
         replay->path + " as " + NarrowName(host_stack_.VirtualAdapterName(replay->name)));
  }
  stop_.store(false);
  for (auto& replay : replays) {
    Replay* r = replay.get();
    try {
      r->thread = std::thread([this, r] { Run(*r); });
    } catch (const std::system_error& e) {
      *error = "cannot start the replay of " + r->path + ": " + e.what();
      // The replays already running end before their adapters go.
      stop_.store(true);
      for (auto& started : replays) {
        if (started->thread.joinable()) started->thread.join();
      }
      undo();
      std::lock_guard lock(mu_);
      finished_ = 0;
      return false;
    }
  }
  replays_ = std::move(replays);
  return true;
}

void CaptureFileSource::Inject(Replay& replay, const SourceFrame& frame, int64_t system_time) {
  if (options_.file_time) ddk::SetThreadSystemTime(system_time);
  const bool own = frame.bytes.size() >= 12 &&
                   std::equal(replay.mac.begin(), replay.mac.end(), frame.bytes.begin() + 6);
  if (own) {
    host_stack_.Send(replay.name, frame);
  } else {
    replay.adapter->IndicateFrame(frame);
  }
  if (options_.file_time) ddk::ClearThreadSystemTime();
  replay.frames.fetch_add(1);
}

void CaptureFileSource::Run(Replay& replay) {
  bool stopped = false;
  std::string failure;
  for (uint32_t pass = 0; pass < options_.loops && !stopped && failure.empty(); ++pass) {
    PcapHandle handle = OpenFile(replay.path, &failure);
    if (handle == nullptr) break;
    for (;;) {
      if (stop_.load()) {
        stopped = true;
        break;
      }
      pcap_pkthdr* header;
      const u_char* data;
      const int result = pcap_next_ex(handle.get(), &header, &data);
      if (result == PCAP_ERROR_BREAK) break;  // the end of the file
      if (result != 1) {
        failure = pcap_geterr(handle.get());
        break;
      }
      const SourceFrame frame{std::span<const uint8_t>(data, header->caplen), header->len};
      if (options_.wait_for_room) {
        std::lock_guard lock(inject_lock_);
        if (!options_.wait_for_room(stop_)) {
          stopped = true;
          break;
        }
        Inject(replay, frame, SystemTimeOf(*header));
      } else {
        Inject(replay, frame, SystemTimeOf(*header));
      }
    }
  }
  const uint64_t frames = replay.frames.load();
  if (!failure.empty()) log_("pactrak: replay of " + replay.path + ": " + failure);
  if (stopped) {
    log_("pactrak: replay of " + replay.path + " stopped after " + std::to_string(frames) +
         " frames");
  } else {
    log_("pactrak: replay of " + replay.path + " finished: " + std::to_string(frames) + " frames" +
         (options_.loops > 1 ? " in " + std::to_string(options_.loops) + " passes" : ""));
  }
  std::lock_guard lock(mu_);
  ++finished_;
  finished_changed_.notify_all();
}

void CaptureFileSource::WaitUntilFinished() {
  std::unique_lock lock(mu_);
  finished_changed_.wait(lock, [this] { return finished_ == replays_.size(); });
}

uint64_t CaptureFileSource::FramesReplayed() const {
  uint64_t total = 0;
  for (const auto& replay : replays_) total += replay->frames.load();
  return total;
}

AdapterCounters CaptureFileSource::Counters(size_t index) const {
  return index < replays_.size() ? replays_[index]->adapter->Counters() : AdapterCounters{};
}

SourceStatistics CaptureFileSource::Statistics() const {
  SourceStatistics statistics;
  for (const auto& replay : replays_) {
    const AdapterCounters counters = replay->adapter->Counters();
    statistics.received += counters.received;
    statistics.sent += counters.sent;
  }
  return statistics;
}

void CaptureFileSource::Stop() {
  stop_.store(true);
  for (auto& replay : replays_) {
    if (replay->thread.joinable()) replay->thread.join();
  }
  for (auto& replay : replays_) {
    if (replay->added && runtime_.RemoveAdapter(replay->name)) {
      log_("pactrak: unbound " + replay->name);
    }
    replay->added = false;
  }
}

}  // namespace flowsentry::ndis
