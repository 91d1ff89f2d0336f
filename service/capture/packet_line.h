// The packet line: one captured frame as a line of quoted fields, the form in which the packet
// log keeps it in its text files and from which its table rows are filled.
//
// Pure apart from the conversion to local time (the process's time zone, TZ as usual); safe
// from any thread.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_PACKET_LINE_H_
#define FLOWSENTRY_SERVICE_CAPTURE_PACKET_LINE_H_

#include <cstdint>
#include <string>

#include "shared/packet_record.h"

namespace flowsentry::capture {

// Bits of OPTIONS, each switching one field of the line on. Fields 1 (adapter number) and 2
// (time of day) are always on.
inline constexpr uint32_t kFieldSourceMac = 0x01;
inline constexpr uint32_t kFieldDestMac = 0x02;
inline constexpr uint32_t kFieldEtherType = 0x04;
inline constexpr uint32_t kFieldSourceIp = 0x08;
inline constexpr uint32_t kFieldDestIp = 0x10;
inline constexpr uint32_t kFieldSourcePort = 0x20;
inline constexpr uint32_t kFieldDestPort = 0x40;
inline constexpr uint32_t kFieldLength = 0x80;

// Appends the line of `record` to `line`: the ten fields in their order, each in double quotes
// followed by a blank (the length field, when on, without the blank), a switched-off field as
// its filler ("-" for texts, "0" for numbers), then CR LF. Only the low 8 bits of `options`
// count. The time of day is "%H:%M:%S" of TimeSeconds in local time, a point and
// TimeMicroseconds as a plain decimal (no leading zeros); EtherType and the ports are taken from
// network order, IP addresses are printed byte by byte as stored.
void AppendPacketLine(const PacketRecord& record, uint32_t options, std::string& line);

// The line of `record` on its own.
std::string PacketLine(const PacketRecord& record, uint32_t options);

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_PACKET_LINE_H_
