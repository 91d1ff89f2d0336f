#include "report/report_options.h"

#include <charconv>

namespace flowsentry::report {
namespace {

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<int> ParseCount(const std::string& text, int low, int high) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string Usage() {
  return "Usage: flowreport [VIEW] [OPTIONS]\n"
         "Reports the traffic of the FlowSentry counters from the counters database.\n"
         "\n"
         "Views (default: a summary per counter: today, yesterday, the current billing\n"
         "period so far with its estimated total, and the last whole period):\n"
         "  -d, --days [N]        the last N days (default 30), a row per counter and day\n"
         "  -m, --months [N]      the last N billing periods (default 12)\n"
         "  -y, --years           per calendar year\n"
         "\n"
         "Selection:\n"
         "  --counter NAME        only this counter (repeatable)\n"
         "  --from YYYY-MM-DD     only periods that begin on this day or later\n"
         "  --to YYYY-MM-DD       only periods that begin on this day or earlier\n"
         "  --billing-day N       billing periods begin on day N (1 to 28, default 1)\n"
         "\n"
         "Database (default: DESTPATH/DB/counters.mdb, DESTPATH from the registry):\n"
         "  --db PATH             an SQLite counters database file\n"
         "  --connect STRING      an ADO connection string (Provider=...;Data Source=...)\n"
         "  --all-hosts           with a PostgreSQL --connect: every schema that holds the\n"
         "                        counters of a host, a block per host (no --html)\n"
         "\n"
         "Output (to standard output: aligned text unless told otherwise):\n"
         "  --csv                 CSV, a header line and a line per counter and row\n"
         "  --json                one JSON object (version 1)\n"
         "  --si                  decimal units (kB, MB, GB) instead of KiB, MiB, GiB\n"
         "  --exact               plain byte counts\n"
         "  --png FILE            bar charts of bytes per day or period, as PNG\n"
         "  --svg FILE            the same charts, as SVG\n"
         "  --html FILE           a self-contained page: the summary table and the charts\n"
         "  -h, --help            this text\n"
         "\n"
         "Exit status: 0 done, 1 the database or a counter is at fault, 2 usage error.\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  bool view_given = false;
  bool units_given = false;
  bool format_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inline_value;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t equals = arg.find('='); equals != std::string::npos) {
        inline_value = arg.substr(equals + 1);
        arg.resize(equals);
      }
    }
    // The value of an option that takes one.
    auto value = [&](std::string& out) {
      if (inline_value) {
        out = *inline_value;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto set_view = [&](View view) {
      if (view_given) {
        error = "option " + arg + ": only one of -d, -m and -y may be given";
        return false;
      }
      view_given = true;
      options.request.view = view;
      return true;
    };
    // -d and -m take their count from the next argument when it is a number.
    auto count = [&](int high) {
      std::optional<std::string> text = inline_value;
      if (!text && i + 1 < args.size() && IsNumber(args[i + 1])) text = args[++i];
      if (!text) return true;
      options.request.count = ParseCount(*text, 1, high);
      if (!options.request.count) {
        error = "option " + arg + ": count '" + *text + "' is not a number from 1 to " +
                std::to_string(high);
        return false;
      }
      return true;
    };
    auto set_units = [&](Units units) {
      if (units_given) {
        error = "option " + arg + ": only one of --si and --exact may be given";
        return false;
      }
      units_given = true;
      options.units = units;
      return true;
    };
    auto set_format = [&](OutputFormat format) {
      if (format_given) {
        error = "option " + arg + ": only one of --csv and --json may be given";
        return false;
      }
      format_given = true;
      options.format = format;
      return true;
    };
    auto date = [&](std::optional<Date>& out) {
      std::string text;
      if (!value(text)) return false;
      out = ParseDate(text);
      if (!out) error = "option " + arg + ": '" + text + "' is not a date YYYY-MM-DD";
      return out.has_value();
    };
    const bool takes_value = arg == "--counter" || arg == "--from" || arg == "--to" ||
                             arg == "--billing-day" || arg == "--db" || arg == "--connect" ||
                             arg == "--png" || arg == "--svg" || arg == "--html" ||
                             arg == "--days" || arg == "--months";
    if (inline_value && !takes_value) {
      error = "option " + arg + " takes no value";
      return false;
    }
    bool ok = true;
    std::string text;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "-d" || arg == "--days") {
      ok = set_view(View::kDays) && count(100000);
    } else if (arg == "-m" || arg == "--months") {
      ok = set_view(View::kMonths) && count(10000);
    } else if (arg == "-y" || arg == "--years") {
      ok = set_view(View::kYears);
    } else if (arg == "--counter") {
      ok = value(text);
      if (ok && text.empty()) {
        error = "option --counter: the name is empty";
        ok = false;
      }
      if (ok) options.request.counters.push_back(text);
    } else if (arg == "--from") {
      ok = date(options.request.from);
    } else if (arg == "--to") {
      ok = date(options.request.to);
    } else if (arg == "--billing-day") {
      ok = value(text);
      if (ok) {
        const std::optional<int> day = ParseCount(text, 1, 28);
        if (!day) {
          error = "option --billing-day: '" + text + "' is not a day from 1 to 28";
          ok = false;
        } else {
          options.request.billing_day = *day;
        }
      }
    } else if (arg == "--db" || arg == "--connect") {
      ok = value(text);
      if (ok && (options.db_path || options.connection)) {
        error = "option " + arg + ": only one of --db and --connect may be given";
        ok = false;
      }
      if (ok && text.empty()) {
        error = "option " + arg + ": the value is empty";
        ok = false;
      }
      if (ok) (arg == "--db" ? options.db_path : options.connection) = text;
    } else if (arg == "--all-hosts") {
      options.all_hosts = true;
    } else if (arg == "--csv") {
      ok = set_format(OutputFormat::kCsv);
    } else if (arg == "--json") {
      ok = set_format(OutputFormat::kJson);
    } else if (arg == "--si") {
      ok = set_units(Units::kSi);
    } else if (arg == "--exact") {
      ok = set_units(Units::kExact);
    } else if (arg == "--png" || arg == "--svg" || arg == "--html") {
      ok = value(text);
      if (ok && text.empty()) {
        error = "option " + arg + ": the file name is empty";
        ok = false;
      }
      if (ok) (arg == "--png" ? options.png : arg == "--svg" ? options.svg : options.html) = text;
    } else {
      error =
          arg.rfind("-", 0) == 0 ? "unknown option " + arg : "unexpected argument '" + arg + "'";
      ok = false;
    }
    if (!ok) return false;
  }
  if (options.all_hosts && (!options.connection || options.html)) {
    error = options.html ? "option --all-hosts: the page shows one host; leave out --html"
                         : "option --all-hosts needs --connect with a server's connection string";
    return false;
  }
  if (options.request.from && options.request.to && *options.request.to < *options.request.from) {
    error = "option --to: " + FormatDate(*options.request.to) + " is before --from " +
            FormatDate(*options.request.from);
    return false;
  }
  return true;
}

}  // namespace flowsentry::report
