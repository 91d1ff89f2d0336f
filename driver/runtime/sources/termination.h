// The driver host's foreground life: it runs until SIGINT or SIGTERM.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TERMINATION_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TERMINATION_H_

namespace flowsentry::ndis {

// Holds SIGINT and SIGTERM back from every thread made after the call (so that only
// WaitForTermination takes them) and ignores SIGPIPE. Call first, before any thread exists.
// False when the signal mask cannot be set.
bool HoldTerminationSignals();

// Waits until SIGINT or SIGTERM arrives; returns the signal's number.
int WaitForTermination();

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TERMINATION_H_
