// flowreport: the operator's reports of the counters database (see Usage()).
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/time.h"
#include "report/archive_reader.h"
#include "report/chart.h"
#include "report/report_format.h"
#include "report/report_model.h"
#include "report/report_options.h"
#include "service/db/db_engine.h"
#include "service/host/config.h"

namespace flowsentry::report {
namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

// One line, whatever the engine's message holds (libpq's run over several).
int Fail(const std::string& message) {
  std::string line;
  for (char c : message) {
    if (c == '\n' || c == '\r' || c == '\t') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::fprintf(stderr, "flowreport: %s\n", line.c_str());
  return kFailure;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

// The connection string, and the database as messages name it.
bool ConnectionOf(const Options& options, std::string& connection, std::string& name,
                  std::string& error) {
  if (options.connection) {
    // Read-only for the engines that can be told so; the last of repeated keys wins.
    connection = *options.connection + ";Mode=Read";
    const db::ConnectionProperties properties = db::ParseConnectionString(connection);
    const auto source = properties.find("data source");
    name = source != properties.end() ? source->second : connection;
    return true;
  }
  if (options.db_path) {
    name = *options.db_path;
  } else {
    std::string destpath;
    if (platform::RegistryGetString(host::kConfigurationKey, "DESTPATH", destpath) != 0 ||
        destpath.empty()) {
      error = std::string("no DESTPATH under HKEY_LOCAL_MACHINE\\") + host::kConfigurationKey +
              " in the registry (name the database with --db or --connect)";
      return false;
    }
    while (destpath.size() > 1 && destpath.back() == '/') destpath.pop_back();
    name = destpath + "/DB/counters.mdb";
  }
  connection = SqliteConnectionString(name);
  return true;
}

bool Failed(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

// The charts and the page the options ask for; false with `error` set when one fails.
bool WriteCharts(const Options& options, const std::vector<HostReport>& hosts, std::string& error) {
  const Report& report = hosts.front().report;
  std::vector<ChartPanel> panels;
  for (const HostReport& host : hosts) {
    for (ChartPanel& panel : ChartPanels(host.report)) {
      if (options.all_hosts) panel.title = host.host + ": " + panel.title;
      panels.push_back(std::move(panel));
    }
  }
  auto chart = [&](ChartFormat format, const std::vector<ChartPanel>& shown, std::string& image) {
    if (DrawChart(shown, options.units, format, image, error)) return true;
    error = "cannot draw the chart: " + error;
    return false;
  };
  std::string image;
  if (options.png) {
    if (!chart(ChartFormat::kPng, panels, image)) return false;
    if (!WriteFile(*options.png, image)) return Failed(error, "cannot write " + *options.png);
  }
  if (options.svg) {
    if (!chart(ChartFormat::kSvg, panels, image)) return false;
    if (!WriteFile(*options.svg, image)) return Failed(error, "cannot write " + *options.svg);
  }
  if (options.html) {
    std::vector<std::string> svgs;
    for (const ChartPanel& panel : panels) {
      if (!chart(ChartFormat::kSvg, {panel}, image)) return false;
      svgs.push_back(image);
    }
    if (!WriteFile(*options.html, FormatHtml(report, options.units, svgs))) {
      return Failed(error, "cannot write " + *options.html);
    }
  }
  return true;
}

int Run(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  if (!ParseOptions(args, options, error)) {
    std::fprintf(stderr, "flowreport: %s (see flowreport --help)\n", error.c_str());
    return kUsageError;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }

  std::string connection_string;
  std::string database;
  if (!ConnectionOf(options, connection_string, database, error)) return Fail(error);
  std::unique_ptr<db::DbConnection> connection;
  db::DbError db_error;
  if (!db::OpenDbConnection(connection_string, connection, db_error)) {
    std::string reason = db_error.description;
    // A failed file call says more in the system's words ("cannot find the file").
    if (reason.empty() || (db_error.hresult & 0xFFFF0000u) == 0x80070000u) {
      reason += (reason.empty() ? "" : ": ") + db::HResultMessage(db_error.hresult);
    }
    return Fail("cannot open the counters database " + database + ": " + reason);
  }
  // Waits out the service's short write locks rather than failing beside it.
  connection->SetBusyTimeout(10000);
  std::vector<std::string> schemas = {""};
  if (options.all_hosts) {
    if (!ListHostSchemas(*connection, schemas, error)) return Fail(database + ": " + error);
    if (schemas.empty()) return Fail(database + ": no schema holds a table countersstat");
  }
  std::vector<std::vector<CounterHistory>> histories(schemas.size());
  for (size_t i = 0; i < schemas.size(); ++i) {
    if (!ReadCounterHistories(*connection, histories[i], error, schemas[i])) {
      return Fail(database + ": " + error);
    }
  }
  connection.reset();

  for (const std::string& name : options.request.counters) {
    bool known = false;
    for (const auto& host : histories) {
      for (const CounterHistory& history : host) known = known || history.name == name;
    }
    if (!known) return Fail("unknown counter '" + name + "' in " + database);
  }

  const int64_t now = platform::Now();
  const std::optional<platform::LocalTime> local = platform::ToLocalTime(now);
  if (!local) return Fail("the local time of the clock cannot be computed");
  options.request.today = Date{local->year + 1900, local->month + 1, local->day};
  options.request.today_elapsed =
      std::min(1.0, (local->hour * 3600.0 + local->minute * 60.0 + local->second) / 86400.0);
  std::vector<HostReport> hosts;
  for (size_t i = 0; i < schemas.size(); ++i) {
    hosts.push_back({schemas[i], BuildReport(histories[i], options.request)});
  }
  const Report& report = hosts.front().report;

  std::string text;
  switch (options.format) {
    case OutputFormat::kText:
      text = options.all_hosts ? FormatHostsText(hosts, options.units)
                               : FormatText(report, options.units);
      break;
    case OutputFormat::kCsv:
      text = options.all_hosts ? FormatHostsCsv(hosts) : FormatCsv(report);
      break;
    case OutputFormat::kJson:
      text = options.all_hosts ? FormatHostsJson(hosts) : FormatJson(report);
      break;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);

  if (!options.png && !options.svg && !options.html) return 0;
  const bool written = WriteCharts(options, hosts, error);
  ReleaseChartCaches();
  return written ? 0 : Fail(error);
}

}  // namespace
}  // namespace flowsentry::report

int main(int argc, char** argv) {
  return flowsentry::report::Run(std::vector<std::string>(argv + 1, argv + argc));
}
