#include "platform/testing/network_namespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>

#include "platform/testing/child_process.h"

namespace flowsentry::platform::testing {
namespace {

// Runs `work` on a thread of its own that has joined namespace `ns` (a network namespace is a
// per-thread property, so the test's other threads stay where they are).
bool InNamespace(const std::string& ns, const std::function<bool()>& work) {
  bool result = false;
  std::thread thread([&] {
    int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const bool joined = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (joined) result = work();
  });
  thread.join();
  return result;
}

std::vector<uint8_t> HardwareAddress(const std::string& ns, const std::string& interface) {
  std::vector<uint8_t> mac;
  InNamespace(ns, [&] {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
    const bool ok = ::ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    ::close(fd);
    if (ok) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(request.ifr_hwaddr.sa_data);
      mac.assign(bytes, bytes + 6);
    }
    return ok;
  });
  return mac;
}

// Waits until the interface is operational: before that its queue drops what is sent.
bool WaitUntilRunning(const std::string& ns, const std::string& interface) {
  return InNamespace(ns, [&] {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool running = false;
    for (int i = 0; i < 1000 && !running; ++i) {
      ifreq request{};
      std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
      running = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
      if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return running;
  });
}

}  // namespace

std::unique_ptr<VethNamespaces> VethNamespaces::Create(std::string* reason,
                                                       const std::string& network) {
  if (::geteuid() != 0) {
    *reason = "network namespaces need root";
    return nullptr;
  }
  std::unique_ptr<VethNamespaces> n(new VethNamespaces);
  for (const char* candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(candidate, X_OK) == 0) {
      n->ip_ = candidate;
      break;
    }
  }
  if (n->ip_.empty()) {
    *reason = "the ip command (iproute2) is not installed";
    return nullptr;
  }
  const std::string id = std::to_string(::getpid());
  n->ns_a_ = "fsnsa" + id;
  n->ns_b_ = "fsnsb" + id;
  n->veth_a_ = "fsva" + id;
  n->veth_b_ = "fsvb" + id;
  const std::string& ip = n->ip_;
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), ip);
    return RunQuietly(args) == 0;
  };
  n->made_a_ = run({"netns", "add", n->ns_a_});
  n->made_b_ = n->made_a_ && run({"netns", "add", n->ns_b_});
  if (!n->made_b_) {
    *reason = "cannot make network namespaces";
    return nullptr;
  }
  const bool ok = run({"link", "add", n->veth_a_, "netns", n->ns_a_, "type", "veth", "peer", "name",
                       n->veth_b_, "netns", n->ns_b_}) &&
                  run({"-n", n->ns_a_, "addr", "add", network + ".1/24", "dev", n->veth_a_}) &&
                  run({"-n", n->ns_b_, "addr", "add", network + ".2/24", "dev", n->veth_b_}) &&
                  run({"-n", n->ns_a_, "link", "set", n->veth_a_, "up"}) &&
                  run({"-n", n->ns_b_, "link", "set", n->veth_b_, "up"});
  if (!ok) {
    *reason = "cannot make a veth pair between the namespaces";
    return nullptr;
  }
  if (!WaitUntilRunning(n->ns_a_, n->veth_a_) || !WaitUntilRunning(n->ns_b_, n->veth_b_)) {
    *reason = "the veth pair does not come up";
    return nullptr;
  }
  n->mac_a_ = HardwareAddress(n->ns_a_, n->veth_a_);
  n->mac_b_ = HardwareAddress(n->ns_b_, n->veth_b_);
  if (n->mac_a_.size() != 6 || n->mac_b_.size() != 6) {
    *reason = "cannot read the veth addresses";
    return nullptr;
  }
  return n;
}

VethNamespaces::~VethNamespaces() {
  if (made_a_) RunQuietly({ip_, "netns", "del", ns_a_});
  if (made_b_) RunQuietly({ip_, "netns", "del", ns_b_});
}

std::vector<std::string> VethNamespaces::InNamespaceA(const std::vector<std::string>& argv) const {
  std::vector<std::string> command = {ip_, "netns", "exec", ns_a_};
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

bool VethNamespaces::SendUdp(const std::string& ns, uint32_t destination, uint16_t source_port,
                             uint16_t destination_port, size_t payload, int count) {
  return InNamespace(ns, [&] {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(source_port);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(destination_port);
    remote.sin_addr.s_addr = htonl(destination);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
    std::vector<char> data(payload, 'x');
    for (int i = 0; ok && i < count; ++i) {
      ok = ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&remote),
                    sizeof(remote)) == static_cast<ssize_t>(data.size());
    }
    ::close(fd);
    return ok;
  });
}

std::unique_ptr<UdpSink> UdpSink::Open(const std::string& ns, uint16_t port) {
  int fd = -1;
  InNamespace(ns, [&] {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0) return true;
    ::close(std::exchange(fd, -1));
    return false;
  });
  if (fd < 0) return nullptr;
  return std::unique_ptr<UdpSink>(new UdpSink(fd));
}

UdpSink::~UdpSink() { ::close(fd_); }

}  // namespace flowsentry::platform::testing
