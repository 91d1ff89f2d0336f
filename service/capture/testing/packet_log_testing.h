// For the packet log's tests: a temporary machine root with DESTPATH and DIRPACKETS set, local
// time fixed three hours east of UTC, the writers' process-wide state reset around each case,
// and the diagnostic log read back entry by entry.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_TESTING_PACKET_LOG_TESTING_H_
#define FLOWSENTRY_SERVICE_CAPTURE_TESTING_PACKET_LOG_TESTING_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "platform/threads.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/host/config.h"
#include "service/host/log.h"
#include "shared/packet_record.h"

namespace flowsentry::capture::testing {

inline constexpr char kDestPath[] = "/opt/flowsentry";
inline constexpr char kPacketDir[] = "/opt/flowsentry/packets";
// 2006-12-05 12:00:00 in the tests' local time (09:00:00 UTC).
inline constexpr uint32_t kNoon = 1165309200;

// A record of an IPv4 TCP frame on adapter 2 at kNoon + `microseconds`.
inline PacketRecord SampleRecord(uint32_t microseconds = 50) {
  PacketRecord record;
  record.Interface = 2;
  record.TimeSeconds = kNoon;
  record.TimeMicroseconds = microseconds;
  record.PacketLength = 1514;
  const uint8_t source_mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  const uint8_t dest_mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  std::copy_n(source_mac, 6, record.SourceMac);
  std::copy_n(dest_mac, 6, record.DestMac);
  record.EtherType[0] = 0x08;
  record.Protocol = 6;
  const uint8_t source_ip[4] = {192, 0, 2, 10};
  const uint8_t dest_ip[4] = {198, 51, 100, 20};
  std::copy_n(source_ip, 4, record.SourceIP);
  std::copy_n(dest_ip, 4, record.DestIP);
  record.SourcePort[0] = 0x1F;
  record.SourcePort[1] = 0x90;  // 8080
  record.DestPort[1] = 0x50;    // 80
  return record;
}

class PacketLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<platform::testing::TempRoot>();
    host::Settings& settings = host::MutableSettings();
    settings.DESTPATH = kDestPath;
    settings.DIRPACKETS = kPacketDir;
    settings.INTERVALCREATEFILE = 1;
    ASSERT_TRUE(root_->WriteFile(std::string(kPacketDir) + "/.keep", ""));
    ResetPacketTextForTesting();
    ClosePacketTableWriter();
  }
  void TearDown() override {
    ResetPacketTextForTesting();
    ClosePacketTableWriter();
    host::MutableSettings() = host::Settings{};
    root_.reset();
  }

  // The entries of the diagnostic log, each from " Code: " on (the timestamp varies); an entry
  // runs to the next line that starts with "Time: ", so entries holding CR LF stay whole.
  std::vector<std::string> LogEntries() const {
    const std::string text = root_->ReadFile(host::LogFilePath());
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < text.size()) {
      size_t next = text.find("\r\nTime: ", start);
      const size_t end = next == std::string::npos ? text.size() : next;
      std::string entry = text.substr(start, end - start);
      if (entry.size() >= 2 && entry.ends_with("\r\n")) entry.resize(entry.size() - 2);
      const size_t code = entry.find(" Code: ");
      entries.push_back(code == std::string::npos ? entry : entry.substr(code));
      if (next == std::string::npos) break;
      start = next + 2;
    }
    return entries;
  }
  // An entry as LogEntries gives it, for a UTF-8 text.
  static std::string Entry(int32_t code, std::string_view text) {
    return " Code: " + std::to_string(code) + " Text: " + platform::Utf8ToCp1251(text);
  }
  void ClearLog() const { root_->WriteFile(host::LogFilePath(), ""); }

  std::string PacketFile(std::string_view name) const {
    return root_->ReadFile(std::string(kPacketDir) + "/" + std::string(name));
  }

  // The lock the table writer is handed over under, as ServiceLock in the service.
  platform::CriticalSection lock_;
  platform::testing::ScopedTimeZone zone_{"XYZ-3"};
  std::unique_ptr<platform::testing::TempRoot> root_;
};

}  // namespace flowsentry::capture::testing

#endif  // FLOWSENTRY_SERVICE_CAPTURE_TESTING_PACKET_LOG_TESTING_H_
