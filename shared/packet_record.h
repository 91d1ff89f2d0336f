// The record that one read of the capture device returns for one captured frame.
//
// The driver fills it from the frame's first bytes and the service decodes it. Integers the
// driver writes (interface, time, length) are little-endian on the wire; every field copied out
// of the frame keeps the frame's byte order, which is network order.
//
// The struct is packed to the wire layout, so its integer fields are unaligned: read them by
// value (copy them out), never bind a reference or a pointer to them.
#ifndef FLOWSENTRY_SHARED_PACKET_RECORD_H_
#define FLOWSENTRY_SHARED_PACKET_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "shared/little_endian.h"

namespace flowsentry {

#pragma pack(push, 1)
struct PacketRecord {
  uint16_t Interface = 0;         // interface number the service stored for the adapter
  uint32_t TimeSeconds = 0;       // capture time, seconds since 1970-01-01 UTC
  uint32_t TimeMicroseconds = 0;  // 0 to 999,999
  uint32_t PacketLength = 0;      // whole frame, MAC header included
  uint8_t DestMac[6] = {};        // frame bytes 0..5
  uint8_t SourceMac[6] = {};      // frame bytes 6..11
  uint8_t EtherType[2] = {};      // frame bytes 12..13, as on the wire
  uint8_t Protocol = 0;           // frame byte 23
  uint8_t SourceIP[4] = {};       // frame bytes 26..29
  uint8_t DestIP[4] = {};         // frame bytes 30..33
  uint8_t SourcePort[2] = {};     // frame bytes 14 + 4*IHL, 15 + 4*IHL
  uint8_t DestPort[2] = {};       // frame bytes 16 + 4*IHL, 17 + 4*IHL
};
#pragma pack(pop)

inline constexpr size_t kPacketRecordSize = 41;

static_assert(sizeof(PacketRecord) == kPacketRecordSize);
static_assert(offsetof(PacketRecord, Interface) == 0);
static_assert(offsetof(PacketRecord, TimeSeconds) == 2);
static_assert(offsetof(PacketRecord, TimeMicroseconds) == 6);
static_assert(offsetof(PacketRecord, PacketLength) == 10);
static_assert(offsetof(PacketRecord, DestMac) == 14);
static_assert(offsetof(PacketRecord, SourceMac) == 20);
static_assert(offsetof(PacketRecord, EtherType) == 26);
static_assert(offsetof(PacketRecord, Protocol) == 28);
static_assert(offsetof(PacketRecord, SourceIP) == 29);
static_assert(offsetof(PacketRecord, DestIP) == 33);
static_assert(offsetof(PacketRecord, SourcePort) == 37);
static_assert(offsetof(PacketRecord, DestPort) == 39);

// Fills a byte field of a record from `from` (frame or wire bytes), and the other way.
template <size_t N>
inline void CopyBytes(uint8_t (&to)[N], const uint8_t* from) {
  for (size_t i = 0; i < N; ++i) to[i] = from[i];
}

template <size_t N>
inline void CopyBytes(uint8_t* to, const uint8_t (&from)[N]) {
  for (size_t i = 0; i < N; ++i) to[i] = from[i];
}

// Decodes the first 41 bytes of `bytes`. Fails only when fewer than 41 bytes are given.
inline std::optional<PacketRecord> DecodePacketRecord(std::span<const uint8_t> bytes) {
  if (bytes.size() < kPacketRecordSize) return std::nullopt;
  const uint8_t* p = bytes.data();
  PacketRecord r;
  r.Interface = static_cast<uint16_t>(LoadLe(p + 0, 2));
  r.TimeSeconds = LoadLe(p + 2, 4);
  r.TimeMicroseconds = LoadLe(p + 6, 4);
  r.PacketLength = LoadLe(p + 10, 4);
  CopyBytes(r.DestMac, p + 14);
  CopyBytes(r.SourceMac, p + 20);
  CopyBytes(r.EtherType, p + 26);
  r.Protocol = p[28];
  CopyBytes(r.SourceIP, p + 29);
  CopyBytes(r.DestIP, p + 33);
  CopyBytes(r.SourcePort, p + 37);
  CopyBytes(r.DestPort, p + 39);
  return r;
}

// Writes the record's 41 bytes in wire layout into `out`.
inline void EncodePacketRecord(const PacketRecord& r, std::span<uint8_t, kPacketRecordSize> out) {
  uint8_t* p = out.data();
  StoreLe(p + 0, r.Interface, 2);
  StoreLe(p + 2, r.TimeSeconds, 4);
  StoreLe(p + 6, r.TimeMicroseconds, 4);
  StoreLe(p + 10, r.PacketLength, 4);
  CopyBytes(p + 14, r.DestMac);
  CopyBytes(p + 20, r.SourceMac);
  CopyBytes(p + 26, r.EtherType);
  p[28] = r.Protocol;
  CopyBytes(p + 29, r.SourceIP);
  CopyBytes(p + 33, r.DestIP);
  CopyBytes(p + 37, r.SourcePort);
  CopyBytes(p + 39, r.DestPort);
}

// Network-order two-byte field (EtherType, ports) as a host number.
inline uint16_t Net16(const uint8_t (&b)[2]) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }

// Network-order address as a number whose most significant byte is the first octet.
inline uint32_t Net32(const uint8_t (&b)[4]) {
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

}  // namespace flowsentry

#endif  // FLOWSENTRY_SHARED_PACKET_RECORD_H_
