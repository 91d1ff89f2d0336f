// The client side of service control: handles on the manager and its services, each call one
// request and its reply on the manager's socket.
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/posix/scm_frames.h"
#include "platform/root.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"

namespace flowsentry::platform {
namespace {

using posix::ReadFrame;
using posix::SendFrame;
using scm_wire::Reader;
using scm_wire::Writer;

bool Fail(Win32Error error) {
  SetLastError(error);
  return false;
}

}  // namespace

// One connection to the manager. Requests go one at a time: each waits for its reply.
class ScConnection {
 public:
  explicit ScConnection(posix::Fd socket) : socket_(std::move(socket)) {}

  // Sends the request and reads its reply; the reply's reader is positioned after the error
  // code, which is returned. RPC_S_SERVER_UNAVAILABLE when the connection fails or the reply is
  // malformed.
  Win32Error Call(const Writer& request, std::vector<uint8_t>& reply_body) {
    std::lock_guard lock(mutex_);
    if (broken_) return RPC_S_SERVER_UNAVAILABLE;
    std::optional<std::vector<uint8_t>> body;
    if (SendFrame(socket_.get(), request.Frame())) body = ReadFrame(socket_.get());
    if (!body) {
      broken_ = true;
      return RPC_S_SERVER_UNAVAILABLE;
    }
    Reader reader(*body);
    uint32_t error = 0;
    if (reader.op() != scm_wire::kOpReply || !reader.U32(error)) {
      broken_ = true;
      return RPC_S_SERVER_UNAVAILABLE;
    }
    reply_body = std::move(*body);
    return error;
  }

 private:
  std::mutex mutex_;
  posix::Fd socket_;
  bool broken_ = false;
};

// The friend of ScHandle through which the calls reach its members.
class ScAccess {
 public:
  static ScHandle Make(std::shared_ptr<ScConnection> connection, std::string service,
                       uint32_t access) {
    ScHandle handle;
    handle.connection_ = std::move(connection);
    handle.service_ = std::move(service);
    handle.access_ = access;
    return handle;
  }
  static ScConnection* Connection(const ScHandle& h) { return h.connection_.get(); }
  static const std::shared_ptr<ScConnection>& Shared(const ScHandle& h) { return h.connection_; }
  static const std::string& Service(const ScHandle& h) { return h.service_; }
  static uint32_t Access(const ScHandle& h) { return h.access_; }
  static void Release(ScHandle& h) {
    if (h.connection_ && !h.service_.empty()) {
      std::vector<uint8_t> reply;
      // A failure leaves nothing to undo: the manager forgets a connection's handles with it.
      h.connection_->Call(Writer(scm_wire::kOpCloseService).Str(h.service_), reply);
    }
    h.connection_.reset();
    h.service_.clear();
    h.access_ = 0;
  }
};

namespace {

// Checks the handle's kind and access; sets the last error and answers false when it fails.
bool CheckHandle(const ScHandle& handle, bool service, uint32_t needed) {
  if (!handle.IsValid() || ScAccess::Service(handle).empty() == service) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if ((ScAccess::Access(handle) & needed) != needed) return Fail(ERROR_ACCESS_DENIED);
  return true;
}

// Makes a request that answers with no fields.
bool SimpleCall(const ScHandle& handle, const Writer& request) {
  std::vector<uint8_t> reply;
  const Win32Error error = ScAccess::Connection(handle)->Call(request, reply);
  return error == ERROR_SUCCESS ? true : Fail(error);
}

}  // namespace

ScHandle::ScHandle() = default;
ScHandle::ScHandle(ScHandle&&) noexcept = default;
ScHandle& ScHandle::operator=(ScHandle&& other) noexcept {
  if (this != &other) {
    ScAccess::Release(*this);
    connection_ = std::move(other.connection_);
    service_ = std::move(other.service_);
    access_ = other.access_;
    other.service_.clear();
    other.access_ = 0;
  }
  return *this;
}
ScHandle::~ScHandle() { ScAccess::Release(*this); }
bool ScHandle::IsValid() const { return connection_ != nullptr; }

ScHandle OpenSCManager(uint32_t access) {
  const std::string path = LocationPath(Location::kScmSocket);
  posix::Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!socket.valid() || path.size() >= sizeof address.sun_path) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return {};
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  int result;
  do {
    result = ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return {};
  }
  auto connection = std::make_shared<ScConnection>(std::move(socket));
  std::vector<uint8_t> reply;
  const Win32Error error = connection->Call(Writer(scm_wire::kOpOpenManager).U32(access), reply);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return {};
  }
  return ScAccess::Make(std::move(connection), "", access);
}

ScHandle CreateService(const ScHandle& manager, std::string_view service_name,
                       std::string_view display_name, uint32_t access, uint32_t service_type,
                       uint32_t start_type, uint32_t error_control, std::string_view binary_path) {
  if (!CheckHandle(manager, false, SC_MANAGER_CREATE_SERVICE)) return {};
  Writer request(scm_wire::kOpCreate);
  request.Str(service_name).Str(display_name).U32(access).U32(service_type).U32(start_type);
  request.U32(error_control).Str(binary_path);
  if (!SimpleCall(manager, request)) return {};
  return ScAccess::Make(ScAccess::Shared(manager), std::string(service_name), access);
}

