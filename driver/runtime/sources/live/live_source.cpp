#include "driver/runtime/sources/live/live_source.h"

#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include "driver/runtime/sources/pcap_handle.h"
#include "platform/posix/fd.h"

namespace flowsentry::ndis {
namespace {

using platform::posix::Fd;

constexpr uint32_t kLowerUp = 1u << 16;  // IFF_LOWER_UP
constexpr size_t kNetlinkBuffer = 64 * 1024;
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

// The interface's driver, as ethtool names it ("veth", "e1000e"); empty when it does not say.
std::string DriverName(const std::string& interface) {
  Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return {};
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq request{};
  std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&info);
  if (::ioctl(socket.get(), SIOCETHTOOL, &request) != 0) return {};
  return std::string(info.driver, strnlen(info.driver, sizeof(info.driver)));
}

// Link speed in units of 100 bit/s, from the interface's speed in Mbit/s; 0 when unknown.
uint32_t LinkSpeed(const std::string& interface) {
  std::ifstream file("/sys/class/net/" + interface + "/speed");
  long long mbits = 0;
  if (!(file >> mbits) || mbits <= 0 || mbits > 400'000) return 0;
  return static_cast<uint32_t>(mbits * 10'000);
}

AdapterProfile ProfileOf(const LinkInfo& link) {
  AdapterProfile profile;
  profile.medium = MediumForLinkType(link.type);
  if (link.address.size() >= 6) {
    std::copy_n(link.address.begin(), 6, profile.mac.begin());
  } else {
    // A link without a hardware address (PPP): a locally administered one made of its index.
    profile.mac = {0x02,
                   0x00,
                   0x00,
                   0x00,
                   static_cast<uint8_t>(link.index >> 8),
                   static_cast<uint8_t>(link.index)};
  }
  const std::string driver = DriverName(link.name);
  profile.description = driver.empty() ? link.name : link.name + " (" + driver + ")";
  profile.mtu = link.mtu != 0 ? link.mtu : 1500;
  if (uint32_t speed = LinkSpeed(link.name); speed != 0) profile.link_speed = speed;
  return profile;
}

std::optional<MacAddress> MacOf(const LinkInfo& link) {
  if (link.address.size() < 6) return std::nullopt;
  MacAddress mac;
  std::copy_n(link.address.begin(), 6, mac.begin());
  return mac;
}

bool SendDumpRequest(int netlink) {
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return ::sendto(netlink, &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof(kernel)) == static_cast<ssize_t>(sizeof(request));
}

}  // namespace

bool LinkInfo::Up() const { return (flags & IFF_UP) != 0; }
bool LinkInfo::Carrier() const { return Up() && (flags & kLowerUp) != 0; }

NDIS_MEDIUM MediumForLinkType(uint16_t type) {
  switch (type) {
    case ARPHRD_ETHER:
    case ARPHRD_EETHER:
      return NdisMedium802_3;
    case ARPHRD_IEEE802:
    case ARPHRD_IEEE802_TR:
      return NdisMedium802_5;
    case ARPHRD_FDDI:
      return NdisMediumFddi;
    case ARPHRD_PPP:
      return NdisMediumWan;
    case ARPHRD_ARCNET:
      return NdisMediumArcnet878_2;
    case ARPHRD_ATM:
      return NdisMediumAtm;
    case ARPHRD_IEEE1394:
      return NdisMedium1394;
    case ARPHRD_IRDA:
      return NdisMediumIrda;
    case ARPHRD_INFINIBAND:
      return NdisMediumInfiniBand;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      return NdisMediumNative802_11;
    case ARPHRD_LOOPBACK:
      return NdisMediumLoopback;
    default:
      return NdisMediumTunnel;  // tunnels, raw IP devices and anything else without a MAC header
  }
}

std::optional<LinkInfo> ParseLinkMessage(std::span<const uint8_t> message, bool* removed) {
  if (message.size() < NLMSG_LENGTH(sizeof(ifinfomsg))) return std::nullopt;
  nlmsghdr header;
  std::memcpy(&header, message.data(), sizeof(header));
  if (header.nlmsg_len > message.size() || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
    return std::nullopt;
  }
  if (header.nlmsg_type != RTM_NEWLINK && header.nlmsg_type != RTM_DELLINK) return std::nullopt;
  *removed = header.nlmsg_type == RTM_DELLINK;
  ifinfomsg info;
  std::memcpy(&info, message.data() + NLMSG_HDRLEN, sizeof(info));
  LinkInfo link;
  link.index = info.ifi_index;
  link.type = info.ifi_type;
  link.flags = info.ifi_flags;
  size_t offset = NLMSG_LENGTH(sizeof(ifinfomsg));
  // Attributes are read by offset and copied out, so an odd length can never reach past the end.
  while (offset + sizeof(rtattr) <= header.nlmsg_len) {
    rtattr attribute;
    std::memcpy(&attribute, message.data() + offset, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || offset + attribute.rta_len > header.nlmsg_len) break;
    const uint8_t* payload = message.data() + offset + RTA_LENGTH(0);
    const size_t size = attribute.rta_len - RTA_LENGTH(0);
    switch (attribute.rta_type) {
      case IFLA_IFNAME:
        link.name.assign(reinterpret_cast<const char*>(payload),
                         strnlen(reinterpret_cast<const char*>(payload), size));
        break;
      case IFLA_ADDRESS:
        link.address.assign(payload, payload + size);
        break;
      case IFLA_MTU:
        if (size >= 4) std::memcpy(&link.mtu, payload, 4);
        break;
      default:
        break;
    }
    offset += RTA_ALIGN(attribute.rta_len);
  }
  if (link.index <= 0) return std::nullopt;
  return link;
}

// ----- The two capture handles of one interface ----------------------------------------------

class LiveSource::Capture {
 public:
  // Null with the reason when the interface cannot be captured; `no_thread` tells apart the
  // case where everything but the capture thread could be made.
  static std::unique_ptr<Capture> Open(const std::string& name, HostStack& host_stack,
                                       std::shared_ptr<SourceAdapter> adapter, SourceLog log,
                                       const LiveOptions& options, std::string* error,
                                       bool* no_thread) {
    *no_thread = false;
    std::unique_ptr<Capture> capture(
        new Capture(name, host_stack, std::move(adapter), log, options.drop_report_interval));
    capture->in_ = OpenHandle(name, PCAP_D_IN, options.buffer_bytes, error);
    if (capture->in_ == nullptr) return nullptr;
    capture->out_ = OpenHandle(name, PCAP_D_OUT, options.buffer_bytes, error);
    if (capture->out_ == nullptr) return nullptr;
    capture->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (capture->wake_ < 0) {
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

  ~Capture() {
    Halt();
    if (wake_ >= 0) ::close(wake_);
  }

  // Ends the capture thread and says the drops since the capture began. Idempotent.
  void Halt() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) < 0) {
      // The counter cannot overflow with one write; nothing else can fail here.
    }
    thread_.join();
    const Drops drops = ReadDrops();
    dropped_.store(drops.received + drops.sent + drops.interface);
    log_(KernelDropLine(name_, drops.received, drops.sent, drops.interface));
  }

  bool Failed() const { return failed_.load(); }
  // Frames lost before the driver, as last said.
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  using Clock = std::chrono::steady_clock;

  // Frames lost before the driver saw them, since the capture began.
  struct Drops {
    uint64_t received = 0;   // the kernel had no room in the receive handle's buffer
    uint64_t sent = 0;       // ... in the send handle's
    uint64_t interface = 0;  // the interface dropped on receipt (only the receive handle's)
    bool operator==(const Drops&) const = default;
  };

  Capture(std::string name, HostStack& host_stack, std::shared_ptr<SourceAdapter> adapter,
          SourceLog log, std::chrono::milliseconds report_interval)
      : name_(std::move(name)),
        host_stack_(host_stack),
        adapter_(std::move(adapter)),
        log_(std::move(log)),
        report_interval_(std::max(report_interval, std::chrono::milliseconds(1))) {}

  static PcapHandle OpenHandle(const std::string& name, pcap_direction_t direction,
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
        pcap_setnonblock(handle.get(), 1, errbuf) != 0 ||
        pcap_get_selectable_fd(handle.get()) < 0) {
      *error = "cannot capture on " + name + ": " + pcap_geterr(handle.get());
      return nullptr;
    }
    return handle;
  }

