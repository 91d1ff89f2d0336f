// The setup tool's commands: install ("-i"), uninstall ("-u"), restart ("-r") and stop ("-s") of
// the flowSentry service, through the service control manager.
//
// Every command works in the process's current directory: "-u", "-r" and "-s" replace
// "flowsetup.log" there with the lines of this run (CR LF after each, none after the last
// "uninstall end"), and "-i" records that directory + "/flowmeter" as the service's program
// (quoted when it holds a blank).
// Single-threaded; every manager handle is closed before a command returns.
#ifndef FLOWSENTRY_SETUP_COMMANDS_H_
#define FLOWSENTRY_SETUP_COMMANDS_H_

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "setup/waits.h"
#include "shared/service_name.h"

namespace flowsentry::setup {

inline constexpr char kDisplayName[] = "Meridan FlowSentry";
inline constexpr char kLogFileName[] = "flowsetup.log";
inline constexpr char kProgramName[] = "flowmeter";
// The program path, terminating zero included, must fit in this many characters.
inline constexpr size_t kMaxPath = 260;

// Where console messages go; they are passed as they stand, without a line end.
using Console = std::function<void(std::string_view text)>;

// The service's program path for a current directory (a machine path): the directory joined
// with "flowmeter", enclosed in double quotes when it holds a blank. Empty when the result would
// not fit in kMaxPath characters with its terminating zero.
std::string ProgramPathFor(std::string_view current_directory);

// Stops the service and waits for it; true when it ended up stopped or was not running. Writes
// the outcome text into `message`.
bool stopService(std::string& message, const Waits& waits);

// Starts the service and waits while it is start-pending; true when it runs (or already ran).
// Writes the outcome text into `message`.
bool startService(std::string& message, const Waits& waits);

// "-i": creates the service (automatic start, own process, interactive) and prints the outcome.
// When the current directory lies outside the machine or the program path does not fit, prints
// "failed to create flowSentry service" and creates nothing.
void installService(const Console& console);

// "-u": stops the service if it runs, then deletes it; prints the outcome and logs.
void uninstallService(const Console& console, const Waits& waits);

// "-r": when the service runs, stops it and starts it again, retrying each every 500 ms for as
// long as it fails; logs.
void restartService(const Waits& waits);

// "-s": stops the service; logs.
void StopCommand(const Waits& waits);

// The program: runs the command named by the only argument (`arguments` excludes the program's
// own name); any other argument or count does nothing. Always returns 0, the exit code.
int RunFlowsetup(std::span<const std::string_view> arguments, const Console& console,
                 const Waits& waits);

}  // namespace flowsentry::setup

#endif  // FLOWSENTRY_SETUP_COMMANDS_H_
