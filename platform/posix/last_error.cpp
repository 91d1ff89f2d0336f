#include "platform/last_error.h"

namespace flowsentry::platform {
namespace {

// One slot per thread, as Windows keeps it in the thread's environment block.
thread_local Win32Error last_error = ERROR_SUCCESS;

}  // namespace

Win32Error GetLastError() { return last_error; }

void SetLastError(Win32Error error) { last_error = error; }

}  // namespace flowsentry::platform
