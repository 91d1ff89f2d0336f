#include "service/capture/capture_thread.h"

#include <array>
#include <span>

#include "platform/device.h"
#include "platform/last_error.h"
#include "platform/threads.h"
#include "service/capture/adapter_listing.h"
#include "service/capture/driver_client.h"
#include "service/capture/packet_line.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/capture/service_sync.h"
#include "service/counters/counter_periods.h"
#include "service/counters/counter_rule.h"
#include "service/counters/counter_table.h"
#include "service/counters/matching.h"
#include "service/host/config.h"
#include "service/host/log.h"
#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::capture {
namespace {

void Log(uint16_t number, std::string_view text, int32_t code) {
  host::WriteLog(ThreadMessage(number, text), code);
}

int32_t LastErrorCode() { return static_cast<int32_t>(platform::GetLastError()); }

// IOCTL_SET_CAPTURE with one flags byte; the driver's dropped count lands in `dropped`, which
// keeps its value when the request fails.
bool SetCapture(const platform::DeviceHandle& device, uint8_t flags, uint32_t& dropped) {
  const std::array<uint8_t, 1> input = {flags};
  std::array<uint8_t, 4> output = {};
  uint32_t returned = 0;
  if (!device.DeviceIoControl(IOCTL_SET_CAPTURE, input, output, &returned)) return false;
  dropped = LoadLe32(output.data());
  return true;
}

// Tests the record against every rule of the thread's list and credits each that matches. The
// size is read again after each entry, as the list may be changed by what a credit does.
void CreditMatches(const counters::CounterRuleArray& rules, const PacketRecord& record) {
  for (size_t i = 0; i < rules.size(); ++i) {
    const counters::CounterRule* rule = rules[i].get();
    if (rule == nullptr || !counters::Matches(*rule, record)) continue;
    platform::CriticalSectionLock lock(ServiceLock());
    counters::CreditCounter(*rule, record.PacketLength);
  }
}

// The packet log hand-off of one record, in the writers' fixed order.
void LogPacket(const PacketRecord& record, std::string& line) {
  const host::Settings& config = host::settings();
  if (config.DESTPACKETS == 0) return;
  AppendPacketLine(record, config.OPTIONS, line);
  if (config.DESTPACKETS == 1 || config.DESTPACKETS == 3) {
    platform::CriticalSectionLock lock(ServiceLock());
    writePacketText(line, record.TimeSeconds, record.TimeMicroseconds, false);
  }
  if (config.DESTPACKETS == 2 || (config.DESTPACKETS == 3 && HasPacketTableWriter())) {
    platform::CriticalSectionLock lock(ServiceLock());
    addPacketRow(line);
  }
  line.clear();
}

}  // namespace

std::string ThreadMessage(uint16_t number, std::string_view text) {
  std::string message = "Thread N ";
  message += std::to_string(number);
  message += ' ';
  message += text;
  return message;
}

std::string ThreadCountMessage(uint16_t number, std::string_view text, int64_t count) {
  return ThreadMessage(number, text) + " - " + std::to_string(count);
}

uint32_t capturePackets(const uint16_t* thread_number) {
  const uint16_t number = *thread_number;
  Log(number, "Begin capturePackets", 0);
  // COM needs no initialisation on this platform: the database engines are plain libraries.

  counters::CounterRuleArray rules;
  {
    platform::CriticalSectionLock lock(ServiceLock());
    counters::LoadCounterRules(rules);
  }
  if (platform::ThisThreadTerminated()) return 0;

  platform::DeviceHandle device = OpenCaptureDevice();
  if (!device.IsOpen()) {
    if (platform::ThisThreadTerminated()) return 0;
    Log(number, "Unable to open handle on Capture device", LastErrorCode());
    return 0;  // early end: the rules and the handle go with their owners
  }

  uint32_t rejected = 0;
  if (number == 0) {
    if (!ListAdapters(device)) {
      if (platform::ThisThreadTerminated()) return 0;
      Log(number, "Unable to open and show adapters", -1);
    }
    if (host::settings().DESTPACKETS == 2 || host::settings().DESTPACKETS == 3) {
      CreatePacketTableWriter(number, ServiceLock());
    }
    if (platform::ThisThreadTerminated()) return 0;
    if (!SetCapture(device, CAPTURE_ENABLED, rejected)) {
      if (platform::ThisThreadTerminated()) return 0;
      Log(number, "DeviceIoControl return error", LastErrorCode());
      return 0;
    }
  }

  std::array<uint8_t, kReadSize> buffer;
  std::string line;
  int32_t read_failures = 0;
  // Reads after the stop test; 64 bits, since a busy thread passes 2^31 reads within a day.
  int64_t received = 0;
  for (;;) {
    buffer.fill(0);
    uint32_t bytes_read = 0;
    if (!device.ReadFile(buffer, &bytes_read)) {
      if (platform::ThisThreadTerminated()) return 0;
      Log(number, "ReadFile return error", LastErrorCode());
      if (++read_failures > kReadFailureLimit) break;
      continue;
    }
    if (StopRequested()) break;  // the record just read is dropped
    if (bytes_read == 0) continue;
    ++received;
    const PacketRecord record = *DecodePacketRecord(buffer);
    CreditMatches(rules, record);
    LogPacket(record, line);
  }

  {
    platform::CriticalSectionLock lock(ServiceLock());
    writePacketText({}, 0, 0, true);
  }
  if (!SetCapture(device, 0, rejected)) {
    Log(number, "DeviceIoControl return error", LastErrorCode());
  }
  host::WriteLog(ThreadCountMessage(number, "Rejected packets", rejected), 0);
  host::WriteLog(ThreadCountMessage(number, "Received packets", received), 0);
  {
    platform::CriticalSectionLock lock(ServiceLock());
    ClosePacketTableWriter();
  }
  rules.clear();
  CloseCaptureDevice(device);
  Log(number, "End capturePackets", 0);
  return 0;
}

}  // namespace flowsentry::capture
