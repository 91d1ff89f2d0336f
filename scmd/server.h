// The manager's socket: accepts clients, tells their users apart by the socket's peer
// credentials, and carries their requests to the ServiceManager, one thread per connection.
#ifndef FLOWSENTRY_SCMD_SERVER_H_
#define FLOWSENTRY_SCMD_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/fd.h"
#include "scmd/manager.h"

namespace flowsentry::scmd {

// What one connection holds: whether it opened the manager, and its open service handles.
class ConnectionHandles {
 public:
  bool manager_open = false;
  void Add(const std::string& name);
  // False when the connection holds no handle on `name`.
  bool Remove(const std::string& name);
  bool Holds(const std::string& name) const;
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::vector<std::string> names_;  // one entry per open handle
};

// Runs one request body against the manager and returns the reply frame. A body that does not
// read as a request is answered with ERROR_INVALID_PARAMETER, an unknown operation with
// ERROR_INVALID_FUNCTION; operations other than opening the manager need it open, and those on a
// service need a handle on it from this connection (ERROR_INVALID_HANDLE otherwise).
std::vector<uint8_t> HandleRequest(ServiceManager& manager, ConnectionHandles& handles, bool owner,
                                   const std::vector<uint8_t>& body);

class Server {
 public:
  // Connections beyond this many at once are closed as soon as they are accepted.
  static constexpr size_t kMaxConnections = 128;

  explicit Server(ServiceManager& manager);
  // Stop(), if it has not run.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens on `socket_path` (folders made on the way). A stale socket file left by a
  // manager that ended is replaced; the caller makes sure no other manager runs (see main).
  platform::Win32Error Listen(const std::string& socket_path);
  // Accepts clients on a thread of its own until StopAccepting; false when that thread cannot be
  // made. A client beyond kMaxConnections, or one that finds no descriptor or no thread left to
  // be served with, is accepted and closed at once (a spare descriptor is kept for that).
  bool Start();
  // Stops accepting and removes the socket file.
  void StopAccepting();
  // StopAccepting, then ends every connection and waits for its thread.
  void Stop();

 private:
  struct Connection {
    platform::posix::Fd socket;
    std::thread thread;
    bool finished = false;
  };
  void AcceptLoop();
  // Accepts one waiting client and serves it or turns it away; false when the loop should wait
  // a while before it tries again (no descriptor, not even the spare one).
  bool AcceptOne();
  void Serve(Connection* connection, bool owner);

  ServiceManager& manager_;
  std::string socket_path_;
  platform::posix::Fd listener_;
  platform::posix::Fd spare_;  // given up to accept, and close, a client when descriptors run out
  platform::posix::Fd wake_read_;
  platform::posix::Fd wake_write_;
  std::thread acceptor_;
  uid_t own_uid_;
  std::mutex mutex_;
  std::list<Connection> connections_;
  bool accepting_stopped_ = false;
};

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_SERVER_H_
