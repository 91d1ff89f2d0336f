// The diagnostic log: one line per call into DESTPATH/flowmeter.log.
#ifndef FLOWSENTRY_SERVICE_HOST_LOG_H_
#define FLOWSENTRY_SERVICE_HOST_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace flowsentry::host {

// Appends "Time: <local time> Code: <code> Text: <text>" CR LF to the log, opening and closing
// the file for this one line. `text` is UTF-8 (Russian messages stay readable in the source);
// it is written in the Windows-1251 code page, and bytes that are not UTF-8 pass unchanged.
// Callable from any thread at any time; concurrent lines never interleave. A line that cannot be
// written is dropped; the call always returns normally. The thread's last error is the same
// after the call as before it, so a caller may log first and read the error afterwards.
void WriteLog(std::string_view text, int32_t code);

// The largest log that survives a start of the service.
inline constexpr uint64_t kLogSizeLimit = 0xFFFF;

// Run once per start, right after DESTPATH is read: deletes the log when it holds more than
// kLogSizeLimit bytes. Every failure is ignored.
void ApplyLogSizeLimit();

// The log's machine path for the current DESTPATH: DESTPATH + "/flowmeter.log", or
// "/flowmeter.log" (the root of the current drive) while DESTPATH is empty.
std::string LogFilePath();

// One line as written: "Time: " + timestamp + " Code: " + code + " Text: " + text + CR LF. The
// text is taken as it is (no code page conversion). Pure.
std::string FormatLogLine(std::string_view timestamp, int32_t code, std::string_view text);

// The timestamp of a line written at `seconds` since 1970 in local time, "%d.%m.%y %H:%M:%S";
// empty when the time cannot be converted.
std::string LogTimestamp(int64_t seconds);

}  // namespace flowsentry::host

#endif  // FLOWSENTRY_SERVICE_HOST_LOG_H_
