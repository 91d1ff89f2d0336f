#include "platform/root.h"

#include <cstdlib>

namespace flowsentry::platform {

std::string MachineRoot() {
  const char* value = std::getenv("FLOWSENTRY_ROOT");
  std::string root = value != nullptr ? value : "";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root.empty()) root = "/";
  return root;
}

std::string LocationPath(Location location) {
  switch (location) {
    case Location::kRegistry:
      return HostPath("/etc/flowsentry/registry.reg");
    case Location::kScmSocket:
      return HostPath("/run/flowsentry/scm.sock");
    case Location::kScmDatabase:
      return HostPath("/var/lib/flowsentry/scm");
    case Location::kDevices:
      return HostPath("/run/flowsentry/devices");
    case Location::kDriveRoot:
      return MachineRoot();
    case Location::kTestClock:
      return HostPath("/etc/flowsentry/testclock");
  }
  return MachineRoot();
}

std::string HostPath(std::string_view machine_path) {
  if (machine_path.empty() || machine_path.front() != '/') return std::string(machine_path);
  const std::string root = MachineRoot();
  if (root == "/") return std::string(machine_path);
  return root + std::string(machine_path);
}

}  // namespace flowsentry::platform
