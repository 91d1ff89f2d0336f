#include "setup/commands.h"

#include <utility>

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "platform/service_control.h"

namespace flowsentry::setup {
namespace {

namespace p = platform;

// The message texts; "%s" is filled with the service or the display name.
constexpr std::string_view kNoDatabase = "failed to access service database";
constexpr std::string_view kInstalled = "%s service has been installed successfully";
constexpr std::string_view kNotCreated = "failed to create %s service";
constexpr std::string_view kNoService = "failed to access %s service";
constexpr std::string_view kNotStopped = "failed to stop %s service";
constexpr std::string_view kRemoved = "%s service has been removed";
constexpr std::string_view kNotRemoved = "failed to remove %s service";
constexpr std::string_view kAlreadyStopped = "%s service already stopped";
constexpr std::string_view kStopped = "%s service successfully stopped";
constexpr std::string_view kNoServiceToStart = "failed to access service %s";
constexpr std::string_view kAlreadyRunning = "%s service is already running";
constexpr std::string_view kStartFailed = "failed to start %s service";
constexpr std::string_view kNotStarted = "%s service not started";
constexpr std::string_view kStarted = "%s service successfully started";

std::string Fill(std::string_view pattern, std::string_view name) {
  std::string text(pattern);
  if (const size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, name);
  return text;
}

// flowsetup.log in the current directory, replaced when opened. Lines are written at once, so
// what a run logged survives however it ends; without the file they are dropped.
class SetupLog {
 public:
  SetupLog()
      : file_(p::File::Open(kLogFileName, p::GENERIC_WRITE, p::FILE_SHARE_READ,
                            p::Disposition::kCreateAlways)) {}

  void Line(std::string_view text) { Write(std::string(text) + "\r\n"); }
  void Write(std::string_view text) {
    if (file_.IsOpen()) file_.Write(text);
  }

 private:
  p::File file_;
};

bool QueryStatus(const p::ScHandle& service, p::SERVICE_STATUS& status) {
  return p::QueryServiceStatus(service, status);
}

}  // namespace

std::string ProgramPathFor(std::string_view current_directory) {
  std::string path(current_directory);
  if (path.empty() || path.back() != '/') path += '/';
  path += kProgramName;
  // Quoted, the whole path is the program; unquoted, Windows' manager would first try the
  // shorter programs that the path's prefixes name, and ours would find no arguments after it.
  if (path.find_first_of(" \t") != std::string::npos) path = '"' + path + '"';
  if (path.size() + 1 > kMaxPath) return {};
  return path;
}

bool stopService(std::string& message, const Waits& waits) {
  p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_ALL_ACCESS);
  if (!manager.IsValid()) {
    message = kNoDatabase;
    return false;
  }
  p::ScHandle service = p::OpenService(manager, kServiceName, p::SERVICE_ALL_ACCESS);
  if (!service.IsValid()) {
    message = Fill(kNoService, kDisplayName);
    return false;
  }
  p::SERVICE_STATUS status;
  if (!p::ControlService(service, p::SERVICE_CONTROL_STOP, status)) {
    // Whatever the reason the manager gives, the service is taken as not running.
    message = Fill(kAlreadyStopped, kDisplayName);
    return true;
  }
  WaitWhileStopPending([&](p::SERVICE_STATUS& s) { return QueryStatus(service, s); }, status,
                       waits);
  if (status.dwCurrentState == p::SERVICE_STOPPED) {
    message = Fill(kStopped, kDisplayName);
    return true;
  }
  message = Fill(kNotStopped, kDisplayName);
  return false;
}

bool startService(std::string& message, const Waits& waits) {
  p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_ALL_ACCESS);
  if (!manager.IsValid()) {
    message = kNoDatabase;
    return false;
  }
  p::ScHandle service = p::OpenService(manager, kServiceName, p::SERVICE_ALL_ACCESS);
  if (!service.IsValid()) {
    message = Fill(kNoServiceToStart, kDisplayName);
    return false;
  }
  if (!p::StartService(service)) {
    if (p::GetLastError() == p::ERROR_SERVICE_ALREADY_RUNNING) {
      message = Fill(kAlreadyRunning, kDisplayName);
      return true;
    }
    message = Fill(kStartFailed, kDisplayName);
    return false;
  }
  p::SERVICE_STATUS_PROCESS status;
  const auto query = [&](p::SERVICE_STATUS_PROCESS& s) {
    return p::QueryServiceStatusEx(service, s);
  };
  if (!query(status) || !WaitWhileStartPending(query, status, waits) ||
      status.dwCurrentState != p::SERVICE_RUNNING) {
    message = Fill(kNotStarted, kDisplayName);
    return false;
  }
  message = Fill(kStarted, kDisplayName);
  return true;
}

