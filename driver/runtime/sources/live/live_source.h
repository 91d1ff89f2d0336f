// Live Linux interfaces as lower adapters, the live kind of adapter source: each interface is one
// adapter of its own name, read through two libpcap handles, one per direction. Frames the host
// sends enter the driver down the virtual adapter's send path (through the host stack); frames the
// interface receives are indicated up as whole packets (the receive-packet path). Sends that the
// driver passes down are completed at once without transmitting: the host sent them already.
//
// The medium follows the interface's hardware type: Ethernet is 802.3, token ring 802.5, FDDI
// FDDI, PPP WAN; loopback, tunnels and the rest are offered a medium of their own that the
// driver does not take, so it does not bind them. The address, MTU and carrier come from the
// kernel's link messages (netlink), which are watched while the source runs: an interface that
// appears is added and bound, one that vanishes is unbound and removed, a carrier change is
// indicated as media connect or disconnect, and an interface whose capture failed (it went
// down) is captured again once it is up.
//
// Each capture handle has a kernel buffer of its own (LiveOptions::buffer_bytes); the frames the
// kernel had no room for, and those the interface itself dropped on receipt, never reach the
// driver and are not among its own drops. They are said per interface, in one line of the form
//   pactrak: IFACE: R received and S sent frames dropped by the kernel, I received frames by the
//   interface
// (counts since the capture began) when its capture ends, and every report interval while they
// grow.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LIVE_SOURCE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LIVE_SOURCE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/live/links.h"
#include "driver/runtime/sources/source_adapter.h"

namespace flowsentry::ndis {

// The kernel buffer of one capture handle, in MiB. Each frame takes a slot of 1,680 bytes there
// whatever its length, so the default holds 99,864 frames: more than a second of 1 Gbit/s in
// frames of 1,500 bytes (81,274).
inline constexpr uint32_t kDefaultCaptureBufferMiB = 160;
inline constexpr uint32_t kMaxCaptureBufferMiB = 1024;

struct LiveOptions {
  std::vector<std::string> interfaces;  // empty: every interface, now and later
  size_t buffer_bytes = size_t{kDefaultCaptureBufferMiB} << 20;  // per handle, two per interface
  std::chrono::milliseconds drop_report_interval = std::chrono::minutes(1);
};

class LiveSource final : public AdapterSource {
 public:
  LiveSource(Runtime& runtime, HostStack& host_stack, SourceLog log, LiveOptions options = {});
  ~LiveSource() override;  // Stop()
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  // Adds the interfaces named in the options (every interface, now and later, when none is
  // named) and starts watching the links. Fails with a message when a named interface does not
  // exist or its capture cannot be opened or given a thread, or when the links cannot be listed or
  // watched; nothing stays added then. An interface that appears later and cannot be given a
  // capture thread is said and left unbound.
  bool Start(std::string* error) override;

  // Stops watching and capturing, and removes every adapter.
  void Stop() override;

  // Over every interface bound since the start; dropped: the kernel's and the interfaces' drops
  // as last said in the drop lines.
  SourceStatistics Statistics() const override;

  // Names of the interfaces that are bound now.
  std::vector<std::string> BoundInterfaces() const;

 private:
  struct Interface;

  bool Wanted(const std::string& name) const;
  // Called with links_mu_ held (the watch thread or Start).
  bool Add(const LinkInfo& link, std::string* error);
  void Update(Interface& entry, const LinkInfo& link);
  // Ends the entry's capture, if any, keeping its drops among the removed ones.
  void RetireCapture(Interface& entry);
  void Remove(int index);
  void Apply(const std::vector<LinkChange>& changes);

  Runtime& runtime_;
  HostStack& host_stack_;
  SourceLog log_;
  const LiveOptions options_;
  std::unique_ptr<LinkWatch> watch_;
  std::thread watcher_;
  mutable std::mutex links_mu_;
  std::map<int, std::unique_ptr<Interface>> interfaces_;
  SourceStatistics removed_;  // of the interfaces and captures that are gone, under links_mu_
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LIVE_SOURCE_H_
