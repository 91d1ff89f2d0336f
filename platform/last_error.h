// The calling thread's last error, as GetLastError and SetLastError keep it. Every platform call
// that fails sets it before it returns.
#ifndef FLOWSENTRY_PLATFORM_LAST_ERROR_H_
#define FLOWSENTRY_PLATFORM_LAST_ERROR_H_

#include "platform/errors.h"

namespace flowsentry::platform {

Win32Error GetLastError();
void SetLastError(Win32Error error);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_LAST_ERROR_H_
