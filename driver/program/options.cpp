#include "driver/program/options.h"

#include <charconv>

#include "driver/record_queue.h"

namespace flowsentry::pactrak {
namespace {

constexpr uint32_t kMaxLoops = 1'000'000'000;

ParsedCommandLine Error(std::string text) {
  ParsedCommandLine result;
  result.outcome = ParsedCommandLine::Outcome::kUsageError;
  result.error = std::move(text);
  return result;
}

std::optional<uint32_t> ParseWholeNumber(std::string_view text, uint32_t min, uint32_t max) {
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<uint32_t> ParseLoops(std::string_view text) {
  return ParseWholeNumber(text, 1, kMaxLoops);
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string_view>& args) {
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      ParsedCommandLine result;
      result.outcome = ParsedCommandLine::Outcome::kHelp;
      return result;
    }
  }
  Options options;
  bool live = false;
  bool replay = false;
  bool loop_given = false;
  bool buffer_given = false;
  bool operands_only = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (!operands_only && arg.size() > 1 && arg[0] == '-') {
      std::string_view value;
      bool has_value = false;
      if (const size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_value = true;
      }
      auto take_value = [&]() -> bool {
        if (has_value) return true;
        if (i + 1 >= args.size()) return false;
        value = args[++i];
        return true;
      };
      if (arg == "--") {
        operands_only = true;
      } else if (arg == "--live" || arg == "--replay") {
        if (has_value) return Error(std::string(arg) + " takes no value");
        if (live || replay) return Error("give either --live or --replay, once");
        (arg == "--live" ? live : replay) = true;
      } else if (arg == "--lossless" || arg == "--file-time") {
        if (has_value) return Error(std::string(arg) + " takes no value");
        (arg == "--lossless" ? options.lossless : options.file_time) = true;
      } else if (arg == "--loop") {
        if (!take_value()) return Error("--loop needs a number of passes");
        if (loop_given) return Error("--loop is given twice");
        std::optional<uint32_t> loops = ParseLoops(value);
        if (!loops.has_value()) {
          return Error("--loop needs a whole number from 1 to 1000000000, not \"" +
                       std::string(value) + "\"");
        }
        options.loops = *loops;
        loop_given = true;
      } else if (arg == "--pcap-buffer") {
        if (!take_value()) return Error("--pcap-buffer needs a size in MiB");
        uint32_t mib = 0;
        auto [end, bad] = std::from_chars(value.data(), value.data() + value.size(), mib);
        if (bad != std::errc() || end != value.data() + value.size() || mib == 0 ||
            mib > ndis::kMaxCaptureBufferMiB) {
          return Error("--pcap-buffer needs a whole number of MiB from 1 to " +
                       std::to_string(ndis::kMaxCaptureBufferMiB) + ", not \"" +
                       std::string(value) + "\"");
        }
        options.pcap_buffer_mib = mib;
        buffer_given = true;
      } else if (arg == "--mac") {
        if (!take_value()) return Error("--mac needs an address");
        options.mac = ndis::ParseMac(value);
        if (!options.mac.has_value()) {
          return Error("--mac needs an address like 02:00:5e:00:53:01, not \"" +
                       std::string(value) + "\"");
        }
      } else if (arg == "--queue-limit") {
        if (!take_value()) return Error("--queue-limit needs a number of records");
        std::optional<uint32_t> limit =
            ParseWholeNumber(value, RecordQueue::kMinLimit, RecordQueue::kMaxLimit);
        if (!limit.has_value()) {
          return Error("--queue-limit needs a whole number from 1 to 1048576, not \"" +
                       std::string(value) + "\"");
        }
        options.queue_limit = *limit;
      } else {
        return Error("unknown option " + std::string(arg));
      }
      continue;
    }
    if (!live && !replay) return Error("give --live or --replay before " + std::string(arg));
    (live ? options.interfaces : options.files).emplace_back(arg);
  }
  if (!live && !replay) return Error("give --live or --replay");
  if (live && (options.lossless || options.file_time || loop_given || options.mac.has_value())) {
    return Error("--lossless, --file-time, --loop and --mac go with --replay only");
  }
  if (replay && buffer_given) return Error("--pcap-buffer goes with --live only");
  if (replay && options.files.empty()) return Error("--replay needs at least one capture file");
  options.mode = live ? Options::Mode::kLive : Options::Mode::kReplay;
  ParsedCommandLine result;
  result.outcome = ParsedCommandLine::Outcome::kRun;
  result.options = std::move(options);
  return result;
}

std::string UsageText() {
  return "usage: pactrak --live [IFACE...] [--pcap-buffer MIB] [--queue-limit N]\n"
         "       pactrak --replay FILE... [--lossless] [--file-time] [--loop N] [--mac MAC]\n"
         "               [--queue-limit N]\n"
         "       pactrak --help\n"
         "\n"
         "Runs the pactrak capture driver in the foreground until SIGINT or SIGTERM; its control\n"
         "device is $FLOWSENTRY_ROOT/run/flowsentry/devices/pactrak while an adapter is bound.\n"
         "\n"
         "  --live [IFACE...]  bind to the named network interfaces, or to every interface\n"
         "                     (also those that appear later) when none is named\n"
         "  --pcap-buffer MIB  the kernel's capture buffer of each direction of each interface,\n"
         "                     1 to " +
         std::to_string(ndis::kMaxCaptureBufferMiB) + " MiB (default " +
         std::to_string(ndis::kDefaultCaptureBufferMiB) +
         ": over a second of 1 Gbit/s)\n"
         "  --replay FILE...   replay Ethernet capture files, one adapter per file: pcap0 for\n"
         "                     the first file, pcap1 for the second, ...\n"
         "  --lossless         before each frame wait until capture is on and the record queue\n"
         "                     has room, so that no record is dropped\n"
         "  --file-time        stamp records with the file's times instead of the clock\n"
         "  --loop N           replay each file N times (default 1)\n"
         "  --mac MAC          the replayed host's own address: frames from it take the send\n"
         "                     path, the others the receive path (default: each file's first\n"
         "                     frame's source address)\n"
         "  --queue-limit N    records the driver keeps for its readers before it drops new\n"
         "                     ones, 1 to 1048576 (default 50)\n"
         "  --help             show this text\n";
}

}  // namespace flowsentry::pactrak
