#include "scmd/service_rules.h"

namespace flowsentry::scmd {

using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_INVALID_SERVICE_CONTROL;
using platform::ERROR_SERVICE_ALREADY_RUNNING;
using platform::ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
using platform::ERROR_SERVICE_DISABLED;
using platform::ERROR_SERVICE_MARKED_FOR_DELETE;
using platform::ERROR_SERVICE_NOT_ACTIVE;
using platform::ERROR_SUCCESS;
using platform::SC_MANAGER_CONNECT;
using platform::SC_MANAGER_ENUMERATE_SERVICE;
using platform::SERVICE_ACCEPT_PAUSE_CONTINUE;
using platform::SERVICE_ACCEPT_STOP;
using platform::SERVICE_CONTROL_CONTINUE;
using platform::SERVICE_CONTROL_INTERROGATE;
using platform::SERVICE_CONTROL_PAUSE;
using platform::SERVICE_CONTROL_SHUTDOWN;
using platform::SERVICE_CONTROL_STOP;
using platform::SERVICE_DISABLED;
using platform::SERVICE_PAUSED;
using platform::SERVICE_QUERY_CONFIG;
using platform::SERVICE_QUERY_STATUS;
using platform::SERVICE_START_PENDING;
using platform::SERVICE_STATUS;
using platform::SERVICE_STOP_PENDING;
using platform::SERVICE_STOPPED;
using platform::Win32Error;

Win32Error ControlRefusal(const SERVICE_STATUS& status, bool running, uint32_t control) {
  if (control == 0 || control == SERVICE_CONTROL_SHUTDOWN || control > 255) {
    return ERROR_INVALID_PARAMETER;
  }
  if (!running || status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control == SERVICE_CONTROL_INTERROGATE) return ERROR_SUCCESS;
  if (status.dwCurrentState == SERVICE_START_PENDING ||
      status.dwCurrentState == SERVICE_STOP_PENDING) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  uint32_t needed = 0;
  if (control == SERVICE_CONTROL_STOP) needed = SERVICE_ACCEPT_STOP;
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) {
    needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
  }
  if ((status.dwControlsAccepted & needed) != needed) return ERROR_INVALID_SERVICE_CONTROL;
  return ERROR_SUCCESS;
}

Win32Error StartRefusal(const SERVICE_STATUS& status, uint32_t start_type, bool marked_for_delete) {
  if (marked_for_delete) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (start_type == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  if (status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  return ERROR_SUCCESS;
}

bool NeedsOwner(uint32_t access, bool service) {
  constexpr uint32_t kReadControl = 0x20000;
  constexpr uint32_t kGenericRead = 0x80000000;
  constexpr uint32_t kManagerRead =
      SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | 0x0010 | kReadControl | kGenericRead;
  constexpr uint32_t kServiceRead =
      SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | 0x0008 | kReadControl | kGenericRead;
  return (access & ~(service ? kServiceRead : kManagerRead)) != 0;
}

bool IsValidState(uint32_t state) { return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED; }

std::vector<std::string> SplitImagePath(std::string_view image_path) {
  if (image_path.empty()) return {};
  if (image_path.front() != '"') return {std::string(image_path)};
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false;
  bool started = false;  // a piece has begun, if only with an empty pair of quotes
  for (const char c : image_path) {
    if (c == '"') {
      quoted = !quoted;
      started = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (started) pieces.push_back(std::move(piece));
      piece.clear();
      started = false;
    } else {
      piece += c;
      started = true;
    }
  }
  if (started) pieces.push_back(std::move(piece));
  if (pieces.empty() || pieces.front().empty()) return {};
  return pieces;
}

}  // namespace flowsentry::scmd
