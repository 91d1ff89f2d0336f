// Capture files through the capture-file source: the input is written to a file and replayed
// once through libpcap's offline reader into the real pactrak driver with capture on, so that
// every frame also runs the driver's capture step. A file libpcap refuses is refused by Start;
// one it takes is replayed to its end, however it ends.
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/capture_file/capture_file_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "fuzz/fuzz_check.h"
#include "platform/device.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"

namespace flowsentry::pactrak {
namespace {

struct Fixture {
  Fixture() {
    runtime.SetDeviceHost(&device_host);
    runtime.AttachUpperProtocol(&host_stack);
    if (runtime.LoadDriver(kProtocolName, &DriverEntry) != ddk::STATUS_SUCCESS) {
      std::fprintf(stderr, "the driver did not load\n");
      std::abort();
    }
    // The driver makes its control device when it binds its first adapter: one adapter stays
    // bound for the whole run, so the device and the capture switch outlive every replay.
    ndis::AdapterProfile profile;
    profile.medium = ndis::NdisMedium802_3;
    profile.mac = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x7F};
    keeper = std::make_shared<ndis::SourceAdapter>("keep0", profile);
    if (!runtime.AddAdapter(keeper)) {
      std::fprintf(stderr, "the standing adapter was not added\n");
      std::abort();
    }
    control = platform::DeviceHandle::Open(kDeviceName);
    const uint8_t on = CAPTURE_ENABLED;
    std::array<uint8_t, 4> dropped{};
    if (!control.IsOpen() ||
        !control.DeviceIoControl(IOCTL_SET_CAPTURE, {&on, 1}, dropped, nullptr)) {
      std::fprintf(stderr, "capture could not be switched on\n");
      std::abort();
    }
  }
  ~Fixture() {
    control = platform::DeviceHandle();
    runtime.RemoveAdapter("keep0");
    runtime.UnloadDriver();
    runtime.DetachUpperProtocol(&host_stack);
  }

  platform::testing::TempRoot root;
  ddk::SocketDeviceHost device_host;
  ndis::HostStack host_stack{kProtocolName};
  ndis::Runtime runtime;
  std::shared_ptr<ndis::SourceAdapter> keeper;
  platform::DeviceHandle control;
};

}  // namespace
}  // namespace flowsentry::pactrak

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry;
  static pactrak::Fixture fixture;
  const std::string path = fixture.root.path() + "/input.pcap";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
  }
  // Records wait in the driver's queue until it is full; past that they are dropped, which is
  // the driver's ordinary overflow and keeps memory bounded over a long run.
  ndis::ReplayOptions options;
  options.files = {path};
  options.file_time = (size & 1) != 0;
  ndis::CaptureFileSource source(
      fixture.runtime, fixture.host_stack, [](const std::string&) {}, options);
  std::string error;
  if (source.Start(&error)) {
    source.WaitUntilFinished();
    const ndis::AdapterCounters counters = source.Counters(0);
    FUZZ_CHECK(counters.sent + counters.received <= source.FramesReplayed());
    source.Stop();
  } else {
    FUZZ_CHECK(!error.empty());
  }
  return 0;
}
