// Records per second through pactrak's control device, against a plain socketpair round trip
// in the same run:
//
//   build/bench/control_device_bench
//
// SocketpairRoundTrip: the floor of one request and its reply between two threads over a
// Unix-domain socketpair, with the sizes of a read (17-byte request, 57-byte reply), measured
// with the OS's calls directly on purpose.
//
// RecordsThroughControlDevice: the driver loaded on the runtime in this process, its control
// device served on its socket under a temporary machine root, fed by a lossless replay of a
// capture file of 1,000 UDP frames (half sent, half received) looped for the whole run. Each
// reading thread opens its own handle and reads 50-byte buffers, one record per read, as the
// service's capture threads do. items_per_second is records per second over all readers.
//
// RecordBatchesThroughControlDevice/LIMIT: the same driver loaded with a record queue of LIMIT
// records, one reader draining it with IOCTL_READ_RECORDS into a 1 MiB buffer, as the service's
// batch mode does. items_per_second is records per second; records_per_request how many records
// one request brought on average.

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_device.h"
#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/capture_file/capture_file_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/device.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"
#include "shared/device_wire.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {
namespace {

constexpr int kFrames = 1000;
constexpr uint32_t kLoops = 1'000'000;  // far more than any run reads

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "control_device_bench: %s\n", what.c_str());
  std::exit(1);
}

// The driver with one replayed adapter, for the life of the process.
class ReplayedDriver {
 public:
  ReplayedDriver() : host_stack_(kProtocolName) {
    const std::vector<uint8_t> own = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
    const std::vector<uint8_t> peer = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x02};
    std::vector<ndis::testing::CapturedFrame> frames;
    for (int i = 0; i < kFrames; ++i) {
      const bool sent = i % 2 == 0;
      ndis::testing::CapturedFrame frame;
      frame.seconds = 1'800'000'000u + static_cast<uint32_t>(i);
      frame.bytes = ndis::testing::UdpFrame(sent ? peer : own, sent ? own : peer,
                                            sent ? 0xC0000201 : 0xC0000202,  // 192.0.2.1, .2
                                            sent ? 0xC0000202 : 0xC0000201,
                                            static_cast<uint16_t>(40000 + i % 100), 53, 64);
      frames.push_back(std::move(frame));
    }
    const std::string file = root_.Host("/replay.pcap");
    if (!ndis::testing::WriteWholeFile(
            file, ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet, frames))) {
      Fail("cannot write " + file);
    }

    runtime_.SetDeviceHost(&device_host_);
    runtime_.AttachUpperProtocol(&host_stack_);
    if (runtime_.LoadDriver(kProtocolName, &DriverEntry) != ddk::STATUS_SUCCESS) {
      Fail("the driver did not load");
    }
    ndis::ReplayOptions options;
    options.files = {file};
    options.wait_for_room = [](const std::atomic<bool>& stop) { return WaitForRecordRoom(stop); };
    options.loops = kLoops;
    files_ = std::make_unique<ndis::CaptureFileSource>(
        runtime_, host_stack_, [](const std::string&) {}, options);
    std::string error;
    if (!files_->Start(&error)) Fail(error);

    control_ = platform::DeviceHandle::Open(kDeviceName);
    if (!control_.IsOpen()) Fail("cannot open the control device");
    const std::array<uint8_t, 1> flags = {CAPTURE_ENABLED};
    std::array<uint8_t, 4> dropped{};
    if (!control_.DeviceIoControl(IOCTL_SET_CAPTURE, flags, dropped, nullptr)) {
      Fail("IOCTL_SET_CAPTURE failed");
    }
  }

  ~ReplayedDriver() {
    control_.Close();
    files_->Stop();
    runtime_.UnloadDriver();
    runtime_.DetachUpperProtocol(&host_stack_);
  }

 private:
  platform::testing::TempRoot root_;
  ddk::SocketDeviceHost device_host_;
  ndis::HostStack host_stack_;
  ndis::Runtime runtime_;
  std::unique_ptr<ndis::CaptureFileSource> files_;
  platform::DeviceHandle control_;
};

// The driver with a record queue of `limit` records: loaded anew when the limit changes.
ReplayedDriver& Driver(uint32_t limit = MAX_QUEUED_RECORDS) {
  static std::unique_ptr<ReplayedDriver> driver;
  static uint32_t loaded_limit = 0;
  if (driver == nullptr || loaded_limit != limit) {
    driver.reset();
    SetRecordQueueLimit(limit);
    driver = std::make_unique<ReplayedDriver>();
    loaded_limit = limit;
  }
  return *driver;
}

void RecordsThroughControlDevice(benchmark::State& state) {
  Driver();
  platform::DeviceHandle handle = platform::DeviceHandle::Open(kDeviceName);
  if (!handle.IsOpen()) {
    state.SkipWithError("cannot open the control device");
    return;
  }
  std::array<uint8_t, kReadSize> buffer{};
  for (auto _ : state) {
    uint32_t bytes = 0;
    if (!handle.ReadFile(buffer, &bytes) || bytes != kReadSize) {
      state.SkipWithError("a read failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RecordsThroughControlDevice)->Threads(1)->Threads(10)->UseRealTime();

// One reader draining with IOCTL_READ_RECORDS into a 1 MiB buffer, the record queue holding
// state.range(0) records. items_per_second is records per second.
void RecordBatchesThroughControlDevice(benchmark::State& state) {
  Driver(static_cast<uint32_t>(state.range(0)));
  platform::DeviceHandle handle = platform::DeviceHandle::Open(kDeviceName);
  if (!handle.IsOpen()) {
    state.SkipWithError("cannot open the control device");
    return;
  }
  std::vector<uint8_t> buffer(wire::kMaxOutputLength);
  uint64_t records = 0;
  for (auto _ : state) {
    uint32_t bytes = 0;
    if (!handle.DeviceIoControl(IOCTL_READ_RECORDS, {}, buffer, &bytes) || bytes == 0 ||
        bytes % kPacketRecordSize != 0) {
      state.SkipWithError("a batch read failed");
      break;
    }
    records += bytes / kPacketRecordSize;
  }
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.counters["records_per_request"] =
      benchmark::Counter(static_cast<double>(records) / static_cast<double>(state.iterations()));
}
BENCHMARK(RecordBatchesThroughControlDevice)->Arg(MAX_QUEUED_RECORDS)->Arg(65536)->UseRealTime();

void SocketpairRoundTrip(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  constexpr size_t kRequest = 17;
  constexpr size_t kReply = 57;
  std::thread peer([fd = fds[1]] {
    std::array<uint8_t, kReply> bytes{};
    while (true) {
      size_t got = 0;
      while (got < kRequest) {
        const ssize_t n = ::read(fd, bytes.data() + got, kRequest - got);
        if (n <= 0) return;
        got += static_cast<size_t>(n);
      }
      if (::write(fd, bytes.data(), kReply) != static_cast<ssize_t>(kReply)) return;
    }
  });
  std::array<uint8_t, kReply> bytes{};
  for (auto _ : state) {
    if (::write(fds[0], bytes.data(), kRequest) != static_cast<ssize_t>(kRequest)) break;
    size_t got = 0;
    while (got < kReply) {
      const ssize_t n = ::read(fds[0], bytes.data() + got, kReply - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  ::shutdown(fds[0], SHUT_RDWR);
  peer.join();
  ::close(fds[0]);
  ::close(fds[1]);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SocketpairRoundTrip)->UseRealTime();

}  // namespace
}  // namespace flowsentry::pactrak

BENCHMARK_MAIN();
