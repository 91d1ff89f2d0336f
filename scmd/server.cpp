#include "scmd/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errno_map.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "scmd/frame_io.h"
#include "scmd/service_database.h"
#include "scmd/service_rules.h"
#include "scmd/thread_start.h"

namespace flowsentry::scmd {

using platform::ERROR_INVALID_HANDLE;
using platform::ERROR_SUCCESS;
using platform::Win32Error;
using platform::posix::Fd;
namespace wire = platform::scm_wire;

void ConnectionHandles::Add(const std::string& name) { names_.push_back(name); }

bool ConnectionHandles::Remove(const std::string& name) {
  for (auto it = names_.begin(); it != names_.end(); ++it) {
    if (SameServiceName(*it, name)) {
      names_.erase(it);
      return true;
    }
  }
  return false;
}

bool ConnectionHandles::Holds(const std::string& name) const {
  for (const auto& held : names_) {
    if (SameServiceName(held, name)) return true;
  }
  return false;
}

namespace {

std::vector<uint8_t> Reply(Win32Error error) {
  return wire::Writer(wire::kOpReply).U32(error).Frame();
}

// How long the acceptor waits before it tries again when it could neither accept a client nor
// turn it away.
constexpr int kAcceptBackoffMs = 100;

Fd OpenSpare() { return Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

}  // namespace

std::vector<uint8_t> HandleRequest(ServiceManager& manager, ConnectionHandles& handles, bool owner,
                                   const std::vector<uint8_t>& body) {
  wire::Reader reader(body);
  const uint8_t op = reader.op();
  if (op == wire::kOpOpenManager) {
    uint32_t access = 0;
    if (!reader.U32(access) || !reader.Done()) return Reply(platform::ERROR_INVALID_PARAMETER);
    if (!owner && NeedsOwner(access, false)) return Reply(platform::ERROR_ACCESS_DENIED);
    handles.manager_open = true;
    return Reply(ERROR_SUCCESS);
  }
  if (op == wire::kOpCreate) {
    ServiceEntry entry;
    uint32_t access = 0;
    if (!(reader.Str(entry.name) && reader.Str(entry.display_name) && reader.U32(access) &&
          reader.U32(entry.service_type) && reader.U32(entry.start_type) &&
          reader.U32(entry.error_control) && reader.Str(entry.binary_path) && reader.Done())) {
      return Reply(platform::ERROR_INVALID_PARAMETER);
    }
    if (!handles.manager_open) return Reply(ERROR_INVALID_HANDLE);
    const Win32Error error = manager.Create(entry, owner);
    if (error == ERROR_SUCCESS) handles.Add(entry.name);
    return Reply(error);
  }
  if (op < wire::kOpDescribe || op > wire::kOpCloseService) {
    return Reply(platform::ERROR_INVALID_FUNCTION);
  }
  // Every other request names a service first.
  std::string name;
  if (!reader.Str(name)) return Reply(platform::ERROR_INVALID_PARAMETER);
  if (op == wire::kOpOpenService) {
    uint32_t access = 0;
    if (!reader.U32(access) || !reader.Done()) return Reply(platform::ERROR_INVALID_PARAMETER);
    if (!handles.manager_open) return Reply(ERROR_INVALID_HANDLE);
    const Win32Error error = manager.OpenService(name, access, owner);
    if (error == ERROR_SUCCESS) handles.Add(name);
    return Reply(error);
  }
  if (op == wire::kOpDescribe) {
    std::string description;
    if (!reader.Str(description) || !reader.Done()) {
      return Reply(platform::ERROR_INVALID_PARAMETER);
    }
    if (!handles.Holds(name)) return Reply(ERROR_INVALID_HANDLE);
    return Reply(manager.Describe(name, description, owner));
  }
  uint32_t control = 0;
  if (op == wire::kOpControl && !reader.U32(control)) {
    return Reply(platform::ERROR_INVALID_PARAMETER);
  }
  if (!reader.Done()) return Reply(platform::ERROR_INVALID_PARAMETER);
  if (!handles.Holds(name)) return Reply(ERROR_INVALID_HANDLE);
  switch (op) {
    case wire::kOpStart:
      return Reply(manager.Start(name, owner));
    case wire::kOpControl: {
      platform::SERVICE_STATUS s;
      const Win32Error error = manager.Control(name, control, owner, s);
      wire::Writer reply(wire::kOpReply);
      reply.U32(error).U32(s.dwServiceType).U32(s.dwCurrentState).U32(s.dwControlsAccepted);
      reply.U32(s.dwWin32ExitCode).U32(s.dwServiceSpecificExitCode).U32(s.dwCheckPoint);
      reply.U32(s.dwWaitHint);
      return reply.Frame();
    }
    case wire::kOpQuery: {
      platform::SERVICE_STATUS_PROCESS s;
      const Win32Error error = manager.Query(name, s);
      if (error != ERROR_SUCCESS) return Reply(error);
      wire::Writer reply(wire::kOpReply);
      reply.U32(error).U32(s.dwServiceType).U32(s.dwCurrentState).U32(s.dwControlsAccepted);
      reply.U32(s.dwWin32ExitCode).U32(s.dwServiceSpecificExitCode).U32(s.dwCheckPoint);
      reply.U32(s.dwWaitHint).U32(s.dwProcessId).U32(s.dwServiceFlags);
      return reply.Frame();
    }
    case wire::kOpQueryConfig: {
      ServiceEntry entry;
      const Win32Error error = manager.QueryConfig(name, entry);
      if (error != ERROR_SUCCESS) return Reply(error);
      wire::Writer reply(wire::kOpReply);
      reply.U32(error).U32(entry.service_type).U32(entry.start_type).U32(entry.error_control);
      reply.Str(entry.binary_path).Str(entry.display_name).Str(entry.description);
      return reply.Frame();
    }
    case wire::kOpDelete:
      return Reply(manager.Delete(name, owner));
    case wire::kOpCloseService:
      handles.Remove(name);
      manager.CloseService(name);
      return Reply(ERROR_SUCCESS);
    default:
      return Reply(platform::ERROR_INVALID_FUNCTION);
  }
}

Server::Server(ServiceManager& manager) : manager_(manager), own_uid_(::geteuid()) {}

Server::~Server() { Stop(); }

Win32Error Server::Listen(const std::string& socket_path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return platform::ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  for (size_t slash = socket_path.find('/', 1); slash != std::string::npos;
       slash = socket_path.find('/', slash + 1)) {
    ::mkdir(socket_path.substr(0, slash).c_str(), 0755);
  }
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) < 0) return platform::Win32ErrorFromErrno(errno);
  wake_read_.Reset(pipe_ends[0]);
  wake_write_.Reset(pipe_ends[1]);
  Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return platform::Win32ErrorFromErrno(errno);
  ::unlink(socket_path.c_str());
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      ::chmod(socket_path.c_str(), 0666) < 0 || ::listen(listener.get(), 64) < 0) {
    return platform::Win32ErrorFromErrno(errno);
  }
  socket_path_ = socket_path;
  listener_ = std::move(listener);
  spare_ = OpenSpare();
  return ERROR_SUCCESS;
}

