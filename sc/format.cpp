#include "sc/format.h"

#include <cstdio>

namespace flowsentry::sc {
namespace {

namespace p = platform;

// What the client answers when the manager cannot be reached (RPC_S_SERVER_UNAVAILABLE).
constexpr p::Win32Error kRpcServerUnavailable = 1722;

std::string Hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

// "        NAME               : value": labels padded so the values line up in one column.
std::string Field(std::string_view label, std::string_view value) {
  std::string line = "        ";
  line += label;
  if (label.size() < 19) line.append(19 - label.size(), ' ');
  line += ":";
  if (!value.empty()) {
    line += ' ';
    line += value;
  }
  line += '\n';
  return line;
}

std::string ExitCodeText(uint32_t code) { return std::to_string(code) + "  (0x" + Hex(code) + ")"; }

std::string StatusLines(std::string_view service_name, uint32_t type, uint32_t state,
                        uint32_t controls, uint32_t win32_exit, uint32_t service_exit,
                        uint32_t check_point, uint32_t wait_hint) {
  std::string text = "\nSERVICE_NAME: " + std::string(service_name) + "\n";
  text += Field("TYPE", TypeText(type));
  text += Field("STATE", StateText(state));
  text += std::string(32, ' ') + ControlsText(controls) + "\n";
  text += Field("WIN32_EXIT_CODE", ExitCodeText(win32_exit));
  text += Field("SERVICE_EXIT_CODE", ExitCodeText(service_exit));
  text += Field("CHECKPOINT", "0x" + Hex(check_point));
  text += Field("WAIT_HINT", "0x" + Hex(wait_hint));
  return text;
}

std::string NumberAndName(uint32_t value, std::string_view name) {
  std::string text = std::to_string(value);
  if (!name.empty()) text += "   " + std::string(name);
  return text;
}

}  // namespace

std::string TypeText(uint32_t service_type) {
  std::string words;
  switch (service_type & ~p::SERVICE_INTERACTIVE_PROCESS) {
    case 0x1:
      words = "KERNEL_DRIVER";
      break;
    case 0x2:
      words = "FILE_SYSTEM_DRIVER";
      break;
    case p::SERVICE_WIN32_OWN_PROCESS:
      words = "WIN32_OWN_PROCESS";
      break;
    case 0x20:
      words = "WIN32_SHARE_PROCESS";
      break;
    case 0x30:
      words = "WIN32";
      break;
    default:
      break;
  }
  if (service_type & p::SERVICE_INTERACTIVE_PROCESS) {
    words += words.empty() ? "(interactive)" : " (interactive)";
  }
  std::string text = Hex(service_type);
  if (!words.empty()) text += "  " + words;
  return text;
}

std::string StateText(uint32_t state) {
  static constexpr std::string_view kNames[] = {
      "",        "STOPPED",          "START_PENDING", "STOP_PENDING",
      "RUNNING", "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  std::string text = std::to_string(state);
  if (state >= 1 && state <= 7) text += "  " + std::string(kNames[state]);
  return text;
}

std::string ControlsText(uint32_t controls_accepted) {
  std::string text = "(";
  text += (controls_accepted & p::SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE";
  text += (controls_accepted & p::SERVICE_ACCEPT_PAUSE_CONTINUE) ? ", PAUSABLE" : ", NOT_PAUSABLE";
  text += (controls_accepted & p::SERVICE_ACCEPT_SHUTDOWN) ? ", ACCEPTS_SHUTDOWN"
                                                           : ", IGNORES_SHUTDOWN";
  text += ")";
  return text;
}

std::string StartTypeText(uint32_t start_type) {
  static constexpr std::string_view kNames[] = {"BOOT_START", "SYSTEM_START", "AUTO_START",
                                                "DEMAND_START", "DISABLED"};
  return NumberAndName(start_type, start_type <= 4 ? kNames[start_type] : "");
}

std::string ErrorControlText(uint32_t error_control) {
  static constexpr std::string_view kNames[] = {"IGNORE", "NORMAL", "SEVERE", "CRITICAL"};
  return NumberAndName(error_control, error_control <= 3 ? kNames[error_control] : "");
}

std::string SystemMessage(p::Win32Error code) {
  switch (code) {
    case p::ERROR_SUCCESS:
      return "The operation completed successfully.";
    case p::ERROR_INVALID_FUNCTION:
      return "Incorrect function.";
    case p::ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case p::ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case p::ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case p::ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case p::ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available to process this command.";
    case p::ERROR_GEN_FAILURE:
      return "A device attached to the system is not functioning.";
    case p::ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case p::ERROR_INVALID_NAME:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case p::ERROR_INVALID_SERVICE_CONTROL:
      return "The requested control is not valid for this service.";
    case p::ERROR_SERVICE_REQUEST_TIMEOUT:
      return "The service did not respond to the start or control request in a timely fashion.";
    case p::ERROR_SERVICE_NO_THREAD:
      return "A thread could not be created for the service.";
    case p::ERROR_SERVICE_ALREADY_RUNNING:
      return "An instance of the service is already running.";
    case p::ERROR_SERVICE_DISABLED:
      return "The service cannot be started, either because it is disabled or because it has no "
             "enabled devices associated with it.";
    case p::ERROR_SERVICE_DOES_NOT_EXIST:
      return "The specified service does not exist as an installed service.";
    case p::ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
      return "The service cannot accept control messages at this time.";
    case p::ERROR_SERVICE_NOT_ACTIVE:
      return "The service has not been started.";
    case p::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
      return "The service process could not connect to the service controller.";
    case p::ERROR_EXCEPTION_IN_SERVICE:
      return "An exception occurred in the service when handling the control request.";
    case p::ERROR_PROCESS_ABORTED:
      return "The process terminated unexpectedly.";
    case p::ERROR_SERVICE_MARKED_FOR_DELETE:
      return "The specified service has been marked for deletion.";
    case p::ERROR_SERVICE_EXISTS:
      return "The specified service already exists.";
    case p::ERROR_INVALID_SERVICE_NAME:
      return "The format of the specified service name is invalid.";
    case kRpcServerUnavailable:
      return "The RPC server is unavailable.";
    default:
      return {};
  }
}

std::string FormatStatus(std::string_view service_name, const p::SERVICE_STATUS& status) {
  return StatusLines(service_name, status.dwServiceType, status.dwCurrentState,
                     status.dwControlsAccepted, status.dwWin32ExitCode,
                     status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint) +
         "\n";
}

std::string FormatStatusEx(std::string_view service_name, const p::SERVICE_STATUS_PROCESS& status) {
  std::string text =
      StatusLines(service_name, status.dwServiceType, status.dwCurrentState,
                  status.dwControlsAccepted, status.dwWin32ExitCode,
                  status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint);
  text += Field("PID", std::to_string(status.dwProcessId));
  // The one flag there is: the service runs inside a system process. Never so here.
  text += Field("FLAGS", (status.dwServiceFlags & 1) ? "RUNS_IN_SYSTEM_PROCESS" : "");
  return text + "\n";
}

std::string FormatConfig(std::string_view service_name, const p::ServiceConfig& config) {
  std::string text = FormatSuccess("QueryServiceConfig");
  text += "\nSERVICE_NAME: " + std::string(service_name) + "\n";
  text += Field("TYPE", TypeText(config.service_type));
  text += Field("START_TYPE", StartTypeText(config.start_type));
  text += Field("ERROR_CONTROL", ErrorControlText(config.error_control));
  text += Field("BINARY_PATH_NAME", config.binary_path);
  text += Field("LOAD_ORDER_GROUP", "");
  text += Field("TAG", "0");
  text += Field("DISPLAY_NAME", config.display_name);
  text += Field("DEPENDENCIES", "");
  // Services are created without an account, so they run as the system.
  text += Field("SERVICE_START_NAME", "LocalSystem");
  return text;
}

std::string FormatSuccess(std::string_view operation) {
  return "[SC] " + std::string(operation) + " SUCCESS\n";
}

std::string FormatFailure(std::string_view operation, p::Win32Error code) {
  return "[SC] " + std::string(operation) + " FAILED " + std::to_string(code) + ":\n\n" +
         SystemMessage(code) + "\n\n";
}

std::string UsageText() {
  return "DESCRIPTION:\n"
         "        SC is a command line program used for communicating with the\n"
         "        Service Control Manager and services.\n"
         "USAGE:\n"
         "        sc [command] [service name]\n"
         "\n"
         "        Commands:\n"
         "          query-----------Queries the status for a service.\n"
         "          queryex---------Queries the extended status for a service.\n"
         "          start-----------Starts a service.\n"
         "          stop------------Sends a STOP request to a service.\n"
         "          interrogate-----Sends an INTERROGATE control request to a service.\n"
         "          delete----------Deletes a service.\n"
         "          qc--------------Queries the configuration information for a service.\n";
}

}  // namespace flowsentry::sc
