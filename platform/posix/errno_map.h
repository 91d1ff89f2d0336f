// Translation of errno values into the Windows error codes the callers expect. Internal to the
// POSIX implementation.
#ifndef FLOWSENTRY_PLATFORM_POSIX_ERRNO_MAP_H_
#define FLOWSENTRY_PLATFORM_POSIX_ERRNO_MAP_H_

#include "platform/errors.h"

namespace flowsentry::platform::posix {

// The Windows code closest to `error_number`; ERROR_GEN_FAILURE for one without a counterpart.
Win32Error Win32FromErrno(int error_number);

// Sets the thread's last error from `error_number` and returns the code set.
Win32Error SetLastErrorFromErrno(int error_number);

}  // namespace flowsentry::platform::posix

#endif  // FLOWSENTRY_PLATFORM_POSIX_ERRNO_MAP_H_
