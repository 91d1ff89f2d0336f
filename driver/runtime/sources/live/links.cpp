#include "driver/runtime/sources/live/links.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace flowsentry::ndis {
namespace {

constexpr uint32_t kLowerUp = 1u << 16;  // IFF_LOWER_UP
constexpr size_t kNetlinkBuffer = 64 * 1024;

bool SendDumpRequest(int netlink) {
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return ::sendto(netlink, &request, sizeof(request), 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof(kernel)) == static_cast<ssize_t>(sizeof(request));
}

}  // namespace

bool LinkInfo::Up() const { return (flags & IFF_UP) != 0; }
bool LinkInfo::Carrier() const { return Up() && (flags & kLowerUp) != 0; }

std::optional<LinkInfo> ParseLinkMessage(std::span<const uint8_t> message, bool* removed) {
  if (message.size() < NLMSG_LENGTH(sizeof(ifinfomsg))) return std::nullopt;
  nlmsghdr header;
  std::memcpy(&header, message.data(), sizeof(header));
  if (header.nlmsg_len > message.size() || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
    return std::nullopt;
  }
  if (header.nlmsg_type != RTM_NEWLINK && header.nlmsg_type != RTM_DELLINK) return std::nullopt;
  *removed = header.nlmsg_type == RTM_DELLINK;
  ifinfomsg info;
  std::memcpy(&info, message.data() + NLMSG_HDRLEN, sizeof(info));
  LinkInfo link;
  link.index = info.ifi_index;
  link.type = info.ifi_type;
  link.flags = info.ifi_flags;
  size_t offset = NLMSG_LENGTH(sizeof(ifinfomsg));
  // Attributes are read by offset and copied out, so an odd length can never reach past the end.
  while (offset + sizeof(rtattr) <= header.nlmsg_len) {
    rtattr attribute;
    std::memcpy(&attribute, message.data() + offset, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || offset + attribute.rta_len > header.nlmsg_len) break;
    const uint8_t* payload = message.data() + offset + RTA_LENGTH(0);
    const size_t size = attribute.rta_len - RTA_LENGTH(0);
    switch (attribute.rta_type) {
      case IFLA_IFNAME:
        link.name.assign(reinterpret_cast<const char*>(payload),
                         strnlen(reinterpret_cast<const char*>(payload), size));
        break;
      case IFLA_ADDRESS:
        link.address.assign(payload, payload + size);
        break;
      case IFLA_MTU:
        if (size >= 4) std::memcpy(&link.mtu, payload, 4);
        break;
      default:
        break;
    }
    offset += RTA_ALIGN(attribute.rta_len);
  }
  if (link.index <= 0) return std::nullopt;
  return link;
}

std::vector<LinkChange> ParseLinkDatagram(std::span<const uint8_t> data, bool* done, bool* failed) {
  std::vector<LinkChange> changes;
  size_t offset = 0;
  while (offset + sizeof(nlmsghdr) <= data.size()) {
    nlmsghdr header;
    std::memcpy(&header, data.data() + offset, sizeof(header));
    if (header.nlmsg_len < sizeof(nlmsghdr) || offset + header.nlmsg_len > data.size()) break;
    if (header.nlmsg_type == NLMSG_DONE && done != nullptr) *done = true;
    if (header.nlmsg_type == NLMSG_ERROR && failed != nullptr) *failed = true;
    LinkChange change;
    std::optional<LinkInfo> link =
        ParseLinkMessage(data.subspan(offset, header.nlmsg_len), &change.removed);
    offset += NLMSG_ALIGN(header.nlmsg_len);
    if (!link.has_value()) continue;
    change.link = std::move(*link);
    changes.push_back(std::move(change));
  }
  return changes;
}

bool LinkWatch::Open(std::map<int, LinkInfo>* links, std::string* error) {
  netlink_.Reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!netlink_.valid()) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    return false;
  }
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK;
  if (::bind(netlink_.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
      !SendDumpRequest(netlink_.get())) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    return false;
  }
  // The listing; link events that come in between are applied in order, as they came.
  links->clear();
  std::vector<uint8_t> buffer(kNetlinkBuffer);
  for (bool done = false; !done;) {
    const ssize_t n = ::recv(netlink_.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = std::string("cannot list the network links: ") + std::strerror(errno);
      return false;
    }
    bool failed = false;
    const std::vector<LinkChange> changes = ParseLinkDatagram(
        std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), &done, &failed);
    if (failed) {
      *error = "cannot list the network links";
      return false;
    }
    for (const LinkChange& change : changes) {
      if (change.removed) {
        links->erase(change.link.index);
      } else {
        (*links)[change.link.index] = change.link;
      }
    }
  }
  wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_.valid()) {
    *error = std::string("cannot watch the network links: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void LinkWatch::Run(const std::function<void(const std::vector<LinkChange>&)>& changed,
                    const SourceLog& log) {
  std::vector<uint8_t> buffer(kNetlinkBuffer);
  pollfd fds[2] = {{netlink_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log(std::string("pactrak: watching the network links failed: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t n = ::recv(netlink_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ENOBUFS) {
        // Events were lost: list the links again; the answers update what is known.
        SendDumpRequest(netlink_.get());
        continue;
      }
      log(std::string("pactrak: watching the network links failed: ") + std::strerror(errno));
      return;
    }
    changed(ParseLinkDatagram(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n))));
  }
}

void LinkWatch::Wake() {
  const uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof(one)) < 0) {
    // An eventfd write of 1 cannot fail short of a broken descriptor.
  }
}

}  // namespace flowsentry::ndis
