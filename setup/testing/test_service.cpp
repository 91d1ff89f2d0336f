// A stand-in for flowmeter in the setup tool's tests: the service flowSentry that reports
// start-pending, then running, and stops on request. A file "mode" beside the program changes
// its manners: "refuse-stop" answers a stop control by staying running.
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/service_control.h"
#include "platform/threads.h"

namespace p = flowsentry::platform;

namespace {

std::string Mode() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::ifstream file(self.parent_path() / "mode");
  std::string mode;
  std::getline(file, mode);
  return mode;
}

p::ServiceStatusHandle status_handle = 0;
p::SERVICE_STATUS status;
p::Event stop_requested;
bool refuse_stop = false;

void Report(uint32_t state, uint32_t controls, uint32_t check_point, uint32_t wait_hint) {
  status.dwServiceType = p::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  status.dwCheckPoint = check_point;
  status.dwWaitHint = wait_hint;
  p::SetServiceStatus(status_handle, status);
}

void Handler(uint32_t control) {
  if (control == p::SERVICE_CONTROL_STOP && !refuse_stop) {
    Report(p::SERVICE_STOP_PENDING, p::SERVICE_ACCEPT_STOP, 1, 3000);
    stop_requested.Set();
    return;
  }
  p::SetServiceStatus(status_handle, status);
}

void ServiceMain() {
  status_handle = p::RegisterServiceCtrlHandler("flowSentry", Handler);
  if (status_handle == 0) return;
  Report(p::SERVICE_START_PENDING, 0, 1, 3000);
  Report(p::SERVICE_RUNNING, p::SERVICE_ACCEPT_STOP, 0, 0);
  stop_requested.Wait(p::INFINITE);
  Report(p::SERVICE_STOPPED, p::SERVICE_ACCEPT_STOP, 0, 0);
}

}  // namespace

int main() {
  refuse_stop = Mode() == "refuse-stop";
  const p::ServiceTableEntry table[] = {{"flowSentry", ServiceMain}};
  return p::StartServiceCtrlDispatcher(table) ? 0 : 1;
}