bool Server::Start() { return TryStartThread(acceptor_, &Server::AcceptLoop, this); }

void Server::AcceptLoop() {
  bool back_off = false;
  for (;;) {
    pollfd fds[2] = {{listener_.get(), static_cast<short>(back_off ? 0 : POLLIN), 0},
                     {wake_read_.get(), POLLIN, 0}};
    if (::poll(fds, 2, back_off ? kAcceptBackoffMs : -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    back_off = false;
    if ((fds[0].revents & POLLIN) != 0) back_off = !AcceptOne();
  }
}

bool Server::AcceptOne() {
  Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!client.valid()) {
    if (errno != EMFILE && errno != ENFILE) {
      // A client that gave up before it was accepted, a signal: nothing to wait for. Anything
      // else (no kernel memory) passes with time.
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR ||
             errno == EPROTO;
    }
    // The client still waits and keeps the listener readable, which would have the loop poll
    // again at once, for ever: give up the spare to accept it, close it (the client sees the
    // manager refuse it), and take the spare back.
    if (!spare_.valid()) spare_ = OpenSpare();  // lost the last time round; perhaps free again
    if (!spare_.valid()) return false;
    spare_.Reset();
    const bool turned_away = Fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)).valid();
    spare_ = OpenSpare();
    // Not accepted even so: another thread took the descriptor; wait for one to come free.
    return turned_away;
  }
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) return true;
  const bool owner = credentials.uid == own_uid_ || credentials.uid == 0;
  std::lock_guard lock(mutex_);
  // Threads of connections that have ended are joined here, so they do not pile up.
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->finished) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
  if (connections_.size() >= kMaxConnections) return true;  // closed as it goes
  Connection& connection = connections_.emplace_back();
  connection.socket = std::move(client);
  if (!TryStartThread(connection.thread, &Server::Serve, this, &connection, owner)) {
    // No thread to serve it with: this client is turned away, the others go on.
    connections_.pop_back();
  }
  return true;
}

void Server::Serve(Connection* connection, bool owner) {
  ConnectionHandles handles;
  const int fd = connection->socket.get();
  for (;;) {
    const auto body = ReadFrame(fd);
    if (!body) break;
    if (!SendFrame(fd, HandleRequest(manager_, handles, owner, *body))) break;
  }
  // The connection's handles go with it.
  for (const auto& name : handles.names()) manager_.CloseService(name);
  ::shutdown(fd, SHUT_RDWR);
  std::lock_guard lock(mutex_);
  connection->finished = true;
}

void Server::StopAccepting() {
  {
    std::lock_guard lock(mutex_);
    if (accepting_stopped_) return;
    accepting_stopped_ = true;
  }
  if (wake_write_.valid()) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_write_.get(), &byte, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_.valid()) {
    listener_.Reset();
    ::unlink(socket_path_.c_str());
  }
}

void Server::Stop() {
  StopAccepting();
  std::list<Connection> connections;
  {
    std::lock_guard lock(mutex_);
    // Wakes threads blocked on their client; the descriptors stay theirs to close.
    for (auto& connection : connections_) ::shutdown(connection.socket.get(), SHUT_RDWR);
    connections.splice(connections.end(), connections_);
  }
  for (auto& connection : connections) connection.thread.join();
}

}  // namespace flowsentry::scmd
