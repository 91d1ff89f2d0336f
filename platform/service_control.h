// Service control, as the Windows service control manager offers it: the client side (open the
// manager, create, describe, open, start, control, query and delete services) and the service
// side (the control dispatcher, the control handler and status reports).
//
// The manager is `scmd`, which listens on LocationPath(Location::kScmSocket) under the machine
// root and keeps its service database in LocationPath(Location::kScmDatabase). Every call that
// fails sets the thread's last error to the Windows code, with Windows' numbers (ERROR_* below
// and in platform/errors.h).
#ifndef FLOWSENTRY_PLATFORM_SERVICE_CONTROL_H_
#define FLOWSENTRY_PLATFORM_SERVICE_CONTROL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace flowsentry::platform {

// Access rights.
inline constexpr uint32_t SC_MANAGER_CONNECT = 0x0001;
inline constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr uint32_t SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr uint32_t SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x0002;
inline constexpr uint32_t SERVICE_QUERY_STATUS = 0x0004;
inline constexpr uint32_t SERVICE_START = 0x0010;
inline constexpr uint32_t SERVICE_STOP = 0x0020;
inline constexpr uint32_t SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr uint32_t SERVICE_INTERROGATE = 0x0080;
inline constexpr uint32_t SERVICE_USER_DEFINED_CONTROL = 0x0100;
inline constexpr uint32_t DELETE = 0x10000;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

// Service types, start types, error control.
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_INTERACTIVE_PROCESS = 0x100;
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

// States.
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr uint32_t SERVICE_PAUSED = 7;

// Controls accepted, and controls.
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_PAUSE = 2;
inline constexpr uint32_t SERVICE_CONTROL_CONTINUE = 3;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 5;

// Errors of service control.
inline constexpr Win32Error ERROR_INVALID_SERVICE_CONTROL = 1052;
inline constexpr Win32Error ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr Win32Error ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr Win32Error ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr Win32Error ERROR_SERVICE_DISABLED = 1058;
inline constexpr Win32Error ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr Win32Error ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
inline constexpr Win32Error ERROR_SERVICE_NOT_ACTIVE = 1062;
inline constexpr Win32Error ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
inline constexpr Win32Error ERROR_EXCEPTION_IN_SERVICE = 1064;
inline constexpr Win32Error ERROR_PROCESS_ABORTED = 1067;
inline constexpr Win32Error ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
inline constexpr Win32Error ERROR_SERVICE_EXISTS = 1073;
inline constexpr Win32Error ERROR_INVALID_NAME = 123;
inline constexpr Win32Error ERROR_INVALID_SERVICE_NAME = 1215;  // not used by Windows' SCM here
inline constexpr Win32Error ERROR_DUPLICATE_SERVICE_NAME = 1078;
inline constexpr Win32Error ERROR_SERVICE_NOT_IN_EXE = 1083;
inline constexpr Win32Error ERROR_SHUTDOWN_IN_PROGRESS = 1115;
// What Windows gives for a manager it cannot reach; here: `scmd` is not running, or its
// connection broke off in the middle of a request.
inline constexpr Win32Error RPC_S_SERVER_UNAVAILABLE = 1722;

struct SERVICE_STATUS {
  uint32_t dwServiceType = 0;
  uint32_t dwCurrentState = 0;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
};

struct SERVICE_STATUS_PROCESS {
  uint32_t dwServiceType = 0;
  uint32_t dwCurrentState = 0;
  uint32_t dwControlsAccepted = 0;
  uint32_t dwWin32ExitCode = 0;
  uint32_t dwServiceSpecificExitCode = 0;
  uint32_t dwCheckPoint = 0;
  uint32_t dwWaitHint = 0;
  uint32_t dwProcessId = 0;
  uint32_t dwServiceFlags = 0;
};

// What QueryServiceConfig (and QueryServiceConfig2 for the description) tell of a service.
struct ServiceConfig {
  uint32_t service_type = 0;
  uint32_t start_type = 0;
  uint32_t error_control = 0;
  std::string binary_path;  // as given to CreateService: a machine path and its arguments
  std::string display_name;
  std::string description;
};