bool ChangeServiceDescription(const ScHandle& service, std::string_view description) {
  if (!CheckHandle(service, true, SERVICE_CHANGE_CONFIG)) return false;
  return SimpleCall(service,
                    Writer(scm_wire::kOpDescribe).Str(ScAccess::Service(service)).Str(description));
}

ScHandle OpenService(const ScHandle& manager, std::string_view service_name, uint32_t access) {
  if (!CheckHandle(manager, false, SC_MANAGER_CONNECT)) return {};
  if (!SimpleCall(manager, Writer(scm_wire::kOpOpenService).Str(service_name).U32(access))) {
    return {};
  }
  return ScAccess::Make(ScAccess::Shared(manager), std::string(service_name), access);
}

bool StartService(const ScHandle& service) {
  if (!CheckHandle(service, true, SERVICE_START)) return false;
  return SimpleCall(service, Writer(scm_wire::kOpStart).Str(ScAccess::Service(service)));
}

namespace {

uint32_t AccessForControl(uint32_t control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return SERVICE_USER_DEFINED_CONTROL;
  }
}

}  // namespace

bool ControlService(const ScHandle& service, uint32_t control, SERVICE_STATUS& status) {
  if (!CheckHandle(service, true, AccessForControl(control))) return false;
  std::vector<uint8_t> body;
  const Win32Error error = ScAccess::Connection(service)->Call(
      Writer(scm_wire::kOpControl).Str(ScAccess::Service(service)).U32(control), body);
  Reader reader(body);
  uint32_t skipped = 0;
  SERVICE_STATUS reported;
  if (reader.U32(skipped) && reader.U32(reported.dwServiceType) &&
      reader.U32(reported.dwCurrentState) && reader.U32(reported.dwControlsAccepted) &&
      reader.U32(reported.dwWin32ExitCode) && reader.U32(reported.dwServiceSpecificExitCode) &&
      reader.U32(reported.dwCheckPoint) && reader.U32(reported.dwWaitHint)) {
    status = reported;
  }
  return error == ERROR_SUCCESS ? true : Fail(error);
}

bool QueryServiceStatusEx(const ScHandle& service, SERVICE_STATUS_PROCESS& status) {
  if (!CheckHandle(service, true, SERVICE_QUERY_STATUS)) return false;
  std::vector<uint8_t> body;
  const Win32Error error = ScAccess::Connection(service)->Call(
      Writer(scm_wire::kOpQuery).Str(ScAccess::Service(service)), body);
  if (error != ERROR_SUCCESS) return Fail(error);
  Reader reader(body);
  uint32_t skipped = 0;
  SERVICE_STATUS_PROCESS got;
  if (!(reader.U32(skipped) && reader.U32(got.dwServiceType) && reader.U32(got.dwCurrentState) &&
        reader.U32(got.dwControlsAccepted) && reader.U32(got.dwWin32ExitCode) &&
        reader.U32(got.dwServiceSpecificExitCode) && reader.U32(got.dwCheckPoint) &&
        reader.U32(got.dwWaitHint) && reader.U32(got.dwProcessId) &&
        reader.U32(got.dwServiceFlags))) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  status = got;
  return true;
}

bool QueryServiceStatus(const ScHandle& service, SERVICE_STATUS& status) {
  SERVICE_STATUS_PROCESS extended;
  if (!QueryServiceStatusEx(service, extended)) return false;
  status.dwServiceType = extended.dwServiceType;
  status.dwCurrentState = extended.dwCurrentState;
  status.dwControlsAccepted = extended.dwControlsAccepted;
  status.dwWin32ExitCode = extended.dwWin32ExitCode;
  status.dwServiceSpecificExitCode = extended.dwServiceSpecificExitCode;
  status.dwCheckPoint = extended.dwCheckPoint;
  status.dwWaitHint = extended.dwWaitHint;
  return true;
}

bool QueryServiceConfig(const ScHandle& service, ServiceConfig& config) {
  if (!CheckHandle(service, true, SERVICE_QUERY_CONFIG)) return false;
  std::vector<uint8_t> body;
  const Win32Error error = ScAccess::Connection(service)->Call(
      Writer(scm_wire::kOpQueryConfig).Str(ScAccess::Service(service)), body);
  if (error != ERROR_SUCCESS) return Fail(error);
  Reader reader(body);
  uint32_t skipped = 0;
  ServiceConfig got;
  if (!(reader.U32(skipped) && reader.U32(got.service_type) && reader.U32(got.start_type) &&
        reader.U32(got.error_control) && reader.Str(got.binary_path) &&
        reader.Str(got.display_name) && reader.Str(got.description))) {
    return Fail(RPC_S_SERVER_UNAVAILABLE);
  }
  config = std::move(got);
  return true;
}

bool DeleteService(const ScHandle& service) {
  if (!CheckHandle(service, true, DELETE)) return false;
  return SimpleCall(service, Writer(scm_wire::kOpDelete).Str(ScAccess::Service(service)));
}

bool CloseServiceHandle(ScHandle& handle) {
  if (!handle.IsValid()) return Fail(ERROR_INVALID_HANDLE);
  ScAccess::Release(handle);
  return true;
}

}  // namespace flowsentry::platform