void installService(const Console& console) {
  const std::optional<std::string> directory = p::GetCurrentMachineDirectory();
  const std::string program = directory ? ProgramPathFor(*directory) : std::string();
  if (program.empty()) {
    // A path the manager could not start the program from would install a service that never
    // runs; refuse it as a failed creation instead.
    console(Fill(kNotCreated, kServiceName));
    return;
  }
  std::string message;
  {
    p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_ALL_ACCESS);
    if (!manager.IsValid()) {
      message = kNoDatabase;
    } else {
      p::ScHandle service =
          p::CreateService(manager, kServiceName, kDisplayName, p::SERVICE_ALL_ACCESS,
                           p::SERVICE_WIN32_OWN_PROCESS | p::SERVICE_INTERACTIVE_PROCESS,
                           p::SERVICE_AUTO_START, p::SERVICE_ERROR_NORMAL, program);
      if (service.IsValid()) {
        message = Fill(kInstalled, kServiceName);
        p::ChangeServiceDescription(service, kDisplayName);
      } else {
        message = Fill(kNotCreated, kServiceName);
      }
    }
  }
  console(message);
}

void uninstallService(const Console& console, const Waits& waits) {
  SetupLog log;
  log.Line("uninstall begin");
  std::string message;
  {
    p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_ALL_ACCESS);
    p::ScHandle service;
    if (!manager.IsValid()) {
      message = kNoDatabase;
    } else if (service = p::OpenService(manager, kServiceName, p::SERVICE_ALL_ACCESS);
               !service.IsValid()) {
      message = Fill(kNoService, kServiceName);
    } else {
      p::SERVICE_STATUS status;
      bool stopped = true;
      if (p::ControlService(service, p::SERVICE_CONTROL_STOP, status)) {
        WaitWhileStopPending([&](p::SERVICE_STATUS& s) { return QueryStatus(service, s); }, status,
                             waits);
        stopped = status.dwCurrentState == p::SERVICE_STOPPED;
      }
      if (!stopped) {
        message = Fill(kNotStopped, kServiceName);
      } else if (p::DeleteService(service)) {
        message = Fill(kRemoved, kServiceName);
        log.Line("uninstall successfully");
      } else {
        message = Fill(kNotRemoved, kServiceName);
      }
    }
    console(message);
  }
  log.Write("uninstall end");
}

void restartService(const Waits& waits) {
  SetupLog log;
  log.Line("restart begin");
  {
    p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_ALL_ACCESS);
    if (!manager.IsValid()) {
      log.Line("schSCManager == NULL by OpenSCManager");
    } else if (p::ScHandle service = p::OpenService(manager, kServiceName, p::SERVICE_ALL_ACCESS);
               !service.IsValid()) {
      log.Line("schService == NULL by OpenService");
    } else {
      p::SERVICE_STATUS status;
      bool running_or_unknown = true;
      while (QueryStatus(service, status)) {
        const uint32_t state = status.dwCurrentState;
        if (state == p::SERVICE_STOPPED || state == p::SERVICE_STOP_PENDING) {
          log.Line("status service - SERVICE_STOP_PENDING or SERVICE_STOPPED");
          running_or_unknown = false;
          break;
        }
        if (state == p::SERVICE_START_PENDING) {
          log.Line("status service - SERVICE_START_PENDING");
          waits.sleep(kPollMs);
        } else if (state == p::SERVICE_RUNNING) {
          log.Line("status service - SERVICE_RUNNING");
          break;
        }
      }
      if (running_or_unknown) {
        // The service may be the one that started this tool: both loops go on until the
        // manager does what is asked, since a service left stopped here would stay stopped.
        std::string message;
        while (!stopService(message, waits)) {
          log.Line(message);
          waits.sleep(kPollMs);
        }
        log.Line(message);
        while (!startService(message, waits)) {
          log.Line(message);
          waits.sleep(kPollMs);
        }
        log.Line(message);
      }
    }
  }
  log.Line("restart end");
}

void StopCommand(const Waits& waits) {
  SetupLog log;
  log.Line("stop begin");
  std::string message;
  if (!stopService(message, waits)) {
    log.Line("Stop Service Failed");
    log.Line(message);
  }
  log.Line("stop end");
}

int RunFlowsetup(std::span<const std::string_view> arguments, const Console& console,
                 const Waits& waits) {
  if (arguments.size() != 1) return 0;
  const std::string_view command = arguments.front();
  if (command == "-i") installService(console);
  if (command == "-u") uninstallService(console, waits);
  if (command == "-r") restartService(waits);
  if (command == "-s") StopCommand(waits);
  return 0;
}

}  // namespace flowsentry::setup