  // A frame of the handle's link type as the adapter's medium carries it: cooked and raw IP
  // captures (PPP links) get an Ethernet header, the host's address on its own side.
  SourceFrame Frame(int link_type, bool outgoing, const pcap_pkthdr& header, const u_char* data,
                    std::vector<uint8_t>& scratch) {
    SourceFrame frame{std::span<const uint8_t>(data, header.caplen), header.len};
    uint16_t ether_type;
    uint32_t skip;
    if (link_type == DLT_LINUX_SLL && header.caplen >= kCookedHeader) {
      ether_type = static_cast<uint16_t>(data[14] << 8 | data[15]);
      skip = kCookedHeader;
    } else if (link_type == DLT_RAW && header.caplen >= 1) {
      ether_type = (data[0] >> 4) == 6 ? 0x86DD : 0x0800;
      skip = 0;
    } else {
      return frame;
    }
    const MacAddress own = adapter_->Profile().mac;
    scratch.assign(14, 0);
    std::copy(own.begin(), own.end(), scratch.begin() + (outgoing ? 6 : 0));
    scratch[12] = static_cast<uint8_t>(ether_type >> 8);
    scratch[13] = static_cast<uint8_t>(ether_type);
    scratch.insert(scratch.end(), data + skip, data + header.caplen);
    frame.bytes = scratch;
    frame.length = header.len - skip + 14;
    return frame;
  }

