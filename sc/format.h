// The text of `sc`, laid out as Windows' sc.exe prints it: service status blocks, the service
// configuration, "[SC] ... SUCCESS" lines and "[SC] ... FAILED n:" reports with the system's
// message for the code. Pure functions of their arguments; every line ends with "\n".
#ifndef FLOWSENTRY_SC_FORMAT_H_
#define FLOWSENTRY_SC_FORMAT_H_

#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/service_control.h"

namespace flowsentry::sc {

// "110  WIN32_OWN_PROCESS (interactive)": the type in hexadecimal digits and its words.
std::string TypeText(uint32_t service_type);

// "4  RUNNING"; an unknown state shows its number alone.
std::string StateText(uint32_t state);

// "(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)".
std::string ControlsText(uint32_t controls_accepted);

// "2   AUTO_START", "1   NORMAL".
std::string StartTypeText(uint32_t start_type);
std::string ErrorControlText(uint32_t error_control);

// The system's message for a Windows error code, without a line end; empty for a code it has
// no message for.
std::string SystemMessage(platform::Win32Error code);

// The status block of query, stop and interrogate: a blank line, SERVICE_NAME, TYPE, STATE and
// the accepted controls, the exit codes, CHECKPOINT and WAIT_HINT, a blank line.
std::string FormatStatus(std::string_view service_name, const platform::SERVICE_STATUS& status);

// The block of queryex and start: as FormatStatus, with PID and FLAGS before the blank line.
std::string FormatStatusEx(std::string_view service_name,
                           const platform::SERVICE_STATUS_PROCESS& status);

// qc: "[SC] QueryServiceConfig SUCCESS", a blank line and the configuration.
std::string FormatConfig(std::string_view service_name, const platform::ServiceConfig& config);

// "[SC] <operation> SUCCESS".
std::string FormatSuccess(std::string_view operation);

// "[SC] <operation> FAILED <code>:", a blank line, the system's message and a blank line.
std::string FormatFailure(std::string_view operation, platform::Win32Error code);

// What sc prints for a command line it does not understand.
std::string UsageText();

}  // namespace flowsentry::sc

#endif  // FLOWSENTRY_SC_FORMAT_H_
