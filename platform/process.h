// Processes: starting a program detached (CreateProcess without waiting), and the current
// directory as a path of the emulated machine.
#ifndef FLOWSENTRY_PLATFORM_PROCESS_H_
#define FLOWSENTRY_PLATFORM_PROCESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::platform {

// CreateProcess(program, command line of `arguments`, ..., no handle inheritance, the caller's
// environment, current_directory, hidden window), not waited for: the new process is detached
// from the caller (its own session, no controlling terminal, its standard streams on /dev/null)
// and lives on when the caller ends. `program` is a machine path taken whole, blanks and all;
// `arguments` reach it one by one as they are, after the program's own name. False with the
// last error when the program cannot be started (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER for an empty program, ...), including a program
// that cannot be executed: the caller learns it at once.
bool CreateDetachedProcess(std::string_view program, const std::vector<std::string>& arguments,
                           std::string_view current_directory);

// GetCurrentDirectory as a machine path: the host's current directory with the machine root
// taken off the front ("/" for the root itself). nullopt with ERROR_PATH_NOT_FOUND when the
// current directory lies outside the machine root.
std::optional<std::string> GetCurrentMachineDirectory();

// GetTickCount: milliseconds since an arbitrary start, wrapping at 2^32; from a monotonic clock.
uint32_t GetTickCount();

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_PROCESS_H_
