// The operator's service control client, in the manner of Windows' sc.exe: query, queryex, qc,
// start, stop, interrogate and delete of one service through the service control manager.
#ifndef FLOWSENTRY_SC_SC_H_
#define FLOWSENTRY_SC_SC_H_

#include <span>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace flowsentry::sc {

// Runs `sc VERB NAME` (`arguments` excludes the program's own name) and appends what sc prints
// to `out`. Returns the Windows error code of the failed step (the exit status), 0 on success;
// ERROR_INVALID_PARAMETER with the usage text for a command line it does not understand (after a
// line naming the command when that is what it does not know); 0 with the usage text for
// `sc --help`.
platform::Win32Error RunSc(std::span<const std::string_view> arguments, std::string& out);

}  // namespace flowsentry::sc

#endif  // FLOWSENTRY_SC_SC_H_
