// The manager's socket when a local user takes every descriptor or the address space: what
// cannot be served is turned away, the manager goes on and serves again once it can. Run in a
// child process, whose limits are then lowered.
#include "scmd/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "platform/testing/sanitizers.h"
#include "platform/testing/temp_root.h"
#include "scmd/frame_io.h"
#include "scmd/manager.h"

namespace flowsentry::scmd {
namespace {

namespace fp = platform;

using flowsentry::testing::kSanitized;
using platform::posix::Fd;

Fd Connect(const std::string& path) {
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  // A client left waiting fails the check instead of hanging the test.
  const timeval limit{20, 0};
  if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    return Fd();
  }
  return fd;
}

enum class Outcome { kServed, kTurnedAway, kLeftWaiting };

// Opens the manager on `fd`: answered, or the connection closed by the manager.
Outcome OpenManager(int fd) {
  if (!SendFrame(
          fd,
          fp::scm_wire::Writer(fp::scm_wire::kOpOpenManager).U32(fp::SC_MANAGER_CONNECT).Frame())) {
    return Outcome::kTurnedAway;
  }
  uint8_t byte = 0;
  const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK);
  if (got > 0) return ReadFrame(fd) ? Outcome::kServed : Outcome::kTurnedAway;
  return got == 0 || errno == ECONNRESET ? Outcome::kTurnedAway : Outcome::kLeftWaiting;
}

Outcome Client(const std::string& path) {
  Fd fd = Connect(path);
  return fd.valid() ? OpenManager(fd.get()) : Outcome::kLeftWaiting;
}

// Lowers a soft limit until destroyed.
class Limit {
 public:
  Limit(int resource, rlim_t soft) : resource_(resource) {
    ::getrlimit(resource, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(soft, saved_.rlim_max);
    ok_ = ::setrlimit(resource, &lowered) == 0;
  }
  ~Limit() { ::setrlimit(resource_, &saved_); }
  bool ok() const { return ok_; }

 private:
  int resource_;
  rlimit saved_{};
  bool ok_ = false;
};

rlim_t OpenDescriptors() {
  rlim_t count = 0;
  for (int fd = 0; fd < 4096; ++fd) count += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
  return count;
}

// Exits with 0 when every check holds, otherwise with the number of the first that failed.
[[noreturn]] void ServeWithinLimits(bool limit_address_space) {
  ManagerOptions options;
  options.database_folder = fp::LocationPath(fp::Location::kScmDatabase);
  ServiceManager manager(options);
  Server server(manager);
  const std::string path = fp::LocationPath(fp::Location::kScmSocket);
  if (manager.Load() != 0 || server.Listen(path) != 0 || !server.Start()) std::_Exit(1);
  if (Client(path) != Outcome::kServed) std::_Exit(2);
  {
    // Every descriptor taken but the one of the client's socket.
    Limit descriptors(RLIMIT_NOFILE, OpenDescriptors() + 16);
    if (!descriptors.ok()) std::_Exit(3);
    std::vector<Fd> taken;
    for (Fd fd; (fd = Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC))).valid();) {
      taken.push_back(std::move(fd));
    }
    taken.pop_back();
    for (int i = 0; i < 3; ++i) {
      if (Client(path) != Outcome::kTurnedAway) std::_Exit(4);
    }
  }
  if (Client(path) != Outcome::kServed) std::_Exit(5);
  if (limit_address_space) {
    // Clients held open until no stack is left over from ended connections: the last one finds
    // no thread to be served by.
    std::vector<Fd> held;
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    Limit address_space(RLIMIT_AS, pages * ::sysconf(_SC_PAGESIZE) + (2 << 20));
    if (!address_space.ok()) std::_Exit(6);
    Outcome last = Outcome::kServed;
    for (int i = 0; i < 8; ++i) {
      held.push_back(Connect(path));
      last = held.back().valid() ? OpenManager(held.back().get()) : Outcome::kLeftWaiting;
      if (last == Outcome::kLeftWaiting) std::_Exit(7);
    }
    if (last != Outcome::kTurnedAway) std::_Exit(8);
  }
  if (Client(path) != Outcome::kServed) std::_Exit(9);
  server.Stop();
  std::_Exit(0);
}

TEST(ServerTest, TurnsAwayWhatItCannotServeAndServesAgain) {
  fp::testing::TempRoot root;
  EXPECT_EXIT(ServeWithinLimits(false), ::testing::ExitedWithCode(0), "");
  if (kSanitized) GTEST_SKIP() << "address space limits break the sanitizers";
  EXPECT_EXIT(ServeWithinLimits(true), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace flowsentry::scmd
