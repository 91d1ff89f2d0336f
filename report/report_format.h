// The formats of a flowreport report: aligned text of at most 80 columns, CSV, JSON (version
// kJsonVersion) and a self-contained HTML page around charts drawn elsewhere. Pure functions of a
// Report; nothing here reads a clock or a file.
#ifndef FLOWSENTRY_REPORT_REPORT_FORMAT_H_
#define FLOWSENTRY_REPORT_REPORT_FORMAT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "report/report_model.h"

namespace flowsentry::report {

inline constexpr int kJsonVersion = 1;

enum class Units {
  kBinary,  // KiB, MiB, GiB, TiB (powers of 1024)
  kSi,      // kB, MB, GB, TB (powers of 1000)
  kExact,   // plain byte counts
};

// "1.21 MiB", "1.27 MB", "1269760"; below one unit "512 B" (or "512" exact).
std::string FormatBytes(int64_t bytes, Units units);
// A rate in bit/s with SI prefixes ("12.3 kbit/s"), or whole bit/s with kExact.
std::string FormatRate(double bits_per_second, Units units);
// The average rate of `bytes` over `days` days of 86,400 seconds.
double AverageRate(int64_t bytes, double days);

std::string FormatText(const Report& report, Units units);
std::string FormatCsv(const Report& report);
std::string FormatJson(const Report& report);

// The reports of many hosts (the schemas of one server), each in a block of its own: text blocks
// headed "host NAME"; CSV with a first column `host` and one header line; JSON as
// {"version": 1, "hosts": [{"host": NAME, "report": <the host's report object>}, ...]}.
struct HostReport {
  std::string host;
  Report report;
};
std::string FormatHostsText(const std::vector<HostReport>& hosts, Units units);
std::string FormatHostsCsv(const std::vector<HostReport>& hosts);
std::string FormatHostsJson(const std::vector<HostReport>& hosts);

// One chart per counter, in the order of report.counters, as SVG documents.
std::string FormatHtml(const Report& report, Units units, const std::vector<std::string>& svgs);

// What a chart shows of a counter: a time axis of slots (days, billing periods or years), each
// with its short date, and a bar per row of the report over the slots it covers.
struct ChartBar {
  size_t slot = 0;
  size_t width = 1;  // in slots
  int64_t bytes = 0;
  bool spans_days = false;  // a period of the database that covers several days
  bool so_far = false;      // holds today: still counting
};
struct ChartPanel {
  std::string title;
  std::vector<std::string> slots;  // the label of each slot
  std::vector<ChartBar> bars;
};
std::vector<ChartPanel> ChartPanels(const Report& report);

}  // namespace flowsentry::report

#endif  // FLOWSENTRY_REPORT_REPORT_FORMAT_H_