class ScConnection;

// A handle on the manager or on one service (SC_HANDLE). Closed when destroyed; movable.
class ScHandle {
 public:
  // An invalid handle.
  ScHandle();
  ScHandle(ScHandle&&) noexcept;
  ScHandle& operator=(ScHandle&&) noexcept;
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle();
  bool IsValid() const;

 private:
  friend class ScAccess;
  std::shared_ptr<ScConnection> connection_;
  std::string service_;  // empty for a manager handle
  uint32_t access_ = 0;
};

// OpenSCManager on the local machine's active database: one connection to `scmd`, shared by
// the service handles opened through it. An invalid handle with RPC_S_SERVER_UNAVAILABLE when
// the manager is not running, or with ERROR_ACCESS_DENIED when a client of another user than the
// manager's (and not root) asks for more than SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE.
// Any user may open services to query them; creating, starting, controlling, changing and
// deleting take a client of the manager's own user or root.
//
// Handles: every call checks that the handle holds the access right the operation needs
// (ERROR_ACCESS_DENIED otherwise) and is of the right kind (ERROR_INVALID_HANDLE otherwise).
// Calls on handles of one connection are carried one at a time; a handle may be used from any
// thread.
ScHandle OpenSCManager(uint32_t access);

// CreateService with no load order group, tag, dependencies, account or password.
ScHandle CreateService(const ScHandle& manager, std::string_view service_name,
                       std::string_view display_name, uint32_t access, uint32_t service_type,
                       uint32_t start_type, uint32_t error_control, std::string_view binary_path);

// ChangeServiceConfig2 with SERVICE_CONFIG_DESCRIPTION.
bool ChangeServiceDescription(const ScHandle& service, std::string_view description);

ScHandle OpenService(const ScHandle& manager, std::string_view service_name, uint32_t access);

// StartService without arguments: true once the service's dispatcher has taken the start.
bool StartService(const ScHandle& service);

// ControlService: true once the service's handler has returned; `status` gets the service's
// last reported status (also on ERROR_SERVICE_CANNOT_ACCEPT_CTRL and ERROR_SERVICE_NOT_ACTIVE,
// as Windows fills it).
bool ControlService(const ScHandle& service, uint32_t control, SERVICE_STATUS& status);

bool QueryServiceStatus(const ScHandle& service, SERVICE_STATUS& status);
// QueryServiceStatusEx with SC_STATUS_PROCESS_INFO.
bool QueryServiceStatusEx(const ScHandle& service, SERVICE_STATUS_PROCESS& status);
bool QueryServiceConfig(const ScHandle& service, ServiceConfig& config);

// DeleteService: marks the service for deletion; it goes once it is stopped and its handles
// are closed (ERROR_SERVICE_MARKED_FOR_DELETE for later requests meanwhile).
bool DeleteService(const ScHandle& service);

// CloseServiceHandle: false with ERROR_INVALID_HANDLE when not open.
bool CloseServiceHandle(ScHandle& handle);

// --- The service side ---

// A status handle (SERVICE_STATUS_HANDLE); valid while the dispatcher runs.
using ServiceStatusHandle = uintptr_t;

struct ServiceTableEntry {
  std::string name;
  std::function<void()> main;  // the service main function; its arguments are not passed
};

// StartServiceCtrlDispatcher: connects to the manager that started this process and runs the
// service's main function on a thread of its own when the start arrives; delivers controls to
// the registered handler on the calling thread, one at a time; returns true once the service
// has reported SERVICE_STOPPED (or its main function returned without ever reporting it) and no
// control is being handled. False with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process
// was not started by the manager.
bool StartServiceCtrlDispatcher(std::span<const ServiceTableEntry> table);

// RegisterServiceCtrlHandler, from the service's main function: 0 with the last error set on
// failure (ERROR_SERVICE_DOES_NOT_EXIST for a name the dispatcher does not run).
ServiceStatusHandle RegisterServiceCtrlHandler(std::string_view service_name,
                                               std::function<void(uint32_t control)> handler);

// SetServiceStatus: sends the status to the manager; false with the last error on failure.
bool SetServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_SERVICE_CONTROL_H_
