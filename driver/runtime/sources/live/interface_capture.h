// The capture of one live interface: two libpcap handles, one per direction, served by a thread
// of its own. Frames the interface received are indicated up the interface's adapter as whole
// packets; frames the host sent enter the driver through the host stack, down the virtual
// adapter's send path. Cooked and raw IP captures get an Ethernet header on the way.
//
// Each handle has a kernel buffer of its own; the frames the kernel had no room for, and those
// the interface dropped on receipt, never reach the driver. They are said in one line
// (KernelDropLine) when the capture ends, and every report interval while they grow.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_CAPTURE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_CAPTURE_H_

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/sources/adapter_profile.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/pcap_handle.h"
#include "driver/runtime/sources/source_adapter.h"
#include "platform/posix/fd.h"

namespace flowsentry::ndis {

// The kernel's and the interface's drops of one interface's capture:
//   pactrak: IFACE: R received and S sent frames dropped by the kernel, I received frames by the
//   interface
std::string KernelDropLine(const std::string& interface, uint64_t received, uint64_t sent,
                           uint64_t interface_dropped);

// A frame captured with link type `link_type` (DLT_*) as an Ethernet adapter carries it: a
// cooked (DLT_LINUX_SLL) or raw IP (DLT_RAW) frame gets an Ethernet header, built in `scratch`,
// with `own` as the source address of an outgoing frame and the destination of an incoming one,
// and keeps its length on the wire beyond the header; any other frame is returned as it came.
SourceFrame AsEthernetFrame(int link_type, bool outgoing, const MacAddress& own,
                            const SourceFrame& captured, std::vector<uint8_t>& scratch);

class InterfaceCapture {
 public:
  // Null with the reason when the interface cannot be captured; `no_thread` tells apart the
  // case where everything but the capture thread could be made. `buffer_bytes` is the kernel
  // buffer of each handle.
  static std::unique_ptr<InterfaceCapture> Open(const std::string& name, HostStack& host_stack,
                                                std::shared_ptr<SourceAdapter> adapter,
                                                SourceLog log, size_t buffer_bytes,
                                                std::chrono::milliseconds report_interval,
                                                std::string* error, bool* no_thread);
  ~InterfaceCapture();  // Halt()
  InterfaceCapture(const InterfaceCapture&) = delete;
  InterfaceCapture& operator=(const InterfaceCapture&) = delete;

  // Ends the capture thread and says the drops since the capture began. Idempotent.
  void Halt();

  // Whether reading failed (the interface went down or away): the capture has ended then.
  bool Failed() const { return failed_.load(); }
  // Frames lost before the driver, as last said. Safe from any thread.
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

  InterfaceCapture(std::string name, HostStack& host_stack, std::shared_ptr<SourceAdapter> adapter,
                   SourceLog log, std::chrono::milliseconds report_interval);

  static PcapHandle OpenHandle(const std::string& name, pcap_direction_t direction,
                               size_t buffer_bytes, std::string* error);
  static void OnReceived(u_char* user, const pcap_pkthdr* header, const u_char* data);
  static void OnSent(u_char* user, const pcap_pkthdr* header, const u_char* data);
  SourceFrame Frame(int link_type, bool outgoing, const pcap_pkthdr& header, const u_char* data);
  void Run();
  Drops ReadDrops();
  void ReportGrownDrops();
  void Fail(const std::string& reason);

  const std::string name_;
  HostStack& host_stack_;
  std::shared_ptr<SourceAdapter> adapter_;
  SourceLog log_;
  PcapHandle in_;
  PcapHandle out_;
  int in_link_ = DLT_EN10MB;
  int out_link_ = DLT_EN10MB;
  platform::posix::Fd wake_;
  std::vector<uint8_t> scratch_;  // only the capture thread uses it
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> dropped_{0};
  const std::chrono::milliseconds report_interval_;
  Drops reported_;  // only the capture thread uses it, and Halt after it ended
  std::thread thread_;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_INTERFACE_CAPTURE_H_
