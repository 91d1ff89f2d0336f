// The service side of service control: the control dispatcher on the channel the manager
// hands down, the control handler, and status reports.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/posix/scm_frames.h"
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
