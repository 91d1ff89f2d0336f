#include "service/capture/packet_line.h"

#include <cstdio>

#include "platform/time.h"

namespace flowsentry::capture {
namespace {

void AppendMac(const uint8_t (&mac)[6], std::string& line) {
  char text[32];
  std::snprintf(text, sizeof text, "\"%02X:%02X:%02X:%02X:%02X:%02X\" ", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  line += text;
}

void AppendIp(const uint8_t (&ip)[4], std::string& line) {
  char text[24];
  std::snprintf(text, sizeof text, "\"%u.%u.%u.%u\" ", ip[0], ip[1], ip[2], ip[3]);
  line += text;
}

void AppendNumber(uint32_t number, std::string& line) {
  line += '"';
  line += std::to_string(number);
  line += "\" ";
}

}  // namespace

void AppendPacketLine(const PacketRecord& record, uint32_t options, std::string& line) {
  options &= 0xFF;
  // The record is packed: its fields are copied out before use.
  const uint16_t interface = record.Interface;
  const uint32_t seconds = record.TimeSeconds;
  const uint32_t microseconds = record.TimeMicroseconds;
  const uint32_t length = record.PacketLength;

  AppendNumber(interface, line);

  std::string time_of_day;
  if (const auto local = platform::ToLocalTime(seconds)) {
    time_of_day = platform::FormatTime("%H:%M:%S", *local);
  }
  line += '"';
  line += time_of_day;
  line += '.';
  line += std::to_string(microseconds);
  line += "\" ";

  if (options & kFieldSourceMac) {
    AppendMac(record.SourceMac, line);
  } else {
    line += "\"-\" ";
  }
  if (options & kFieldDestMac) {
    AppendMac(record.DestMac, line);
  } else {
    line += "\"-\" ";
  }
  AppendNumber((options & kFieldEtherType) ? Net16(record.EtherType) : 0, line);
  if (options & kFieldSourceIp) {
    AppendIp(record.SourceIP, line);
  } else {
    line += "\"-\" ";
  }
  if (options & kFieldDestIp) {
    AppendIp(record.DestIP, line);
  } else {
    line += "\"-\" ";
  }
  AppendNumber((options & kFieldSourcePort) ? Net16(record.SourcePort) : 0, line);
  AppendNumber((options & kFieldDestPort) ? Net16(record.DestPort) : 0, line);
  if (options & kFieldLength) {
    // The last field on its own carries no blank before the line end; its filler does.
    line += '"';
    line += std::to_string(length);
    line += '"';
  } else {
    line += "\"0\" ";
  }
  line += "\r\n";
}

std::string PacketLine(const PacketRecord& record, uint32_t options) {
  std::string line;
  AppendPacketLine(record, options, line);
  return line;
}

}  // namespace flowsentry::capture
