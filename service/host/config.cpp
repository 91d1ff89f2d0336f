#include "service/host/config.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>
#include <vector>

#include "platform/atoi.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "service/host/log.h"

namespace flowsentry::host {
namespace {

// The buffer the values are queried into; a longer value fails with ERROR_MORE_DATA.
constexpr size_t kValueBufferSize = 16383;

constexpr uint32_t kThreadCountWhenKeyMissing = 10;

// Reads one value into `store` with `convert`; false when the read fails.
template <typename T, typename Convert>
bool ReadInto(std::string_view name, T& store, Convert convert) {
  std::string text;
  if (ReadRegistryValue(kConfigurationKey, name, text) != 0) return false;
  store = convert(text);
  return true;
}

constexpr char kAccountingSection[] = "ACCOUNTING";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

void ReportInvalidValue(std::string_view key, std::string_view text, std::string_view taken) {
  WriteLog("Invalid value in flowmeter.cfg [ACCOUNTING] " + std::string(key) + "=" +
               std::string(text) + ", " + std::string(taken) + " taken",
           -1);
}

// A number key of [ACCOUNTING] within [low, high]; `fallback` for a missing or empty value and,
// reported, for one outside the range (text without leading digits reads as 0).
uint32_t ReadBoundedKey(const std::string& path, std::string_view key, uint32_t low, uint32_t high,
                        uint32_t fallback) {
  const std::string text = platform::GetPrivateProfileString(kAccountingSection, key, "", path);
  if (text.empty()) return fallback;
  const uint32_t value = platform::ProfileInteger(text);
  if (value >= low && value <= high) return value;
  ReportInvalidValue(key, text, std::to_string(fallback));
  return fallback;
}

}  // namespace

const Settings& settings() { return MutableSettings(); }

Settings& MutableSettings() {
  static Settings process_settings;
  return process_settings;
}

uint32_t ReadRegistryValue(std::string_view key_path, std::string_view name, std::string& value) {
  value.clear();
  platform::RegistryKey key;
  if (const platform::Win32Error error = platform::RegistryKey::Open(key_path, key);
      error != platform::ERROR_SUCCESS) {
    return error;
  }
  std::vector<uint8_t> buffer(kValueBufferSize);
  uint32_t size = static_cast<uint32_t>(buffer.size());
  const platform::Win32Error error = key.QueryValue(name, buffer, size);
  key.Close();
  if (error != platform::ERROR_SUCCESS) return error;
  // The value's type is not looked at: whatever it holds counts up to its first zero byte.
  const auto end = buffer.begin() + std::min<size_t>(size, buffer.size());
  value.assign(buffer.begin(), std::find(buffer.begin(), end, uint8_t{0}));
  return 0;
}

int32_t DecimalToInt32(std::string_view text) { return platform::Atoi(text); }

bool ReadConfiguration() {
  Settings& s = MutableSettings();
  const auto text = [](const std::string& t) { return t; };
  const auto byte = [](const std::string& t) { return static_cast<uint8_t>(DecimalToInt32(t)); };
  const auto int32 = [](const std::string& t) { return DecimalToInt32(t); };
  if (!(ReadInto("DIRPACKETS", s.DIRPACKETS, text) && ReadInto("OPTIONS", s.OPTIONS, byte) &&
        ReadInto("INTERVALCREATEFILE", s.INTERVALCREATEFILE, int32) &&
        ReadInto("STRINGCONNECT", s.STRINGCONNECT, text) &&
        ReadInto("TABLENAME", s.TABLENAME, text) && ReadInto("DESTPACKETS", s.DESTPACKETS, byte))) {
    return false;
  }
  // Missing is today's database in DESTPATH, so a failed read leaves it empty and is no fault.
  if (!ReadInto("COUNTERSCONNECT", s.COUNTERSCONNECT, text)) s.COUNTERSCONNECT.clear();
  return true;
}

uint32_t ReadThreadCount() {
  Settings& s = MutableSettings();
  const std::string path = s.DESTPATH + "/flowmeter.cfg";
  if (platform::FindFile(path)) {
    s.countThread =
        platform::GetPrivateProfileInt("THREAD", "countThread", kThreadCountWhenKeyMissing, path);
  }
  const uint32_t count = std::clamp(s.countThread, kMinThreadCount, kMaxThreadCount);
  if (count != s.countThread) {
    WriteLog("countThread " + std::to_string(s.countThread) + " is outside 1..64, using " +
                 std::to_string(count),
             -1);
    s.countThread = count;
  }
  return count;
}

AccountingSettings ReadAccountingSettings() {
  AccountingSettings accounting;
  const std::string path = settings().DESTPATH + "/flowmeter.cfg";
  if (platform::FindFile(path)) {
    const std::string mode =
        platform::GetPrivateProfileString(kAccountingSection, "mode", "", path);
    if (EqualsIgnoringCase(mode, "batch")) {
      accounting.mode = AccountingMode::kBatch;
    } else if (!mode.empty() && !EqualsIgnoringCase(mode, "packet")) {
      ReportInvalidValue("mode", mode, "packet");
    }
    accounting.flushInterval = ReadBoundedKey(path, "flushInterval", kMinFlushInterval,
                                              kMaxFlushInterval, accounting.flushInterval);
    accounting.readRecords = ReadBoundedKey(path, "readRecords", kMinReadRecords, kMaxReadRecords,
                                            accounting.readRecords);
  }
  WriteLog(AccountingModeMessage(accounting), 0);
  return accounting;
}

std::string AccountingModeMessage(const AccountingSettings& accounting) {
  if (accounting.mode == AccountingMode::kPacket) return "Accounting mode packet";
  return "Accounting mode batch, flushInterval " + std::to_string(accounting.flushInterval) +
         " ms, readRecords " + std::to_string(accounting.readRecords);
}

}  // namespace flowsentry::host
