// A service program for tests, whose behaviour the test chooses by its arguments:
//
//   test_service <mode> [--log PATH] [--stop-delay-ms N] [--child-stop NAME] [--exit-code N]
//
// Modes:
//   run       reports start-pending (check point 1, wait hint 3000), then running, accepting
//             stop; a stop reports stop-pending, waits --stop-delay-ms, reports stopped and ends.
//   pending   reports start-pending and stays there, accepting nothing.
//   return    the main function returns without reporting anything.
//   crash     as run, but the process ends at once on its first control, reporting nothing.
//   hang      never calls the dispatcher (a program that is no service).
//   console   calls the dispatcher and prints its result and last error (run by hand).
//   stopper NAME   not a service: opens the manager, stops NAME and writes "stopped <ok>
//             <error> <state>" to --log (used by --child-stop).
//
// --log PATH (a host path): every event is appended as a line ("main", "control 1", "TZ=...",
// "child <pid>", "end"), so a test can wait for it and read it.
// --child-stop NAME: once running, starts "test_service stopper NAME" in a session of its own,
// which outlives this process and stops the service through the manager.
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/service_control.h"

extern char** environ;

namespace {

namespace fp = flowsentry::platform;

std::string g_mode;
std::string g_log;
std::string g_child_stop;
std::string g_self;
int g_stop_delay_ms = 0;

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_stop = false;
fp::ServiceStatusHandle g_handle = 0;
fp::SERVICE_STATUS g_status;

void Log(const std::string& line) {
  if (g_log.empty()) return;
  std::lock_guard lock(g_mutex);
  std::ofstream(g_log, std::ios::app) << line << "\n";
}

void Report(uint32_t state, uint32_t accepted, uint32_t check_point, uint32_t wait_hint) {
  std::lock_guard lock(g_mutex);
  g_status.dwServiceType = fp::SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwCheckPoint = check_point;
  g_status.dwWaitHint = wait_hint;
  fp::SetServiceStatus(g_handle, g_status);
}

void StartStopper() {
  std::vector<std::string> arguments = {g_self, "stopper", g_child_stop, "--log", g_log};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, g_self.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  Log(result == 0 ? "child " + std::to_string(pid) : "child failed");
}

void Handler(uint32_t control) {
  Log("control " + std::to_string(control));
  if (g_mode == "crash") std::_Exit(3);
  if (control != fp::SERVICE_CONTROL_STOP) {
    Report(g_status.dwCurrentState, g_status.dwControlsAccepted, 0, 0);
    return;
  }
  Report(fp::SERVICE_STOP_PENDING, fp::SERVICE_ACCEPT_STOP, 1, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(g_stop_delay_ms));
  std::lock_guard lock(g_mutex);
  g_stop = true;
  g_changed.notify_all();
}

void ServiceMain() {
  Log("main");
  if (const char* zone = std::getenv("TZ")) Log(std::string("TZ=") + zone);
  if (std::getenv("FLOWSENTRY_SCM_CHANNEL") != nullptr) Log("channel variable seen");
  if (g_mode == "return") return;
  g_handle = fp::RegisterServiceCtrlHandler("anything", Handler);
  if (g_handle != 0) Log("registered under a wrong name");
  g_handle = fp::RegisterServiceCtrlHandler("TestSvc", Handler);
  if (g_handle == 0) {
    Log("register failed " + std::to_string(fp::GetLastError()));
    return;
  }
  Report(fp::SERVICE_START_PENDING, 0, 1, 3000);
  if (g_mode == "pending") {
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [] { return g_stop; });
    return;
  }
  Report(fp::SERVICE_RUNNING, fp::SERVICE_ACCEPT_STOP, 0, 0);
  if (!g_child_stop.empty()) StartStopper();
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait(lock, [] { return g_stop; });
  }
  Report(fp::SERVICE_STOPPED, fp::SERVICE_ACCEPT_STOP, 0, 0);
  Log("end");
}

int Stopper(const std::string& name) {
  fp::ScHandle manager = fp::OpenSCManager(fp::SC_MANAGER_ALL_ACCESS);
  fp::ScHandle service = fp::OpenService(manager, name, fp::SERVICE_ALL_ACCESS);
  fp::SERVICE_STATUS status;
  // The service's report of running travels to the manager on its own channel, which may be
  // read after this request: wait until the manager has it, as any client that stops a service
  // it has just seen start must (for at most 10 s).
  for (int i = 0; i < 1000; ++i) {
    if (fp::QueryServiceStatus(service, status) && status.dwCurrentState == fp::SERVICE_RUNNING) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool ok = fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status);
  const auto error = ok ? 0 : fp::GetLastError();
  Log("stopped " + std::to_string(ok) + " " + std::to_string(error) + " " +
      std::to_string(status.dwCurrentState));
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_self = argv[0];
  g_mode = argv[1];
  std::string stopper_name;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--log" && has_value) {
      g_log = argv[++i];
    } else if (argument == "--stop-delay-ms" && has_value) {
      g_stop_delay_ms = std::atoi(argv[++i]);
    } else if (argument == "--child-stop" && has_value) {
      g_child_stop = argv[++i];
    } else if (g_mode == "stopper" && stopper_name.empty()) {
      stopper_name = argument;
    }
  }
  if (g_mode == "stopper") return Stopper(stopper_name);
  if (g_mode == "hang") {
    Log("hang");
    pause();
    return 0;
  }
  const fp::ServiceTableEntry table[] = {{"TestSvc", ServiceMain}};
  const bool ok = fp::StartServiceCtrlDispatcher(table);
  if (g_mode == "console") {
    std::printf("%d %u\n", ok ? 1 : 0, ok ? 0u : fp::GetLastError());
  }
  Log(ok ? "dispatcher returned" : "dispatcher failed " + std::to_string(fp::GetLastError()));
  return ok ? 0 : 1;
}
