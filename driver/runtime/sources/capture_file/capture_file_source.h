// Capture files replayed as lower adapters, through libpcap's offline reader: the capture file
// kind of adapter source.
//
// Each file becomes one 802.3 adapter named "pcap<N>", N being the file's position among the
// files given (0 first); its vendor description names the file. Only Ethernet captures can be
// replayed. A frame whose source address is the adapter's own (given, or else the first frame's
// source address) runs the send path, through the host stack and the virtual adapter above;
// every other frame runs the receive path, indicated as a whole packet. Frames cut short by the
// capture are filled up with zeros to their length on the wire, so the driver sees each frame's
// full length; frames above kMaxFrameLength are cut to it.
//
// Each file is replayed on a thread of its own, as fast as it can be read unless pacing is
// asked for. The driver's capture step runs on that thread.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_CAPTURE_FILE_CAPTURE_FILE_SOURCE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_CAPTURE_FILE_CAPTURE_FILE_SOURCE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/source_adapter.h"

namespace flowsentry::ndis {

struct ReplayOptions {
  // The capture files, in adapter order.
  std::vector<std::string> files;
  // Before each frame: waits until the frame's record can be queued without a loss; false when
  // `stop` became true first. Set for a lossless replay; the source holds one lock of its own
  // across this wait and the frame, so two replays never take the last room together.
  std::function<bool(const std::atomic<bool>& stop)> wait_for_room;
  // Stamp the records with the file's times instead of the clock.
  bool file_time = false;
  // Passes over each file; at least 1.
  uint32_t loops = 1;
  // The adapters' own address; unset: each file's first frame's source address.
  std::optional<MacAddress> mac;
};

// The adapter name of the file at `index`.
std::string CaptureFileAdapterName(size_t index);

class CaptureFileSource final : public AdapterSource {
 public:
  CaptureFileSource(Runtime& runtime, HostStack& host_stack, SourceLog log, ReplayOptions options);
  ~CaptureFileSource() override;  // Stop()
  CaptureFileSource(const CaptureFileSource&) = delete;
  CaptureFileSource& operator=(const CaptureFileSource&) = delete;

  // Opens every file, then adds and binds one adapter per file and starts the replays. On the
  // first file that cannot be opened or is not an Ethernet capture, or an adapter that does not
  // bind, or a replay that cannot be given a thread, fails with a message naming the file (and
  // the link type), and adds nothing. Once only.
  bool Start(std::string* error) override;

  // Ends the replays (a paced wait ends too) and removes every adapter.
  void Stop() override;

  // Over every file; nothing is dropped. Safe once Start returned.
  SourceStatistics Statistics() const override;

  // Waits until every replay has passed over its file(s) as often as asked.
  void WaitUntilFinished();

  // Frames replayed so far over all files.
  uint64_t FramesReplayed() const;

  // The counters of the file at `index`: frames the driver passed down to it (the send path)
  // and frames it indicated (the receive path).
  AdapterCounters Counters(size_t index) const;

 private:
  struct Replay;

  void Run(Replay& replay);
  void Inject(Replay& replay, const SourceFrame& frame, int64_t system_time);

  Runtime& runtime_;
  HostStack& host_stack_;
  SourceLog log_;
  ReplayOptions options_;
  std::atomic<bool> stop_{false};
  std::mutex inject_lock_;  // held across a paced wait and its frame
  std::vector<std::unique_ptr<Replay>> replays_;
  mutable std::mutex mu_;
  std::condition_variable finished_changed_;
  size_t finished_ = 0;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_CAPTURE_FILE_CAPTURE_FILE_SOURCE_H_
