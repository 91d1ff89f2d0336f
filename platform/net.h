// Sockets' byte-order and address conversions, without a socket header for the caller.
#ifndef FLOWSENTRY_PLATFORM_NET_H_
#define FLOWSENTRY_PLATFORM_NET_H_

#include <cstdint>
#include <string_view>

namespace flowsentry::platform {

// An IPv4 address in network byte order: its first octet is the first byte in memory.
using InAddr = uint32_t;

inline constexpr InAddr kInAddrNone = 0xFFFFFFFFu;

// Converts dotted text as the sockets function inet_addr does (the classic forms a, a.b, a.b.c
// and a.b.c.d, each part decimal, octal or hex). Text that is no address gives kInAddrNone,
// which is also the value of "255.255.255.255".
InAddr InetAddr(std::string_view text);

uint16_t Htons(uint16_t host);
uint16_t Ntohs(uint16_t net);
uint32_t Htonl(uint32_t host);
uint32_t Ntohl(uint32_t net);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_NET_H_
