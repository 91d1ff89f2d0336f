// The diagnostic log: one line per call into DESTPATH/flowmeter.log.
#ifndef FLOWSENTRY_SERVICE_HOST_LOG_H_
#define FLOWSENTRY_SERVICE_HOST_LOG_H_

#include <cstdint>
#include <string_view>

namespace flowsentry::host {

// Appends "Time: <local time> Code: <code> Text: <text>" CR LF to the log, opening and closing
// the file for this one line. `text` is UTF-8 (Russian messages stay readable in the source);
// it is written in the Windows-1251 code page, and bytes that are not UTF-8 pass unchanged.
// Callable from any thread at any time; concurrent lines never interleave. A line that cannot be
// written is dropped; the call always returns normally.
void WriteLog(std::string_view text, int32_t code);

}  // namespace flowsentry::host

#endif  // FLOWSENTRY_SERVICE_HOST_LOG_H_
