#include "driver/runtime/sources/testing/capture_file_writer.h"

#include <fstream>

namespace flowsentry::ndis::testing {
namespace {

void Put32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void Put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value));
  out.push_back(static_cast<char>(value >> 8));
}

}  // namespace

std::string CaptureFile(uint32_t link_type, const std::vector<CapturedFrame>& frames,
                        bool nanoseconds) {
  std::string out;
  Put32(out, nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
  Put16(out, 2);
  Put16(out, 4);
  Put32(out, 0);  // time zone
  Put32(out, 0);  // accuracy
  Put32(out, 262144);
  Put32(out, link_type);
  for (const CapturedFrame& frame : frames) {
    Put32(out, frame.seconds);
    Put32(out, frame.fraction);
    Put32(out, static_cast<uint32_t>(frame.bytes.size()));
    Put32(out, frame.length != 0 ? frame.length : static_cast<uint32_t>(frame.bytes.size()));
    out.append(frame.bytes.begin(), frame.bytes.end());
  }
  return out;
}

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(file);
}

std::vector<uint8_t> UdpFrame(const std::vector<uint8_t>& destination_mac,
                              const std::vector<uint8_t>& source_mac, uint32_t source_ip,
                              uint32_t destination_ip, uint16_t source_port,
                              uint16_t destination_port, size_t payload_size) {
  std::vector<uint8_t> frame(destination_mac);
  frame.insert(frame.end(), source_mac.begin(), source_mac.end());
  auto be16 = [&frame](uint32_t v) {
    frame.push_back(static_cast<uint8_t>(v >> 8));
    frame.push_back(static_cast<uint8_t>(v));
  };
  auto be32 = [&](uint32_t v) {
    be16(v >> 16);
    be16(v & 0xFFFF);
  };
  be16(0x0800);
  frame.push_back(0x45);
  frame.push_back(0);
  be16(static_cast<uint32_t>(20 + 8 + payload_size));
  be32(0);              // identification, flags
  frame.push_back(64);  // TTL
  frame.push_back(17);  // UDP
  be16(0);              // checksum (not checked by anyone here)
  be32(source_ip);
  be32(destination_ip);
  be16(source_port);
  be16(destination_port);
  be16(static_cast<uint32_t>(8 + payload_size));
  be16(0);
  frame.resize(frame.size() + payload_size, 0xAB);
  return frame;
}

}  // namespace flowsentry::ndis::testing
