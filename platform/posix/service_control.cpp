#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/root.h"
#include "platform/scm_wire.h"

namespace flowsentry::platform {
namespace {

using scm_wire::Reader;
using scm_wire::Writer;

bool SendFrame(int fd, const std::vector<uint8_t>& frame) {
  return posix::SendAll(fd, frame.data(), frame.size());
}

// One frame's body; nullopt at the end of the stream, on an error or for an oversized body.
std::optional<std::vector<uint8_t>> ReadFrame(int fd) {
  uint8_t length_field[scm_wire::kLengthField];
  if (!posix::ReceiveExactly(fd, length_field, sizeof length_field)) return std::nullopt;
  const uint32_t length = scm_wire::BodyLength(length_field);
  if (length == 0 || length > scm_wire::kMaxBody) return std::nullopt;
  std::vector<uint8_t> body(length);
  if (!posix::ReceiveExactly(fd, body.data(), body.size())) return std::nullopt;
  return body;
}

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

// --- The service side ---

namespace {

constexpr ServiceStatusHandle kStatusHandle = 0x5C0001;
// How long the dispatcher lets the main function finish its last steps (its final log line)
// after it has reported SERVICE_STOPPED, before it returns and the process may end.
constexpr auto kMainFinishGrace = std::chrono::seconds(10);

// The dispatcher of this process. Made once and never freed: the service's threads may still
// report after the dispatcher has returned, while the process ends.
struct Dispatcher {
  posix::Fd channel;
  posix::Fd wake_read;
  posix::Fd wake_write;
  std::mutex send_mutex;  // one frame at a time on the channel

  std::mutex mutex;
  std::condition_variable changed;
  std::string name;  // of the service whose main function runs
  std::function<void(uint32_t)> handler;
  bool registered = false;
  bool stopped_reported = false;
  bool main_returned = false;

  bool Send(const Writer& frame) {
    std::lock_guard lock(send_mutex);
    return SendFrame(channel.get(), frame.Frame());
  }
  void Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write.get(), &byte, 1);
  }
};

std::mutex g_dispatcher_mutex;
std::unique_ptr<Dispatcher> g_dispatcher;  // set once, never reset: see Dispatcher

Dispatcher* CurrentDispatcher() {
  std::lock_guard lock(g_dispatcher_mutex);
  return g_dispatcher.get();
}

// The channel's descriptor handed down by the manager, taken out of the environment so that
// programs this service starts do not see it; -1 when this process was not started by it.
int TakeChannel() {
  const char* value = std::getenv(scm_wire::kChannelVariable);
  if (value == nullptr) return -1;
  char* end = nullptr;
  const long fd = std::strtol(value, &end, 10);
  ::unsetenv(scm_wire::kChannelVariable);
  if (end == value || *end != '\0' || fd < 0 || fd > 1 << 20) return -1;
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) < 0 ||
      type != SOCK_STREAM) {
    return -1;
  }
  // Programs the service starts must not hold the channel: the manager learns of the service's
  // end when it closes.
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

const ServiceTableEntry* FindEntry(std::span<const ServiceTableEntry> table,
                                   const std::string& name) {
  for (const auto& entry : table) {
    if (::strcasecmp(entry.name.c_str(), name.c_str()) == 0) return &entry;
  }
  // A service of its own process answers to whatever name it was installed under.
  return table.size() == 1 ? &table[0] : nullptr;
}

}  // namespace

