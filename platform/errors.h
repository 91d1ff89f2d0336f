// Windows error codes, kept with their numeric values so that the diagnostic log reads the same
// on every platform.
#ifndef FLOWSENTRY_PLATFORM_ERRORS_H_
#define FLOWSENTRY_PLATFORM_ERRORS_H_

#include <cstdint>

namespace flowsentry::platform {

using Win32Error = uint32_t;

inline constexpr Win32Error ERROR_SUCCESS = 0;
inline constexpr Win32Error ERROR_INVALID_FUNCTION = 1;
inline constexpr Win32Error ERROR_FILE_NOT_FOUND = 2;
inline constexpr Win32Error ERROR_PATH_NOT_FOUND = 3;
inline constexpr Win32Error ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr Win32Error ERROR_ACCESS_DENIED = 5;
inline constexpr Win32Error ERROR_INVALID_HANDLE = 6;
inline constexpr Win32Error ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Win32Error ERROR_INVALID_DATA = 13;
inline constexpr Win32Error ERROR_NOT_SAME_DEVICE = 17;
inline constexpr Win32Error ERROR_WRITE_PROTECT = 19;
inline constexpr Win32Error ERROR_NOT_READY = 21;
inline constexpr Win32Error ERROR_BAD_COMMAND = 22;
inline constexpr Win32Error ERROR_GEN_FAILURE = 31;
inline constexpr Win32Error ERROR_SHARING_VIOLATION = 32;
inline constexpr Win32Error ERROR_LOCK_VIOLATION = 33;
inline constexpr Win32Error ERROR_HANDLE_EOF = 38;
inline constexpr Win32Error ERROR_NOT_SUPPORTED = 50;
inline constexpr Win32Error ERROR_FILE_EXISTS = 80;
inline constexpr Win32Error ERROR_NEGATIVE_SEEK = 131;
inline constexpr Win32Error ERROR_DIR_NOT_EMPTY = 145;
inline constexpr Win32Error ERROR_INVALID_PARAMETER = 87;
inline constexpr Win32Error ERROR_DISK_FULL = 112;
inline constexpr Win32Error ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr Win32Error ERROR_BUSY = 170;
inline constexpr Win32Error ERROR_ALREADY_EXISTS = 183;
inline constexpr Win32Error ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr Win32Error ERROR_MORE_DATA = 234;
inline constexpr Win32Error ERROR_NO_MORE_ITEMS = 259;
inline constexpr Win32Error ERROR_OPERATION_ABORTED = 995;
inline constexpr Win32Error ERROR_IO_PENDING = 997;
inline constexpr Win32Error ERROR_BADDB = 1009;
inline constexpr Win32Error ERROR_IO_DEVICE = 1117;
inline constexpr Win32Error ERROR_CANT_RESOLVE_FILENAME = 1921;
inline constexpr Win32Error ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr Win32Error ERROR_NOT_FOUND = 1168;
inline constexpr Win32Error ERROR_INVALID_USER_BUFFER = 1784;

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_ERRORS_H_
