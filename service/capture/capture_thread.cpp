#include "service/capture/capture_thread.h"

#include <array>
#include <span>
#include <vector>

#include "platform/device.h"
#include "platform/last_error.h"
#include "platform/threads.h"
#include "service/capture/adapter_listing.h"
#include "service/capture/driver_client.h"
#include "service/capture/packet_batch.h"
#include "service/capture/packet_line.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/counters/counter_pass.h"
#include "service/counters/counter_periods.h"
#include "service/counters/counter_rule.h"
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
void CreditMatches(ServiceContext& context, const counters::CounterRuleArray& rules,
                   const PacketRecord& record) {
  for (size_t i = 0; i < rules.size(); ++i) {
    const counters::CounterRule* rule = rules[i].get();
    if (rule == nullptr || !counters::Matches(*rule, record)) continue;
    platform::CriticalSectionLock lock(context.lock());
    context.credits().Credit(*rule, record.PacketLength);
  }
}

// The batch mode's counter pass: each match goes to the thread's deltas, in memory. `matched` has
// room for every rule of the pass.
void CountMatches(const counters::CounterPass& pass, counters::CounterDeltas& deltas,
                  const PacketRecord& record, uint32_t* matched) {
  const size_t count = pass.Match(record, matched);
  for (size_t i = 0; i < count; ++i) deltas.Add(matched[i], record.PacketLength);
}

bool LogsText(const host::Settings& config) {
  return config.DESTPACKETS == 1 || config.DESTPACKETS == 3;
}

bool MayLogRows(const host::Settings& config) {
  return config.DESTPACKETS == 2 || config.DESTPACKETS == 3;
}

// Asked under ServiceLock, which guards the process's packet table writer.
bool LogsRows(const host::Settings& config) {
  return config.DESTPACKETS == 2 || (config.DESTPACKETS == 3 && HasPacketTableWriter());
}

// The packet log hand-off of one record, in the writers' fixed order.
void LogPacket(ServiceContext& context, const PacketRecord& record, std::string& line) {
  const host::Settings& config = context.settings();
  if (config.DESTPACKETS == 0) return;
  AppendPacketLine(record, config.OPTIONS, line);
  if (LogsText(config)) {
    platform::CriticalSectionLock lock(context.lock());
    writePacketText(line, record.TimeSeconds, record.TimeMicroseconds, false);
  }
  if (MayLogRows(config)) {
    platform::CriticalSectionLock lock(context.lock());
    if (LogsRows(config)) addPacketRow(line);
  }
  line.clear();
}

// The packet log hand-off of a batch's lines, in the order of the single record's.
void LogBatch(ServiceContext& context, const PacketLineBatch& batch) {
  if (batch.empty()) return;
  const host::Settings& config = context.settings();
  if (LogsText(config)) {
    platform::CriticalSectionLock lock(context.lock());
    writePacketLines(batch);
  }
  if (MayLogRows(config)) {
    platform::CriticalSectionLock lock(context.lock());
    if (LogsRows(config)) addPacketRows(batch);
  }
}

// How a read loop ended: by itself (stop or failures), or by the thread's termination.
enum class LoopEnd { kEnded, kTerminated };

LoopEnd PacketLoop(ServiceContext& context, uint16_t number, const platform::DeviceHandle& device,
                   const counters::CounterRuleArray& rules, int64_t& received) {
  std::array<uint8_t, kReadSize> buffer;
  std::string line;
  int32_t read_failures = 0;
  for (;;) {
    buffer.fill(0);
    uint32_t bytes_read = 0;
    if (!device.ReadFile(buffer, &bytes_read)) {
      if (platform::ThisThreadTerminated()) return LoopEnd::kTerminated;
      Log(number, "ReadFile return error", LastErrorCode());
      if (++read_failures > kReadFailureLimit) return LoopEnd::kEnded;
      continue;
    }
    if (context.StopRequested()) return LoopEnd::kEnded;  // the record just read is dropped
    if (bytes_read == 0) continue;
    ++received;
    const PacketRecord record = *DecodePacketRecord(buffer);
    CreditMatches(context, rules, record);
    LogPacket(context, record, line);
  }
}

LoopEnd BatchLoop(ServiceContext& context, uint16_t number, const platform::DeviceHandle& device,
                  const counters::CounterRuleArray& rules, int64_t& received) {
  counters::CounterDeltas& deltas = context.deltas().Register(rules);
  // The rules flattened for speed; they answer as Matches does.
  const counters::CounterPass pass(rules);
  std::vector<uint32_t> matched(pass.size());
  const host::Settings& config = context.settings();
  std::vector<uint8_t> buffer(size_t{context.accounting().readRecords} * kPacketRecordSize);
  PacketLineBatch lines;
  int32_t read_failures = 0;
  for (;;) {
    uint32_t bytes_read = 0;
    if (!device.DeviceIoControl(IOCTL_READ_RECORDS, {}, buffer, &bytes_read)) {
      if (platform::ThisThreadTerminated()) return LoopEnd::kTerminated;
      Log(number, "ReadFile return error", LastErrorCode());
      if (++read_failures > kReadFailureLimit) return LoopEnd::kEnded;
      continue;
    }
    // A batch read after the stop is still accounted whole: it may hold a thousand records.
    const bool stopping = context.StopRequested();
    const size_t count = bytes_read / kPacketRecordSize;
    for (size_t i = 0; i < count; ++i) {
      const PacketRecord record = *DecodePacketRecord(
          std::span<const uint8_t>(buffer).subspan(i * kPacketRecordSize, kPacketRecordSize));
      ++received;
      CountMatches(pass, deltas, record, matched.data());
      if (config.DESTPACKETS != 0) lines.Add(record, config.OPTIONS);
    }
    LogBatch(context, lines);
    lines.Clear();
    if (stopping) return LoopEnd::kEnded;
  }
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

uint32_t capturePackets(ServiceContext& context, const uint16_t* thread_number) {
  const uint16_t number = *thread_number;
  Log(number, "Begin capturePackets", 0);
  // COM needs no initialisation on this platform: the database engines are plain libraries.

  counters::CounterRuleArray rules;
  {
    platform::CriticalSectionLock lock(context.lock());
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
    if (context.settings().DESTPACKETS == 2 || context.settings().DESTPACKETS == 3) {
      CreatePacketTableWriter(number, context.lock());
    }
    if (platform::ThisThreadTerminated()) return 0;
    if (!SetCapture(device, CAPTURE_ENABLED, rejected)) {
      if (platform::ThisThreadTerminated()) return 0;
      Log(number, "DeviceIoControl return error", LastErrorCode());
      return 0;
    }
  }

  // Reads after the stop test; 64 bits, since a busy thread passes 2^31 reads within a day.
  int64_t received = 0;
  const LoopEnd end = context.batch() ? BatchLoop(context, number, device, rules, received)
                                      : PacketLoop(context, number, device, rules, received);
  if (end == LoopEnd::kTerminated) return 0;

  {
    platform::CriticalSectionLock lock(context.lock());
    writePacketText({}, 0, 0, true);
  }
  if (!SetCapture(device, 0, rejected)) {
    Log(number, "DeviceIoControl return error", LastErrorCode());
  }
  host::WriteLog(ThreadCountMessage(number, "Rejected packets", rejected), 0);
  host::WriteLog(ThreadCountMessage(number, "Received packets", received), 0);
  {
    platform::CriticalSectionLock lock(context.lock());
    ClosePacketTableWriter();
  }
  rules.clear();
  CloseCaptureDevice(device);
  Log(number, "End capturePackets", 0);
  return 0;
}

}  // namespace flowsentry::capture
