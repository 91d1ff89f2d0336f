// Which requests the manager refuses, and with which Windows code: the state machine of one
// service as clients see it, and who may do what; and how a service's program path reads. Pure.
#ifndef FLOWSENTRY_SCMD_SERVICE_RULES_H_
#define FLOWSENTRY_SCMD_SERVICE_RULES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/service_control.h"

namespace flowsentry::scmd {

// The refusal of a control sent by ControlService to a service in `status` (whose process is
// `running`), or ERROR_SUCCESS when it is to be delivered:
//  - ERROR_INVALID_PARAMETER: 0, SERVICE_CONTROL_SHUTDOWN (only the system sends it), or a code
//    above 255;
//  - ERROR_SERVICE_NOT_ACTIVE: the service is stopped or has no process;
//  - ERROR_SERVICE_CANNOT_ACCEPT_CTRL: start-pending or stop-pending, for everything but an
//    interrogation (a start-pending service accepts no control yet);
//  - ERROR_INVALID_SERVICE_CONTROL: a stop, pause or continue that the service's accepted
//    controls leave out.
platform::Win32Error ControlRefusal(const platform::SERVICE_STATUS& status, bool running,
                                    uint32_t control);

// The refusal of a start of a service in `status`: ERROR_SERVICE_MARKED_FOR_DELETE,
// ERROR_SERVICE_DISABLED, ERROR_SERVICE_ALREADY_RUNNING for any state but stopped.
platform::Win32Error StartRefusal(const platform::SERVICE_STATUS& status, uint32_t start_type,
                                  bool marked_for_delete);

// Whether `access` asked of the manager (service = false) or of a service needs a client of
// the manager's own user: anything beyond connecting, enumerating and querying.
bool NeedsOwner(uint32_t access, bool service);

// The state a status report may carry: SERVICE_STOPPED to SERVICE_PAUSED.
bool IsValidState(uint32_t state);

// The program and its arguments that a service's recorded path names, the program first. A path
// that begins with a double quote names the program up to the closing quote (to the end when
// there is none), and what follows are arguments, split at blanks, where a double-quoted run
// keeps its blanks. A path without the leading quote is the program whole, blanks and all, with
// no arguments: never one of its prefixes, which would let whoever can write a shorter path
// choose the program. Empty when no program is named.
std::vector<std::string> SplitImagePath(std::string_view image_path);

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_SERVICE_RULES_H_
