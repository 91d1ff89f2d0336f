#include "report/report_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace flowsentry::report {
namespace {

std::string Printf(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

const char* ViewName(View view) {
  switch (view) {
    case View::kSummary:
      return "summary";
    case View::kDays:
      return "days";
    case View::kMonths:
      return "periods";
    case View::kYears:
      return "years";
  }
  return "";
}

// The days over which a bucket's traffic was counted: up to now for one that holds today.
double CountedDays(const Bucket& bucket, const Report& report) {
  const int64_t today = DayNumber(report.today);
  if (DayNumber(bucket.range.end) >= today && DayNumber(bucket.range.start) <= today) {
    return static_cast<double>(today - DayNumber(bucket.range.start)) + report.today_elapsed;
  }
  return static_cast<double>(bucket.span_days);
}

std::string RangeText(const DayRange& range) {
  return FormatDate(range.start) + ".." + FormatDate(range.end);
}

std::string BucketLabel(const Bucket& bucket, View view) {
  if (view == View::kYears) return std::to_string(bucket.range.start.year);
  if (view == View::kMonths) return RangeText(bucket.range);
  std::string label = FormatDate(bucket.range.start);
  if (bucket.span_days > 1)
    label += Printf(" (%lld days)", static_cast<long long>(bucket.span_days));
  return label;
}

std::string TextRow(const std::string& label, const Totals& totals, const std::string& rate,
                    Units units) {
  std::string row =
      Printf("  %-30s %12lld %14s %16s", label.c_str(), static_cast<long long>(totals.packets),
             FormatBytes(totals.bytes, units).c_str(), rate.c_str());
  while (row.back() == ' ') row.pop_back();
  return row + "\n";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += Printf("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonCounts(const Totals& totals) {
  return Printf("\"packets\": %lld, \"bytes\": %lld", static_cast<long long>(totals.packets),
                static_cast<long long>(totals.bytes));
}

std::string JsonRange(const DayRange& range) {
  return "\"start\": \"" + FormatDate(range.start) + "\", \"end\": \"" + FormatDate(range.end) +
         "\"";
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// An SVG document made fit to stand inside a page beside others: without its XML declaration,
// and with its element ids (glyphs, clip paths) made its own, since ids are page-wide.
std::string InlineSvg(std::string svg, size_t index) {
  if (svg.rfind("<?xml", 0) == 0) svg.erase(0, svg.find("?>") + 2);
  const std::string prefix = "c" + std::to_string(index) + "-";
  ReplaceAll(svg, "id=\"", "id=\"" + prefix);
  ReplaceAll(svg, "href=\"#", "href=\"#" + prefix);
  ReplaceAll(svg, "url(#", "url(#" + prefix);
  return svg;
}

}  // namespace

std::string FormatBytes(int64_t bytes, Units units) {
  if (units == Units::kExact) return std::to_string(bytes);
  static constexpr const char* kBinary[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  static constexpr const char* kSi[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  const double base = units == Units::kBinary ? 1024.0 : 1000.0;
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (std::fabs(value) >= base && unit < 6) {
    value /= base;
    ++unit;
  }
  const char* name = units == Units::kBinary ? kBinary[unit] : kSi[unit];
  if (unit == 0) return Printf("%lld %s", static_cast<long long>(bytes), name);
  return Printf(std::fabs(value) < 100 ? "%.2f %s" : "%.1f %s", value, name);
}

std::string FormatRate(double bits_per_second, Units units) {
  if (units == Units::kExact) return Printf("%.0f bit/s", bits_per_second);
  static constexpr const char* kPrefix[] = {"", "k", "M", "G", "T"};
  int unit = 0;
  while (bits_per_second >= 1000 && unit < 4) {
    bits_per_second /= 1000;
    ++unit;
  }
  return unit == 0 ? Printf("%.0f bit/s", bits_per_second)
                   : Printf("%.1f %sbit/s", bits_per_second, kPrefix[unit]);
}

double AverageRate(int64_t bytes, double days) {
  return days > 0 ? static_cast<double>(bytes) * 8.0 / (days * 86400.0) : 0.0;
}

std::string FormatText(const Report& report, Units units) {
  std::string out;
  const char* what = report.view == View::kDays     ? "day"
                     : report.view == View::kMonths ? "billing period"
                     : report.view == View::kYears  ? "year"
                                                    : "";
  for (const CounterReport& counter : report.counters) {
    if (!out.empty()) out += "\n";
    out += counter.name;
    if (counter.state == 2) out += "  (stopped)";
    out += "\n";
    out += Printf("  %-30s %12s %14s %16s\n", what, "packets", "bytes", "avg rate");
    if (report.view != View::kSummary) {
      for (const Bucket& bucket : counter.buckets) {
        out += TextRow(
            BucketLabel(bucket, report.view), bucket.totals,
            FormatRate(AverageRate(bucket.totals.bytes, CountedDays(bucket, report)), units),
            units);
      }
      if (counter.buckets.empty()) out += "  (no traffic recorded in these days)\n";
      continue;
    }
    const Summary& s = counter.summary;
    const int64_t today = DayNumber(report.today);
    const double gone =
        static_cast<double>(today - DayNumber(s.period.start)) + report.today_elapsed;
    out += TextRow("today", s.today,
                   FormatRate(AverageRate(s.today.bytes, report.today_elapsed), units), units);
    out += TextRow("yesterday", s.yesterday, FormatRate(AverageRate(s.yesterday.bytes, 1), units),
                   units);
    out += TextRow(RangeText(s.period) + " so far", s.period_so_far,
                   FormatRate(AverageRate(s.period_so_far.bytes, gone), units), units);
    out += TextRow("  estimated for the period", s.period_estimate, "", units);
    out += TextRow(RangeText(s.last_period), s.last_period_totals,
                   FormatRate(AverageRate(s.last_period_totals.bytes,
                                          static_cast<double>(s.last_period.Days())),
                              units),
                   units);
  }
  if (report.counters.empty()) out = "no counters\n";
  return out;
}

std::string FormatCsv(const Report& report) {
  std::string out;
  auto counts = [](const Totals& t) {
    return Printf("%lld,%lld\n", static_cast<long long>(t.packets),
                  static_cast<long long>(t.bytes));
  };
  switch (report.view) {
    case View::kSummary:
      out = "counter,item,start,end,packets,bytes\n";
      break;
    case View::kDays:
      out = "counter,date,span_days,packets,bytes\n";
      break;
    case View::kMonths:
      out = "counter,start,end,packets,bytes\n";
      break;
    case View::kYears:
      out = "counter,year,packets,bytes\n";
      break;
  }
  for (const CounterReport& counter : report.counters) {
    const std::string name = CsvField(counter.name);
    if (report.view == View::kSummary) {
      const Summary& s = counter.summary;
      const std::string today = FormatDate(report.today);
      const std::string yesterday = FormatDate(DateOfDayNumber(DayNumber(report.today) - 1));
      out += name + ",today," + today + "," + today + "," + counts(s.today);
      out += name + ",yesterday," + yesterday + "," + yesterday + "," + counts(s.yesterday);
      const std::string period = FormatDate(s.period.start) + "," + FormatDate(s.period.end);
      out += name + ",period_so_far," + period + "," + counts(s.period_so_far);
      out += name + ",period_estimate," + period + "," + counts(s.period_estimate);
      out += name + ",last_period," + FormatDate(s.last_period.start) + "," +
             FormatDate(s.last_period.end) + "," + counts(s.last_period_totals);
      continue;
    }
    for (const Bucket& bucket : counter.buckets) {
      out += name + ",";
      if (report.view == View::kDays) {
        out += FormatDate(bucket.range.start) + "," + std::to_string(bucket.span_days) + ",";
      } else if (report.view == View::kMonths) {
        out += FormatDate(bucket.range.start) + "," + FormatDate(bucket.range.end) + ",";
      } else {
        out += std::to_string(bucket.range.start.year) + ",";
      }
      out += counts(bucket.totals);
    }
  }
  return out;
}

std::string FormatJson(const Report& report) {
  std::string out = Printf("{\"version\": %d, \"view\": \"%s\", \"today\": \"%s\"", kJsonVersion,
                           ViewName(report.view), FormatDate(report.today).c_str());
  if (report.view != View::kDays && report.view != View::kYears) {
    out += Printf(", \"billing_day\": %d", report.billing_day);
  }
  out += ", \"counters\": [";
  bool first_counter = true;
  for (const CounterReport& counter : report.counters) {
    out += first_counter ? "\n  " : ",\n  ";
    first_counter = false;
    out +=
        "{\"name\": " + JsonString(counter.name) + ", \"state\": " + std::to_string(counter.state);
    if (report.view == View::kSummary) {
      const Summary& s = counter.summary;
      const std::string yesterday = FormatDate(DateOfDayNumber(DayNumber(report.today) - 1));
      out += ",\n   \"today\": {\"date\": \"" + FormatDate(report.today) + "\", " +
             JsonCounts(s.today) + "}";
      out +=
          ",\n   \"yesterday\": {\"date\": \"" + yesterday + "\", " + JsonCounts(s.yesterday) + "}";
      out += ",\n   \"period\": {" + JsonRange(s.period) + ", " + JsonCounts(s.period_so_far) +
             Printf(", \"estimated_packets\": %lld, \"estimated_bytes\": %lld}",
                    static_cast<long long>(s.period_estimate.packets),
                    static_cast<long long>(s.period_estimate.bytes));
      out += ",\n   \"last_period\": {" + JsonRange(s.last_period) + ", " +
             JsonCounts(s.last_period_totals) + "}}";
      continue;
    }
    out += Printf(", \"%s\": [", ViewName(report.view));
    bool first = true;
    for (const Bucket& bucket : counter.buckets) {
      out += first ? "\n    " : ",\n    ";
      first = false;
      // Formatted in place: a long report has hundreds of thousands of these.
      const Date& a = bucket.range.start;
      const Date& b = bucket.range.end;
      const auto packets = static_cast<long long>(bucket.totals.packets);
      const auto bytes = static_cast<long long>(bucket.totals.bytes);
      char entry[256];
      int length = 0;
      if (report.view == View::kDays) {
        length = std::snprintf(entry, sizeof entry,
                               "{\"date\": \"%04d-%02d-%02d\", \"span_days\": %lld, \"packets\": "
                               "%lld, \"bytes\": %lld}",
                               a.year, a.month, a.day, static_cast<long long>(bucket.span_days),
                               packets, bytes);
      } else if (report.view == View::kMonths) {
        length = std::snprintf(entry, sizeof entry,
                               "{\"start\": \"%04d-%02d-%02d\", \"end\": \"%04d-%02d-%02d\", "
                               "\"packets\": %lld, \"bytes\": %lld}",
                               a.year, a.month, a.day, b.year, b.month, b.day, packets, bytes);
      } else {
        length =
            std::snprintf(entry, sizeof entry, "{\"year\": %d, \"packets\": %lld, \"bytes\": %lld}",
                          a.year, packets, bytes);
      }
      out.append(entry, static_cast<size_t>(std::clamp(length, 0, 255)));
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

std::string FormatHostsText(const std::vector<HostReport>& hosts, Units units) {
  std::string out;
  for (const HostReport& host : hosts) {
    if (!out.empty()) out += "\n";
    out += "host " + host.host + "\n\n" + FormatText(host.report, units);
  }
  return out;
}

std::string FormatHostsCsv(const std::vector<HostReport>& hosts) {
  std::string out;
  for (const HostReport& host : hosts) {
    const std::string csv = FormatCsv(host.report);
    size_t line = csv.find('\n') + 1;  // past the header
    if (out.empty()) out = "host," + csv.substr(0, line);
    for (size_t end; line < csv.size(); line = end + 1) {
      end = csv.find('\n', line);
      out += CsvField(host.host) + "," + csv.substr(line, end - line + 1);
    }
  }
  return out;
}

std::string FormatHostsJson(const std::vector<HostReport>& hosts) {
  std::string out = Printf("{\"version\": %d, \"hosts\": [", kJsonVersion);
  for (size_t i = 0; i < hosts.size(); ++i) {
    std::string report = FormatJson(hosts[i].report);
    report.pop_back();  // its line end
    out += (i == 0 ? "\n" : ",\n") + std::string("{\"host\": ") + JsonString(hosts[i].host) +
           ", \"report\": " + report + "}";
  }
  return out + "]}\n";
}

std::vector<ChartPanel> ChartPanels(const Report& report) {
  std::vector<ChartPanel> panels;
  const bool by_day = report.view == View::kDays || report.view == View::kSummary;
  const char* per = report.view == View::kMonths  ? "billing period"
                    : report.view == View::kYears ? "year"
                                                  : "day";
  for (const CounterReport& counter : report.counters) {
    ChartPanel panel;
    panel.title = counter.name + "  -  bytes per " + per;
    if (by_day) {
      // One slot per calendar day, so that days without a row of their own show as gaps.
      const int64_t origin = DayNumber(report.days.start);
      for (int64_t day = origin; day <= DayNumber(report.days.end); ++day) {
        panel.slots.push_back(FormatDate(DateOfDayNumber(day)).substr(5));
      }
      panel.title += ", " + FormatDate(report.days.start) + " to " + FormatDate(report.days.end);
      for (const Bucket& bucket : counter.buckets) {
        const auto slot = static_cast<size_t>(DayNumber(bucket.range.start) - origin);
        if (slot >= panel.slots.size()) continue;
        const size_t width =
            std::min(static_cast<size_t>(bucket.span_days), panel.slots.size() - slot);
        panel.bars.push_back({slot, width, bucket.totals.bytes, bucket.span_days > 1,
                              bucket.range.end >= report.today});
      }
    } else {
      for (const Bucket& bucket : counter.buckets) {
        const Date& start = bucket.range.start;
        panel.slots.push_back(report.view == View::kYears ? std::to_string(start.year)
                              : report.billing_day == 1   ? FormatDate(start).substr(0, 7)
                                                          : FormatDate(start));
        panel.bars.push_back(
            {panel.slots.size() - 1, 1, bucket.totals.bytes, false,
             bucket.range.start <= report.today && bucket.range.end >= report.today});
      }
      if (!counter.buckets.empty()) {
        panel.title += ", " + FormatDate(counter.buckets.front().range.start) + " to " +
                       FormatDate(counter.buckets.back().range.end);
      }
    }
    panels.push_back(std::move(panel));
  }
  return panels;
}

std::string FormatHtml(const Report& report, Units units, const std::vector<std::string>& svgs) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>FlowSentry traffic on " +
      FormatDate(report.today) +
      "</title>\n<style>\n"
      "body { font-family: sans-serif; margin: 1.5em; color: #222; }\n"
      "table { border-collapse: collapse; margin-bottom: 1.5em; }\n"
      "th, td { border: 1px solid #ccc; padding: 0.3em 0.7em; }\n"
      "td { white-space: nowrap; }\n"
      "td { text-align: right; } td:first-child { text-align: left; }\n"
      "th { background: #eef2f7; }\n"
      "section { margin-bottom: 1em; } svg { max-width: 100%; height: auto; }\n"
      "</style>\n</head>\n<body>\n<h1>FlowSentry traffic on " +
      FormatDate(report.today) + "</h1>\n";
  // The periods are the same for every counter.
  auto range = [&](DayRange Summary::*field) {
    return report.counters.empty()
               ? std::string()
               : "<br><small>" + FormatDate((report.counters.front().summary.*field).start) +
                     " to<br>" + FormatDate((report.counters.front().summary.*field).end) +
                     "</small>";
  };
  out += "<table>\n<tr><th>counter</th><th>today</th><th>yesterday</th><th>this period so far" +
         range(&Summary::period) + "</th><th>estimated for this period</th><th>last period" +
         range(&Summary::last_period) + "</th></tr>\n";
  for (const CounterReport& counter : report.counters) {
    const Summary& s = counter.summary;
    auto cell = [&](const Totals& t) {
      return "<td>" + HtmlEscape(FormatBytes(t.bytes, units)) + "<br><small>" +
             std::to_string(t.packets) + " packets</small></td>";
    };
    out += "<tr><td>" + HtmlEscape(counter.name) + (counter.state == 2 ? " (stopped)" : "") +
           "</td>" + cell(s.today) + cell(s.yesterday) + cell(s.period_so_far) +
           cell(s.period_estimate) + cell(s.last_period_totals) + "</tr>\n";
  }
  out += "</table>\n";
  for (size_t i = 0; i < report.counters.size() && i < svgs.size(); ++i) {
    // The chart's own title names the counter.
    out += "<section title=\"" + HtmlEscape(report.counters[i].name) + "\">\n" +
           InlineSvg(svgs[i], i) + "\n</section>\n";
  }
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace flowsentry::report
