// Which requests the manager refuses, and with which Windows code: the state machine of one
// service as clients see it, and who may do what. Pure.
#ifndef FLOWSENTRY_SCMD_SERVICE_RULES_H_
#define FLOWSENTRY_SCMD_SERVICE_RULES_H_

#include <cstdint>

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

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_SERVICE_RULES_H_
