// The kernel's view of the network links, over a netlink route socket: what a link message
// says about one interface, the link messages of one datagram, and a watch that lists every link
// and then hands over the changes as they come.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LINKS_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LINKS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/runtime/sources/adapter_source.h"
#include "platform/posix/fd.h"

namespace flowsentry::ndis {

// What a link message tells about one interface.
struct LinkInfo {
  int index = 0;
  std::string name;
  uint16_t type = 0;  // ARPHRD_*
  std::vector<uint8_t> address;
  uint32_t flags = 0;  // IFF_*
  uint32_t mtu = 1500;

  bool Up() const;
  bool Carrier() const;  // up, with the lower layer up
};

// Parses one RTM_NEWLINK or RTM_DELLINK message (header included); nullopt for anything else
// or a message too short for its own lengths.
std::optional<LinkInfo> ParseLinkMessage(std::span<const uint8_t> message, bool* removed);

struct LinkChange {
  LinkInfo link;
  bool removed = false;  // RTM_DELLINK
};

// The link messages of one netlink datagram, in order; other messages are passed over, and a
// message whose length does not fit ends the reading. `done` (optional) is set when the datagram
// ends a listing (NLMSG_DONE), `failed` (optional) when it carries an error (NLMSG_ERROR). Pure.
std::vector<LinkChange> ParseLinkDatagram(std::span<const uint8_t> data, bool* done = nullptr,
                                          bool* failed = nullptr);

// One watch of the links. Open and Run are called from one thread at a time; Wake from any.
class LinkWatch {
 public:
  // Subscribes to the link changes and lists the links: every link by index, with the changes
  // that came during the listing applied in order. False with a message otherwise.
  bool Open(std::map<int, LinkInfo>* links, std::string* error);

  // Hands over the changes of each datagram that comes, until Wake is called or the socket
  // fails (said to `log`). When the kernel lost changes, the links are listed again and come as
  // changes too.
  void Run(const std::function<void(const std::vector<LinkChange>&)>& changed,
           const SourceLog& log);

  // Ends Run, or the next Run at once.
  void Wake();

 private:
  platform::posix::Fd netlink_;
  platform::posix::Fd wake_;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_LIVE_LINKS_H_