bool StartServiceCtrlDispatcher(std::span<const ServiceTableEntry> table) {
  {
    std::lock_guard lock(g_dispatcher_mutex);
    if (g_dispatcher != nullptr) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  auto owned = std::make_unique<Dispatcher>();
  Dispatcher* const dispatcher = owned.get();
  dispatcher->channel.Reset(TakeChannel());
  const int channel = dispatcher->channel.get();
  if (channel < 0 || table.empty()) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) < 0) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  dispatcher->wake_read.Reset(pipe_ends[0]);
  dispatcher->wake_write.Reset(pipe_ends[1]);

  // The manager's first frame names the service to start.
  const auto start = ReadFrame(channel);
  std::string name;
  if (!start) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Reader reader(*start);
  if (reader.op() != scm_wire::kOpServiceStart || !reader.Str(name) || !reader.Done()) {
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  const ServiceTableEntry* entry = FindEntry(table, name);
  if (entry == nullptr) {
    dispatcher->Send(Writer(scm_wire::kOpStartTaken).U32(ERROR_SERVICE_NOT_IN_EXE));
    return Fail(ERROR_SERVICE_NOT_IN_EXE);
  }
  dispatcher->name = entry->name;
  {
    std::lock_guard lock(g_dispatcher_mutex);
    g_dispatcher = std::move(owned);
  }
  std::thread([dispatcher, main = entry->main] {
    if (main) main();
    std::lock_guard lock(dispatcher->mutex);
    dispatcher->main_returned = true;
    dispatcher->changed.notify_all();
    dispatcher->Wake();
  }).detach();
  dispatcher->Send(Writer(scm_wire::kOpStartTaken).U32(ERROR_SUCCESS));

  bool manager_gone = false;
  for (;;) {
    {
      std::lock_guard lock(dispatcher->mutex);
      if (dispatcher->stopped_reported || dispatcher->main_returned) break;
    }
    pollfd fds[2] = {{dispatcher->channel.get(), POLLIN, 0},
                     {dispatcher->wake_read.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      manager_gone = true;
      break;
    }
    if (fds[1].revents != 0) {
      char drain[64];
      while (::read(dispatcher->wake_read.get(), drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents == 0) continue;
    const auto frame = ReadFrame(dispatcher->channel.get());
    if (!frame) {
      manager_gone = true;
      break;
    }
    Reader control_reader(*frame);
    uint32_t control = 0;
    if (control_reader.op() != scm_wire::kOpServiceControl || !control_reader.U32(control)) {
      continue;
    }
    std::function<void(uint32_t)> handler;
    {
      std::lock_guard lock(dispatcher->mutex);
      if (dispatcher->registered) handler = dispatcher->handler;
    }
    if (handler) handler(control);
    dispatcher->Send(Writer(scm_wire::kOpControlDone));
  }
  if (manager_gone) return Fail(RPC_S_SERVER_UNAVAILABLE);

  std::unique_lock lock(dispatcher->mutex);
  dispatcher->changed.wait_for(lock, kMainFinishGrace, [&] { return dispatcher->main_returned; });
  return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(std::string_view service_name,
                                               std::function<void(uint32_t control)> handler) {
  Dispatcher* dispatcher = CurrentDispatcher();
  if (dispatcher == nullptr || dispatcher->name.size() != service_name.size() ||
      ::strncasecmp(dispatcher->name.data(), service_name.data(), service_name.size()) != 0) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return 0;
  }
  if (!handler) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard lock(dispatcher->mutex);
  dispatcher->handler = std::move(handler);
  dispatcher->registered = true;
  return kStatusHandle;
}

bool SetServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status) {
  Dispatcher* dispatcher = CurrentDispatcher();
  if (dispatcher == nullptr || handle != kStatusHandle) return Fail(ERROR_INVALID_HANDLE);
  if (status.dwCurrentState < SERVICE_STOPPED || status.dwCurrentState > SERVICE_PAUSED) {
    return Fail(ERROR_INVALID_DATA);
  }
  Writer frame(scm_wire::kOpStatus);
  frame.U32(status.dwServiceType).U32(status.dwCurrentState).U32(status.dwControlsAccepted);
  frame.U32(status.dwWin32ExitCode).U32(status.dwServiceSpecificExitCode);
  frame.U32(status.dwCheckPoint).U32(status.dwWaitHint);
  if (!dispatcher->Send(frame)) return Fail(ERROR_INVALID_HANDLE);
  if (status.dwCurrentState == SERVICE_STOPPED) {
    std::lock_guard lock(dispatcher->mutex);
    dispatcher->stopped_reported = true;
    dispatcher->Wake();
  }
  return true;
}

}  // namespace flowsentry::platform
