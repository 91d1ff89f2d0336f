// For tests and benchmarks: two network namespaces made for them, joined by a veth pair with the
// addresses NET.1/24 (side a) and NET.2/24 (side b) of a /24 network NET (192.0.2 unless told),
// and UDP traffic sent from inside one of them.
#ifndef FLOWSENTRY_PLATFORM_TESTING_NETWORK_NAMESPACES_H_
#define FLOWSENTRY_PLATFORM_TESTING_NETWORK_NAMESPACES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace flowsentry::platform::testing {

// A UDP socket bound inside a namespace that takes in datagrams and never reads them, so that
// datagrams sent to its port draw no "port unreachable" answer. Closed with the object.
class UdpSink {
 public:
  // Null when the socket cannot be made or bound.
  static std::unique_ptr<UdpSink> Open(const std::string& ns, uint16_t port);
  ~UdpSink();
  UdpSink(const UdpSink&) = delete;
  UdpSink& operator=(const UdpSink&) = delete;

 private:
  explicit UdpSink(int fd) : fd_(fd) {}
  int fd_;
};

class VethNamespaces {
 public:
  // Null, with the reason, when the namespaces cannot be made (not root, no `ip`, no support);
  // whatever was made is deleted again then.
  static std::unique_ptr<VethNamespaces> Create(std::string* reason,
                                                const std::string& network = "192.0.2");
  ~VethNamespaces();  // deletes both namespaces, and with them the veth pair
  VethNamespaces(const VethNamespaces&) = delete;
  VethNamespaces& operator=(const VethNamespaces&) = delete;

  const std::string& namespace_a() const { return ns_a_; }
  const std::string& namespace_b() const { return ns_b_; }
  const std::string& veth_a() const { return veth_a_; }
  const std::string& veth_b() const { return veth_b_; }
  // The hardware addresses of the two ends.
  const std::vector<uint8_t>& mac_a() const { return mac_a_; }
  const std::vector<uint8_t>& mac_b() const { return mac_b_; }
  // The path of the ip command (iproute2) the namespaces were made with.
  const std::string& ip() const { return ip_; }

  // The command line that runs argv inside namespace a.
  std::vector<std::string> InNamespaceA(const std::vector<std::string>& argv) const;

  // Sends `count` UDP datagrams of `payload` bytes from inside `ns`, from `source_port` to
  // destination:`destination_port` (address in host order). False on any failure.
  static bool SendUdp(const std::string& ns, uint32_t destination, uint16_t source_port,
                      uint16_t destination_port, size_t payload, int count);

 private:
  VethNamespaces() = default;

  std::string ip_;
  std::string ns_a_, ns_b_, veth_a_, veth_b_;
  std::vector<uint8_t> mac_a_, mac_b_;
  bool made_a_ = false, made_b_ = false;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_NETWORK_NAMESPACES_H_
