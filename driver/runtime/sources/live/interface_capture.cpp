#include "driver/runtime/sources/live/interface_capture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace flowsentry::ndis {
namespace {

// Frames per dispatch, and dispatches per handle and wake-up at most: enough to drain what a
// burst left in the buffer at once, few enough that a flood on one direction cannot starve the
// other; poll reports the handle again while frames are left.
constexpr int kFramesPerDispatch = 4096;
constexpr int kDispatchesPerWake = 4;
// Bytes kept of each frame: a whole Ethernet frame of the usual MTU (VLAN tag included). The
// capture buffer has one slot of this size (1,680 bytes with the kernel's header) per frame; a
// frame cut short keeps its length on the wire (FrameForRuntime) and the driver reads no further
// than the transport ports.
constexpr int kCaptureSnapLength = 1600;
constexpr uint32_t kCookedHeader = 16;  // DLT_LINUX_SLL

// A compiled filter program, freed with the object.
class FilterProgram {
 public:
  FilterProgram() = default;
  ~FilterProgram() {
    if (compiled_) pcap_freecode(&program_);
  }
  FilterProgram(const FilterProgram&) = delete;
  FilterProgram& operator=(const FilterProgram&) = delete;

  bool Compile(pcap_t* handle, const char* expression) {
    compiled_ = pcap_compile(handle, &program_, expression, 1, PCAP_NETMASK_UNKNOWN) == 0;
    return compiled_;
  }
  bpf_program* get() { return &program_; }

 private:
  bpf_program program_{};
  bool compiled_ = false;
};

}  // namespace

std::string KernelDropLine(const std::string& interface, uint64_t received, uint64_t sent,
                           uint64_t interface_dropped) {
  return "pactrak: " + interface + ": " + std::to_string(received) + " received and " +
         std::to_string(sent) + " sent frames dropped by the kernel, " +
         std::to_string(interface_dropped) + " received frames by the interface";
}

SourceFrame AsEthernetFrame(int link_type, bool outgoing, const MacAddress& own,
                            const SourceFrame& captured, std::vector<uint8_t>& scratch) {
  const std::span<const uint8_t> data = captured.bytes;
  uint16_t ether_type;
  uint32_t skip;
  if (link_type == DLT_LINUX_SLL && data.size() >= kCookedHeader) {
    ether_type = static_cast<uint16_t>(data[14] << 8 | data[15]);
    skip = kCookedHeader;
  } else if (link_type == DLT_RAW && data.size() >= 1) {
    ether_type = (data[0] >> 4) == 6 ? 0x86DD : 0x0800;
    skip = 0;
  } else {
    return captured;
  }
  scratch.assign(14, 0);
  std::copy(own.begin(), own.end(), scratch.begin() + (outgoing ? 6 : 0));
  scratch[12] = static_cast<uint8_t>(ether_type >> 8);
  scratch[13] = static_cast<uint8_t>(ether_type);
  scratch.insert(scratch.end(), data.begin() + skip, data.end());
  return SourceFrame{scratch, captured.length - skip + 14};
}

std::unique_ptr<InterfaceCapture> InterfaceCapture::Open(const std::string& name,
                                                         HostStack& host_stack,
                                                         std::shared_ptr<SourceAdapter> adapter,
                                                         SourceLog log, size_t buffer_bytes,
                                                         std::chrono::milliseconds report_interval,
                                                         std::string* error, bool* no_thread) {
  *no_thread = false;
  std::unique_ptr<InterfaceCapture> capture(
      new InterfaceCapture(name, host_stack, std::move(adapter), log, report_interval));
  capture->in_ = OpenHandle(name, PCAP_D_IN, buffer_bytes, error);
  if (capture->in_ == nullptr) return nullptr;
  capture->out_ = OpenHandle(name, PCAP_D_OUT, buffer_bytes, error);
  if (capture->out_ == nullptr) return nullptr;
  capture->wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!capture->wake_.valid()) {
    *error = "cannot make a wake-up for " + name + ": " + std::strerror(errno);
    return nullptr;
  }
  capture->in_link_ = pcap_datalink(capture->in_.get());
  capture->out_link_ = pcap_datalink(capture->out_.get());
  try {
    capture->thread_ = std::thread([c = capture.get()] { c->Run(); });
  } catch (const std::system_error& e) {
    *error = "cannot start a capture thread for " + name + ": " + e.what();
    *no_thread = true;
    return nullptr;
  }
  return capture;
}

InterfaceCapture::InterfaceCapture(std::string name, HostStack& host_stack,
                                   std::shared_ptr<SourceAdapter> adapter, SourceLog log,
                                   std::chrono::milliseconds report_interval)
    : name_(std::move(name)),
      host_stack_(host_stack),
      adapter_(std::move(adapter)),
      log_(std::move(log)),
      report_interval_(std::max(report_interval, std::chrono::milliseconds(1))) {}

InterfaceCapture::~InterfaceCapture() { Halt(); }

void InterfaceCapture::Halt() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof(one)) < 0) {
    // The counter cannot overflow with one write; nothing else can fail here.
  }
  thread_.join();
  const Drops drops = ReadDrops();
  dropped_.store(drops.received + drops.sent + drops.interface);
  log_(KernelDropLine(name_, drops.received, drops.sent, drops.interface));
}

