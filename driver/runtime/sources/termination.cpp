#include "driver/runtime/sources/termination.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace flowsentry::ndis {
namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

bool HoldTerminationSignals() {
  // A reader that goes away mid-reply must not end the process.
  signal(SIGPIPE, SIG_IGN);
  const sigset_t set = TerminationSet();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitForTermination() {
  const sigset_t set = TerminationSet();
  for (;;) {
    int signal_number = 0;
    const int result = sigwait(&set, &signal_number);
    if (result == 0) return signal_number;
    if (result != EINTR) return SIGTERM;
  }
}

}  // namespace flowsentry::ndis
