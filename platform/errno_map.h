// Translation of C library error numbers (errno) into the Windows error codes the programs
// report, for code that talks to a library which fails with errno (the database engine opening
// its file, for one).
#ifndef FLOWSENTRY_PLATFORM_ERRNO_MAP_H_
#define FLOWSENTRY_PLATFORM_ERRNO_MAP_H_

#include "platform/errors.h"

namespace flowsentry::platform {

// The Windows code closest to `error_number` (ENOENT -> ERROR_FILE_NOT_FOUND, EACCES ->
// ERROR_ACCESS_DENIED, EEXIST -> ERROR_ALREADY_EXISTS, ...); 0 for 0; ERROR_GEN_FAILURE for a
// number without a counterpart. Pure.
Win32Error Win32ErrorFromErrno(int error_number);

// Sets the thread's last error to Win32ErrorFromErrno(error_number) and returns it.
Win32Error SetLastErrorFromErrno(int error_number);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_ERRNO_MAP_H_