PcapHandle InterfaceCapture::OpenHandle(const std::string& name, pcap_direction_t direction,
                                        size_t buffer_bytes, std::string* error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  PcapHandle handle(pcap_create(name.c_str(), errbuf));
  if (handle == nullptr) {
    *error = "cannot capture on " + name + ": " + errbuf;
    return nullptr;
  }
  // Not the largest frame's length: the buffer is cut into slots of the snap length (of 64 KiB
  // and more on an interface with segmentation offloads, whatever is asked). Immediate mode:
  // without it the kernel packs frames into blocks by their length, but frames the host sent
  // were seen to wait in a block that was not handed over until later frames came.
  pcap_set_snaplen(handle.get(), kCaptureSnapLength);
  pcap_set_immediate_mode(handle.get(), 1);
  pcap_set_buffer_size(handle.get(), static_cast<int>(buffer_bytes));
  const int status = pcap_activate(handle.get());
  if (status < 0) {
    const std::string detail = pcap_geterr(handle.get());
    const std::string summary = pcap_statustostr(status);
    *error = "cannot capture on " + name + ": " + summary;
    if (!detail.empty() && detail != summary) *error += " (" + detail + ")";
    return nullptr;
  }
  // The direction is also chosen by a filter the kernel runs, so that each handle's buffer
  // holds only its own direction's frames; pcap_setdirection alone drops the others only
  // after they took room in the buffer. A link type the filter cannot be made for still has
  // pcap_setdirection.
  FilterProgram direction_filter;
  if (direction_filter.Compile(handle.get(), direction == PCAP_D_IN ? "inbound" : "outbound")) {
    pcap_setfilter(handle.get(), direction_filter.get());
  }
  if (pcap_setdirection(handle.get(), direction) != 0 ||
      pcap_setnonblock(handle.get(), 1, errbuf) != 0 || pcap_get_selectable_fd(handle.get()) < 0) {
    *error = "cannot capture on " + name + ": " + pcap_geterr(handle.get());
    return nullptr;
  }
  return handle;
}

// The frame in the adapter's medium; the address put in is the adapter's current one.
SourceFrame InterfaceCapture::Frame(int link_type, bool outgoing, const pcap_pkthdr& header,
                                    const u_char* data) {
  const SourceFrame captured{std::span<const uint8_t>(data, header.caplen), header.len};
  if (link_type != DLT_LINUX_SLL && link_type != DLT_RAW) return captured;
  return AsEthernetFrame(link_type, outgoing, adapter_->Profile().mac, captured, scratch_);
}

void InterfaceCapture::OnReceived(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  auto* self = reinterpret_cast<InterfaceCapture*>(user);
  self->adapter_->IndicateFrame(self->Frame(self->in_link_, false, *header, data));
}

void InterfaceCapture::OnSent(u_char* user, const pcap_pkthdr* header, const u_char* data) {
  auto* self = reinterpret_cast<InterfaceCapture*>(user);
  self->host_stack_.Send(self->name_, self->Frame(self->out_link_, true, *header, data));
}

void InterfaceCapture::Run() {
  pollfd fds[3] = {{pcap_get_selectable_fd(in_.get()), POLLIN, 0},
                   {pcap_get_selectable_fd(out_.get()), POLLIN, 0},
                   {wake_.get(), POLLIN, 0}};
  pcap_t* handles[2] = {in_.get(), out_.get()};
  pcap_handler handlers[2] = {&OnReceived, &OnSent};
  Clock::time_point next_report = Clock::now() + report_interval_;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= next_report) {
      ReportGrownDrops();
      next_report = now + report_interval_;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_report - now).count();
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<int64_t>(wait, 1 << 30)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fail(std::string("poll: ") + std::strerror(errno));
      return;
    }
    if (ready == 0) continue;
    if (fds[2].revents != 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      // Drain what is there: only a dispatch that found nothing ends the drain (one that
      // handed over fewer frames than asked may have skipped frames of the other direction).
      // A read error (the interface went down or away) ends the capture.
      int count = 0;
      for (int round = 0; round < kDispatchesPerWake; ++round) {
        count = pcap_dispatch(handles[i], kFramesPerDispatch, handlers[i],
                              reinterpret_cast<u_char*>(this));
        if (count <= 0) break;
      }
      if (count < 0) {
        Fail(pcap_geterr(handles[i]));
        return;
      }
    }
  }
}

// A handle whose statistics cannot be read (its interface went away) keeps its last counts.
InterfaceCapture::Drops InterfaceCapture::ReadDrops() {
  Drops drops = reported_;
  pcap_stat stats{};
  if (pcap_stats(in_.get(), &stats) == 0) {
    drops.received = stats.ps_drop;
    drops.interface = stats.ps_ifdrop;
  }
  if (pcap_stats(out_.get(), &stats) == 0) drops.sent = stats.ps_drop;
  return drops;
}

// Frames lost before the driver never show among its own drops: said while they grow, so
// that they are not lost unnoticed, and not once per lost frame.
void InterfaceCapture::ReportGrownDrops() {
  const Drops drops = ReadDrops();
  if (drops == reported_) return;
  reported_ = drops;
  dropped_.store(drops.received + drops.sent + drops.interface);
  log_(KernelDropLine(name_, drops.received, drops.sent, drops.interface));
}

void InterfaceCapture::Fail(const std::string& reason) {
  failed_.store(true);
  log_("pactrak: capture on " + name_ + " stopped: " + reason);
}

}  // namespace flowsentry::ndis
