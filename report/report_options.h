// The command line of flowreport, parsed into what to read and what to write.
#ifndef FLOWSENTRY_REPORT_REPORT_OPTIONS_H_
#define FLOWSENTRY_REPORT_REPORT_OPTIONS_H_

#include <optional>
#include <string>
#include <vector>

#include "report/report_format.h"
#include "report/report_model.h"

namespace flowsentry::report {

enum class OutputFormat { kText, kCsv, kJson };

struct Options {
  bool help = false;
  std::optional<std::string> db_path;     // --db
  std::optional<std::string> connection;  // --connect
  bool all_hosts = false;                 // every schema of the server, a block per host
  ReportRequest request;                  // without today, which the caller fills in
  Units units = Units::kBinary;
  OutputFormat format = OutputFormat::kText;
  std::optional<std::string> png;
  std::optional<std::string> svg;
  std::optional<std::string> html;
};

// The usage text that --help prints.
std::string Usage();

// False with one line naming the option or value at fault in `error` (a usage error).
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

}  // namespace flowsentry::report

#endif  // FLOWSENTRY_REPORT_REPORT_OPTIONS_H_
