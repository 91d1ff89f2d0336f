// For tests: capture files in libpcap's classic format, built in memory.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TESTING_CAPTURE_FILE_WRITER_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TESTING_CAPTURE_FILE_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace flowsentry::ndis::testing {

inline constexpr uint32_t kLinkTypeEthernet = 1;
inline constexpr uint32_t kLinkTypeRaw = 101;

struct CapturedFrame {
  uint32_t seconds = 0;
  uint32_t fraction = 0;  // microseconds, or nanoseconds in a nanosecond file
  std::vector<uint8_t> bytes;
  uint32_t length = 0;  // on the wire; 0: the bytes' count
};

// The whole file: global header (snapshot length 262144) and one record per frame.
std::string CaptureFile(uint32_t link_type, const std::vector<CapturedFrame>& frames,
                        bool nanoseconds = false);

// Writes `contents` to `path`; false on failure.
bool WriteWholeFile(const std::string& path, const std::string& contents);

// An Ethernet frame carrying IPv4 UDP: addresses and ports as given (host order), the payload
// behind an IP header of 20 bytes.
std::vector<uint8_t> UdpFrame(const std::vector<uint8_t>& destination_mac,
                              const std::vector<uint8_t>& source_mac, uint32_t source_ip,
                              uint32_t destination_ip, uint16_t source_port,
                              uint16_t destination_port, size_t payload_size);

}  // namespace flowsentry::ndis::testing

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_TESTING_CAPTURE_FILE_WRITER_H_
