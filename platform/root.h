// The emulated machine: everything the platform layer keeps lives under one folder, named by the
// environment variable FLOWSENTRY_ROOT (default "/").
//
// Paths the programs use (DESTPATH, DIRPACKETS, the root of the current drive "/") are paths of
// the emulated machine: an absolute machine path "/a/b" is the host path "$FLOWSENTRY_ROOT/a/b";
// a relative path is left as it is. Every platform file call maps its paths this way.
#ifndef FLOWSENTRY_PLATFORM_ROOT_H_
#define FLOWSENTRY_PLATFORM_ROOT_H_

#include <string>
#include <string_view>

namespace flowsentry::platform {

// The places the platform layer keeps under the machine root. Each lies in a folder named
// "flowsentry", so that on a real host (root "/") nothing of ours sits under a generic name in
// /etc, /run or /var.
enum class Location {
  kRegistry,     // etc/flowsentry/registry.reg, HKEY_LOCAL_MACHINE
  kScmSocket,    // run/flowsentry/scm.sock, the service control manager's socket
  kScmDatabase,  // var/lib/flowsentry/scm, the service control manager's database
  kDevices,      // run/flowsentry/devices, the driver's device sockets
  kDriveRoot,    // the root of the current drive: the machine root itself
  kTestClock,    // etc/flowsentry/testclock, the machine's clock in test builds (platform/time.h)
};

// FLOWSENTRY_ROOT as read now (not cached, so a test can point it at a temporary folder), or
// "/" when unset or empty; never with a trailing "/" unless it is "/".
std::string MachineRoot();

// Host path of a platform location.
std::string LocationPath(Location location);

// Host path of a machine path (see above).
std::string HostPath(std::string_view machine_path);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_ROOT_H_