  static void OnReceived(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* self = reinterpret_cast<Capture*>(user);
    self->adapter_->IndicateFrame(
        self->Frame(self->in_link_, false, *header, data, self->scratch_));
  }

  static void OnSent(u_char* user, const pcap_pkthdr* header, const u_char* data) {
    auto* self = reinterpret_cast<Capture*>(user);
    self->host_stack_.Send(self->name_,
                           self->Frame(self->out_link_, true, *header, data, self->scratch_));
  }

  void Run() {
    pollfd fds[3] = {{pcap_get_selectable_fd(in_.get()), POLLIN, 0},
                     {pcap_get_selectable_fd(out_.get()), POLLIN, 0},
                     {wake_, POLLIN, 0}};
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
  Drops ReadDrops() {
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
  void ReportGrownDrops() {
    const Drops drops = ReadDrops();
    if (drops == reported_) return;
    reported_ = drops;
    dropped_.store(drops.received + drops.sent + drops.interface);
    log_(KernelDropLine(name_, drops.received, drops.sent, drops.interface));
  }

  void Fail(const std::string& reason) {
    failed_.store(true);
    log_("pactrak: capture on " + name_ + " stopped: " + reason);
  }

  const std::string name_;
  HostStack& host_stack_;
  std::shared_ptr<SourceAdapter> adapter_;
  SourceLog log_;
  PcapHandle in_;
  PcapHandle out_;
  int in_link_ = DLT_EN10MB;
  int out_link_ = DLT_EN10MB;
  int wake_ = -1;
  std::vector<uint8_t> scratch_;  // only the capture thread uses it
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> dropped_{0};
  const std::chrono::milliseconds report_interval_;
  Drops reported_;  // only the capture thread uses it, and the destructor after it ended
  std::thread thread_;
};

// ----- The source -----------------------------------------------------------------------------

struct LiveSource::Interface {
  LinkInfo link;
  std::shared_ptr<SourceAdapter> adapter;
  std::unique_ptr<Capture> capture;
  bool bound = false;
};

std::string KernelDropLine(const std::string& interface, uint64_t received, uint64_t sent,
                           uint64_t interface_dropped) {
  return "pactrak: " + interface + ": " + std::to_string(received) + " received and " +
         std::to_string(sent) + " sent frames dropped by the kernel, " +
         std::to_string(interface_dropped) + " received frames by the interface";
}

LiveSource::LiveSource(Runtime& runtime, HostStack& host_stack, SourceLog log, LiveOptions options)
    : runtime_(runtime), host_stack_(host_stack), log_(std::move(log)), options_(options) {}

LiveSource::~LiveSource() { Stop(); }

bool LiveSource::Wanted(const std::string& name) const {
  return options_.interfaces.empty() ||
         std::find(options_.interfaces.begin(), options_.interfaces.end(), name) !=
             options_.interfaces.end();
}

bool LiveSource::Add(const LinkInfo& link, std::string* error) {
  auto entry = std::make_unique<Interface>();
  entry->link = link;
  entry->adapter = std::make_shared<SourceAdapter>(link.name, ProfileOf(link));
  const AdapterProfile profile = entry->adapter->Profile();
  if (!runtime_.AddAdapter(entry->adapter)) {
    *error = "an adapter named " + link.name + " exists already";
    return false;
  }
  if (!host_stack_.IsBound(link.name)) {
    *error =
        "the driver did not bind to " + link.name + " (medium " + MediumName(profile.medium) + ")";
    runtime_.RemoveAdapter(link.name);
    if (!options_.interfaces.empty()) return false;
    // Watching every interface: remember it unbound, so later link events leave it alone.
    log_("pactrak: " + *error);
    entry->adapter.reset();
    interfaces_[link.index] = std::move(entry);
    return true;
  }
  entry->bound = true;
  // The virtual adapter starts out connected; tell it at once when the cable is out.
  entry->adapter->SetConnected(link.Carrier());
  std::string capture_error;
  bool no_thread = false;
  entry->capture = Capture::Open(link.name, host_stack_, entry->adapter, log_, options_,
                                 &capture_error, &no_thread);
  if (entry->capture == nullptr && (!options_.interfaces.empty() || no_thread)) {
    runtime_.RemoveAdapter(link.name);
    if (!options_.interfaces.empty()) {
      *error = capture_error;
      return false;
    }
    // Watching every interface: this one cannot be used now. A capture that merely failed to
    // open is tried again when the link comes up; a process out of threads is not helped by that.
    log_("pactrak: " + capture_error + "; " + link.name + " stays unbound");
    entry->bound = false;
    entry->adapter.reset();
    interfaces_[link.index] = std::move(entry);
    return true;
  }
  // Said once the capture runs, so that whoever waits for the line sees every later frame.
  log_("pactrak: bound " + link.name + " (" + MediumName(profile.medium) + ", " +
       FormatMac(profile.mac) + ") as " + NarrowName(host_stack_.VirtualAdapterName(link.name)));
  if (entry->capture == nullptr) log_("pactrak: " + capture_error);
  interfaces_[link.index] = std::move(entry);
  return true;
}

void LiveSource::Update(Interface& entry, const LinkInfo& link) {
  if (!entry.bound) {
    entry.link = link;
    return;
  }
  if (std::optional<MacAddress> mac = MacOf(link); mac.has_value()) entry.adapter->SetMac(*mac);
  const bool was_connected = entry.adapter->Connected();
  if (was_connected != link.Carrier()) {
    entry.adapter->SetConnected(link.Carrier());
    log_("pactrak: " + link.name + (link.Carrier() ? " media connect" : " media disconnect"));
  }
  entry.link = link;
  if (link.Up() && (entry.capture == nullptr || entry.capture->Failed())) {
    RetireCapture(entry);
    std::string error;
    bool no_thread = false;
    entry.capture =
        Capture::Open(link.name, host_stack_, entry.adapter, log_, options_, &error, &no_thread);
    if (entry.capture == nullptr) log_("pactrak: " + error);
  }
}

void LiveSource::RetireCapture(Interface& entry) {
  if (entry.capture == nullptr) return;
  entry.capture->Halt();
  removed_.dropped += entry.capture->Dropped();
  entry.capture.reset();
}

void LiveSource::Remove(int index) {
  auto it = interfaces_.find(index);
  if (it == interfaces_.end()) return;
  std::unique_ptr<Interface> entry = std::move(it->second);
  interfaces_.erase(it);
  RetireCapture(*entry);  // no frame enters the adapter from here on
  if (entry->adapter != nullptr) {
    const AdapterCounters counters = entry->adapter->Counters();
    removed_.received += counters.received;
    removed_.sent += counters.sent;
  }
  runtime_.RemoveAdapter(entry->link.name);
  if (entry->bound) log_("pactrak: unbound " + entry->link.name);
}

void LiveSource::HandleMessages(std::span<const uint8_t> data) {
  size_t offset = 0;
  while (offset + sizeof(nlmsghdr) <= data.size()) {
    nlmsghdr header;
    std::memcpy(&header, data.data() + offset, sizeof(header));
    if (header.nlmsg_len < sizeof(nlmsghdr) || offset + header.nlmsg_len > data.size()) break;
    bool removed = false;
    std::optional<LinkInfo> link =
        ParseLinkMessage(data.subspan(offset, header.nlmsg_len), &removed);
    offset += NLMSG_ALIGN(header.nlmsg_len);
    if (!link.has_value()) continue;
    auto it = interfaces_.find(link->index);
    if (removed) {
      Remove(link->index);
      continue;
    }
    if (it != interfaces_.end() && it->second->link.name != link->name) {
      Remove(link->index);  // renamed: it is another adapter now
      it = interfaces_.end();
    }
    if (it != interfaces_.end()) {
      Update(*it->second, *link);
    } else if (Wanted(link->name) && !link->name.empty()) {
      std::string error;
      if (!Add(*link, &error)) log_("pactrak: " + error);
    }
  }
}

bool LiveSource::Start(std::string* error) {
  Fd netlink(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (netlink.get() < 0) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    return false;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK;
  if (::bind(netlink.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      !SendDumpRequest(netlink.get())) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    return false;
  }
  // The listing; link events that come in between are applied in order, as they came.
  std::map<int, LinkInfo> links;
  std::vector<uint8_t> buffer(kNetlinkBuffer);
  for (bool done = false; !done;) {
    const ssize_t n = ::recv(netlink.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = std::string("cannot list the network links: ") + std::strerror(errno);
      return false;
    }
    size_t offset = 0;
    while (offset + sizeof(nlmsghdr) <= static_cast<size_t>(n)) {
      nlmsghdr header;
      std::memcpy(&header, buffer.data() + offset, sizeof(header));
      if (header.nlmsg_len < sizeof(nlmsghdr) ||
          offset + header.nlmsg_len > static_cast<size_t>(n)) {
        break;
      }
      if (header.nlmsg_type == NLMSG_DONE) done = true;
      if (header.nlmsg_type == NLMSG_ERROR) {
        *error = "cannot list the network links";
        return false;
      }
      bool removed = false;
      std::optional<LinkInfo> link = ParseLinkMessage(
          std::span<const uint8_t>(buffer.data() + offset, header.nlmsg_len), &removed);
      if (link.has_value()) {
        if (removed) {
          links.erase(link->index);
        } else {
          links[link->index] = *link;
        }
      }
      offset += NLMSG_ALIGN(header.nlmsg_len);
    }
  }
  std::lock_guard lock(links_mu_);
  for (const std::string& name : options_.interfaces) {
    const bool known = std::any_of(links.begin(), links.end(),
                                   [&name](const auto& l) { return l.second.name == name; });
    if (!known) {
      *error = "no network interface named " + name;
      return false;
    }
  }
  for (const auto& [index, link] : links) {
    if (!Wanted(link.name)) continue;
    std::string add_error;
    if (Add(link, &add_error)) continue;
    if (options_.interfaces.empty()) {
      log_("pactrak: " + add_error);
      continue;
    }
    *error = add_error;
    while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
    return false;
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
    return false;
  }
  netlink_ = netlink.Release();
  stop_.store(false);
  try {
    watcher_ = std::thread([this] { Watch(); });
  } catch (const std::system_error& e) {
    *error = std::string("cannot start watching the network links: ") + e.what();
    ::close(std::exchange(wake_, -1));
    ::close(std::exchange(netlink_, -1));
    while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
    return false;
  }
  return true;
}

void LiveSource::Watch() {
  std::vector<uint8_t> buffer(kNetlinkBuffer);
  pollfd fds[2] = {{netlink_, POLLIN, 0}, {wake_, POLLIN, 0}};
  while (!stop_.load()) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_(std::string("pactrak: watching the network links failed: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::recv(netlink_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ENOBUFS) {
        // Events were lost: list the links again; the answers update what is known.
        SendDumpRequest(netlink_);
        continue;
      }
      log_(std::string("pactrak: watching the network links failed: ") + std::strerror(errno));
      return;
    }
    std::lock_guard lock(links_mu_);
    HandleMessages(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
  }
}

void LiveSource::Stop() {
  stop_.store(true);
  if (watcher_.joinable()) {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) < 0) {
      // An eventfd write of 1 cannot fail short of a broken descriptor.
    }
    watcher_.join();
  }
  if (wake_ >= 0) ::close(std::exchange(wake_, -1));
  if (netlink_ >= 0) ::close(std::exchange(netlink_, -1));
  std::lock_guard lock(links_mu_);
  while (!interfaces_.empty()) Remove(interfaces_.begin()->first);
}

SourceStatistics LiveSource::Statistics() const {
  std::lock_guard lock(links_mu_);
  SourceStatistics statistics = removed_;
  for (const auto& [index, entry] : interfaces_) {
    if (entry->adapter != nullptr) {
      const AdapterCounters counters = entry->adapter->Counters();
      statistics.received += counters.received;
      statistics.sent += counters.sent;
    }
    if (entry->capture != nullptr) statistics.dropped += entry->capture->Dropped();
  }
  return statistics;
}

std::vector<std::string> LiveSource::BoundInterfaces() const {
  std::lock_guard lock(links_mu_);
  std::vector<std::string> names;
  for (const auto& [index, entry] : interfaces_) {
    if (entry->bound) names.push_back(entry->link.name);
  }
  return names;
}

}  // namespace flowsentry::ndis
