// pactrak's command line:
//   pactrak --live [IFACE...] [--pcap-buffer MIB] [--queue-limit N]
//   pactrak --replay FILE... [--lossless] [--file-time] [--loop N] [--mac MAC] [--queue-limit N]
//   pactrak --help
// Pure: no I/O.
#ifndef FLOWSENTRY_DRIVER_PROGRAM_OPTIONS_H_
#define FLOWSENTRY_DRIVER_PROGRAM_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/runtime/sources/adapter_profile.h"
#include "driver/runtime/sources/live/live_source.h"
#include "shared/control.h"

namespace flowsentry::pactrak {

struct Options {
  enum class Mode { kLive, kReplay };
  Mode mode = Mode::kLive;
  std::vector<std::string> interfaces;                        // --live; empty: every interface
  uint32_t pcap_buffer_mib = ndis::kDefaultCaptureBufferMiB;  // --live: per capture handle
  std::vector<std::string> files;                             // --replay
  bool lossless = false;
  bool file_time = false;
  uint32_t loops = 1;
  std::optional<ndis::MacAddress> mac;
  uint32_t queue_limit = MAX_QUEUED_RECORDS;  // records the driver keeps for its readers
};

struct ParsedCommandLine {
  enum class Outcome { kRun, kHelp, kUsageError };
  Outcome outcome = Outcome::kUsageError;
  Options options;
  std::string error;  // for kUsageError: what is wrong, one line
};

// `args` are the arguments after the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string_view>& args);

// The --help text.
std::string UsageText();

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_PROGRAM_OPTIONS_H_
