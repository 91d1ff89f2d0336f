#include "platform/net.h"

#include <arpa/inet.h>

#include <string>

namespace flowsentry::platform {

InAddr InetAddr(std::string_view text) {
  // inet_addr wants a terminated string; an embedded zero ends it as it would in C.
  const std::string terminated(text);
  return inet_addr(terminated.c_str());
}

uint16_t Htons(uint16_t host) { return htons(host); }
uint16_t Ntohs(uint16_t net) { return ntohs(net); }
uint32_t Htonl(uint32_t host) { return htonl(host); }
uint32_t Ntohl(uint32_t net) { return ntohl(net); }

}  // namespace flowsentry::platform
