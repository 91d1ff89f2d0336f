#include "driver/program/source_factory.h"

#include <atomic>
#include <utility>

#include "driver/control_device.h"
#include "driver/runtime/sources/capture_file/capture_file_source.h"
#include "driver/runtime/sources/live/live_source.h"

namespace flowsentry::pactrak {

std::unique_ptr<ndis::AdapterSource> MakeAdapterSource(const Options& options,
                                                       ndis::Runtime& runtime,
                                                       ndis::HostStack& host_stack,
                                                       ndis::SourceLog log) {
  switch (options.mode) {
    case Options::Mode::kLive:
      return std::make_unique<ndis::LiveSource>(
          runtime, host_stack, std::move(log),
          ndis::LiveOptions{.interfaces = options.interfaces,
                            .buffer_bytes = size_t{options.pcap_buffer_mib} << 20});
    case Options::Mode::kReplay: {
      ndis::ReplayOptions replay;
      replay.files = options.files;
      if (options.lossless) {
        replay.wait_for_room = [](const std::atomic<bool>& stop) {
          return WaitForRecordRoom(stop);
        };
      }
      replay.file_time = options.file_time;
      replay.loops = options.loops;
      replay.mac = options.mac;
      return std::make_unique<ndis::CaptureFileSource>(runtime, host_stack, std::move(log),
                                                       std::move(replay));
    }
  }
  return nullptr;
}

}  // namespace flowsentry::pactrak
