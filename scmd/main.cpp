// scmd: the service control manager of the emulated machine. Runs in the foreground until
// SIGTERM or SIGINT, then stops its services and exits with 0; exits with 1 when it cannot take
// its socket or its database (another scmd runs on this machine root, for one). It takes no
// arguments: --help prints its usage, anything else is refused with 2.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/fd.h"
#include "platform/root.h"
#include "scmd/manager.h"
#include "scmd/server.h"

namespace {

std::mutex g_stderr_mutex;

void PrintLine(const std::string& line) {
  std::lock_guard lock(g_stderr_mutex);
  std::fprintf(stderr, "scmd: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  constexpr char kUsage[] =
      "usage: scmd\n"
      "The service control manager of the machine root FLOWSENTRY_ROOT (default /): runs in the\n"
      "foreground until SIGTERM or SIGINT.\n";
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "scmd: unknown option %s\n%s", argv[1], kUsage);
    return 2;
  }
  using flowsentry::platform::Location;
  using flowsentry::platform::LocationPath;
  namespace scmd = flowsentry::scmd;

  // The signals are taken by sigwait below; every thread made from here on inherits the mask,
  // and service programs get it cleared again.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  scmd::ManagerOptions options;
  options.database_folder = LocationPath(Location::kScmDatabase);
  options.log = PrintLine;
  scmd::ServiceManager manager(options);
  if (const auto error = manager.Load(); error != 0) {
    PrintLine("cannot read the service database in " + options.database_folder + ": error " +
              std::to_string(error));
    return 1;
  }
  // One manager per machine root: the lock is held for the life of the process, so a second
  // scmd never takes over the first one's socket.
  const std::string lock_path = options.database_folder + "/lock";
  flowsentry::platform::posix::Fd lock(
      ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid() || ::flock(lock.get(), LOCK_EX | LOCK_NB) < 0) {
    PrintLine("another scmd runs on this machine (" + lock_path + " is locked)");
    return 1;
  }
  scmd::Server server(manager);
  const std::string socket_path = LocationPath(Location::kScmSocket);
  if (const auto error = server.Listen(socket_path); error != 0) {
    PrintLine("cannot listen on " + socket_path + ": error " + std::to_string(error));
    return 1;
  }
  // The services to start as at boot are those of the database before any client is served.
  std::vector<std::string> automatic = manager.AutomaticServices();
  if (!server.Start()) {
    PrintLine("cannot accept clients on " + socket_path + ": no thread");
    return 1;
  }
  PrintLine("listening on " + socket_path);
  manager.StartAutomaticServices(std::move(automatic));

  int signal_number = 0;
  while (sigwait(&signals, &signal_number) != 0) {
  }
  PrintLine("stopping on signal " + std::to_string(signal_number));
  server.StopAccepting();
  manager.Shutdown();
  server.Stop();
  PrintLine("stopped");
  return 0;
}
