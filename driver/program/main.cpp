// pactrak, the capture driver's host: loads the driver on the network-driver runtime, gives it
// live interfaces or capture files as lower adapters, serves its control device, and runs in
// the foreground until SIGINT or SIGTERM.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "driver/control_device.h"
#include "driver/pactrak.h"
#include "driver/program/options.h"
#include "driver/program/source_factory.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/sources/host_stack.h"
#include "driver/runtime/sources/termination.h"

namespace flowsentry::pactrak {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::mutex stderr_mu;

void Say(const std::string& line) {
  std::lock_guard lock(stderr_mu);
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int Run(const Options& options) {
  if (!ndis::HoldTerminationSignals()) {
    Say("pactrak: cannot set up signal handling");
    return kExitFailure;
  }
  ddk::SocketDeviceHost device_host;
  ndis::HostStack host_stack(kProtocolName);
  ndis::Runtime runtime;
  runtime.SetDeviceHost(&device_host);
  runtime.AttachUpperProtocol(&host_stack);
  SetRecordQueueLimit(options.queue_limit);
  const ddk::NTSTATUS status = runtime.LoadDriver(kProtocolName, &DriverEntry);
  if (!ddk::NT_SUCCESS(status)) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    Say(std::string("pactrak: the driver did not load: status ") + text);
    runtime.DetachUpperProtocol(&host_stack);
    return kExitFailure;
  }

  const std::unique_ptr<ndis::AdapterSource> source =
      MakeAdapterSource(options, runtime, host_stack, &Say);
  std::string error;
  const bool started = source->Start(&error);
  int exit_code = 0;
  if (started) {
    const int signal_number = ndis::WaitForTermination();
    Say("pactrak: stopping on signal " + std::to_string(signal_number));
  } else {
    Say("pactrak: " + error);
    exit_code = kExitFailure;
  }
  source->Stop();
  runtime.UnloadDriver();
  runtime.DetachUpperProtocol(&host_stack);
  return exit_code;
}

}  // namespace
}  // namespace flowsentry::pactrak

int main(int argc, char** argv) {
  using flowsentry::pactrak::ParsedCommandLine;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  ParsedCommandLine parsed = flowsentry::pactrak::ParseCommandLine(args);
  switch (parsed.outcome) {
    case ParsedCommandLine::Outcome::kHelp:
      std::fputs(flowsentry::pactrak::UsageText().c_str(), stdout);
      return 0;
    case ParsedCommandLine::Outcome::kUsageError:
      std::fprintf(stderr, "pactrak: %s\n%s", parsed.error.c_str(),
                   flowsentry::pactrak::UsageText().c_str());
      return flowsentry::pactrak::kExitUsage;
    case ParsedCommandLine::Outcome::kRun:
      break;
  }
  return flowsentry::pactrak::Run(parsed.options);
}
