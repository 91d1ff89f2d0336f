// The service's settings: registry values under SOFTWARE\Ardentiaware\FlowSentry and the
// options file flowmeter.cfg.
//
// Held process-wide: written only by the service main function before any worker thread
// exists, read-only afterwards.
#ifndef FLOWSENTRY_SERVICE_HOST_CONFIG_H_
#define FLOWSENTRY_SERVICE_HOST_CONFIG_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace flowsentry::host {

inline constexpr char kConfigurationKey[] = "SOFTWARE\\Ardentiaware\\FlowSentry";

struct Settings {
  std::string DESTPATH;  // installation directory, a machine path without a trailing "/"
  std::string DIRPACKETS;
  uint8_t OPTIONS = 0;
  int32_t INTERVALCREATEFILE = 0;
  std::string STRINGCONNECT;
  std::string TABLENAME;
  uint8_t DESTPACKETS = 0;
  // Optional: the counters database's connection string; empty for DESTPATH/DB/counters.mdb.
  std::string COUNTERSCONNECT;
  uint32_t countThread = 15;
};

// The process-wide settings, read-only for everyone but the service main function.
const Settings& settings();

// For the service main function (and tests) only, before any worker thread exists.
Settings& MutableSettings();

// 0 on success, else the Windows error code of the failed registry call; `value` is emptied
// first and holds the value on success.
uint32_t ReadRegistryValue(std::string_view key_path, std::string_view name, std::string& value);

// Reads the six packet-log values into the settings, in their fixed order; false at the first
// read that fails, leaving the values read before it stored. After the six, reads the optional
// COUNTERSCONNECT (empty when missing, which is no failure).
bool ReadConfiguration();

// The decimal conversion of the numeric values: the platform's atoi (platform/atoi.h), which
// saturates at the 32-bit limits; OPTIONS and DESTPACKETS then keep the low 8 bits, so
// 4294967297 gives 255. Pure.
int32_t DecimalToInt32(std::string_view text);

// The range of capture threads the service can run: it waits on all of them at once, which the
// platform allows for at most 64 handles.
inline constexpr uint32_t kMinThreadCount = 1;
inline constexpr uint32_t kMaxThreadCount = 64;

// countThread: when DESTPATH/flowmeter.cfg exists, sets settings().countThread from key
// countThread of section THREAD (10 when missing), else leaves it as it is (15 before any
// read). A count outside kMinThreadCount..kMaxThreadCount is brought to the nearer end and a
// line says so in the diagnostic log. Returns the count set.
uint32_t ReadThreadCount();

// How the capture threads account for what they read: `packet` reads one record per request and
// commits one update per credit; `batch` reads up to readRecords records per request and keeps
// the counts in memory, committed by one flusher every flushInterval milliseconds.
enum class AccountingMode { kPacket, kBatch };

struct AccountingSettings {
  AccountingMode mode = AccountingMode::kPacket;
  uint32_t flushInterval = 1000;  // milliseconds between two commits
  uint32_t readRecords = 1024;    // records per read request
};

inline constexpr uint32_t kMinFlushInterval = 10;
inline constexpr uint32_t kMaxFlushInterval = 60000;
inline constexpr uint32_t kMinReadRecords = 1;
inline constexpr uint32_t kMaxReadRecords = 25000;

// Section [ACCOUNTING] of DESTPATH/flowmeter.cfg: keys `mode` (packet or batch, in any letter
// case), `flushInterval` and `readRecords` (read as countThread is). A missing file, section, key
// or an empty value gives the default; a value that cannot be used is named in the diagnostic log
// with its key and text, and the default is taken. Then writes the line that says which mode runs
// (AccountingModeMessage, code 0). Before any worker thread exists.
AccountingSettings ReadAccountingSettings();

// "Accounting mode packet", or "Accounting mode batch, flushInterval N ms, readRecords N". Pure.
std::string AccountingModeMessage(const AccountingSettings& accounting);

}  // namespace flowsentry::host

#endif  // FLOWSENTRY_SERVICE_HOST_CONFIG_H_
