// flowreport run as a program on a generated archive, its answers compared with plain SQL over
// the same file: a year and more of days in a zone with summer time, a counter that missed two
// starts (a period of three days), one added in the middle of last month, and a stopped one.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "platform/registry.h"
#include "platform/testing/postgres_cluster.h"
#include "platform/testing/temp_root.h"
#include "platform/time.h"
#include "report/report_model.h"
#include "service/host/config.h"

namespace flowsentry::report {
namespace {

constexpr char kZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr char kDatabase[] = "/opt/flowsentry/DB/counters.mdb";
constexpr int kDaysBack = 420;

struct ProgramRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

using Rows = std::map<std::tuple<std::string, std::string>, std::pair<int64_t, int64_t>>;

class FlowreportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("TZ", kZone, 1);
    tzset();
    root_ = std::make_unique<platform::testing::TempRoot>();
    ASSERT_TRUE(root_->WriteFile("/opt/flowsentry/DB/.keep", ""));
    ASSERT_EQ(platform::RegistrySetString(host::kConfigurationKey, "DESTPATH", "/opt/flowsentry"),
              0u);
    ASSERT_EQ(sqlite3_open(root_->Host(kDatabase).c_str(), &db_), SQLITE_OK);
    ASSERT_TRUE(Exec(Slurp(FLOWSENTRY_SCHEMA_PATH)));

    const auto local = platform::ToLocalTime(platform::Now());
    today_ = {local->year + 1900, local->month + 1, local->day};
    auto midnight = [](int64_t day) {
      const Date date = DateOfDayNumber(day);
      platform::LocalTime t;
      t.year = date.year - 1900;
      t.month = date.month - 1;
      t.day = date.day;
      return *platform::FromLocalTime(t);
    };
    const int64_t today = DayNumber(today_);
    const int64_t late_start = DayNumber({today_.month == 1 ? today_.year - 1 : today_.year,
                                          today_.month == 1 ? 12 : today_.month - 1, 15});
    bool summer_change = false;
    std::string sql = "BEGIN;";
    auto row = [&](const char* table, const char* name, int64_t packets, int64_t bytes, int state,
                   int64_t day) {
      sql += std::string("INSERT INTO ") + table + " VALUES ('" + name + "', " +
             std::to_string(packets) + ", " + std::to_string(bytes) + ", " + std::to_string(state) +
             ", 1, " + std::to_string(midnight(day)) + ", '');";
    };
    for (int64_t day = today - kDaysBack; day < today; ++day) {
      summer_change = summer_change || midnight(day + 1) - midnight(day) != 86400;
      const int64_t back = today - day;
      if (back != 11 && back != 12) row("countersstat", "web", back * 3, back * 150001, 0, day);
      if (day >= late_start) row("countersstat", "late", back, back * 9000, 0, day);
      row("countersstat", "stopped", back > 100 ? 7 : 0, back > 100 ? 7000 : 0, back > 100 ? 0 : 2,
          day);
    }
    row("counters", "web", 5, 5000, 0, today);
    row("counters", "late", 2, 2000, 0, today);
    row("counters", "stopped", 0, 0, 2, today);
    ASSERT_TRUE(Exec(sql + "COMMIT;"));
    ASSERT_TRUE(summer_change);
  }

  static void TearDownTestSuite() {
    sqlite3_close(db_);
    root_.reset();
  }

  static bool Exec(const std::string& sql) {
    char* message = nullptr;
    const bool ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
    if (!ok) ADD_FAILURE() << message;
    sqlite3_free(message);
    return ok;
  }

  // counter and day (or whatever the first two columns are) -> packets and bytes.
  static Rows Query(const std::string& sql) {
    Rows rows;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      auto text = [&](int i) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
      };
      rows[{text(0), text(1)}] = {sqlite3_column_int64(statement, 2),
                                  sqlite3_column_int64(statement, 3)};
    }
    sqlite3_finalize(statement);
    return rows;
  }

  static std::string Both(const std::string& where) {
    return "SELECT countername, date(timecount, 'unixepoch', 'localtime') AS day, packets, bytes "
           "FROM (SELECT * FROM countersstat UNION ALL SELECT * FROM counters) " +
           where;
  }

  static ProgramRun Flowreport(const std::string& arguments, const std::string& root = "") {
    const std::string err = root_->path() + "/stderr";
    const std::string command = "FLOWSENTRY_ROOT='" + (root.empty() ? root_->path() : root) +
                                "' TZ='" + kZone + "' '" + FLOWREPORT + "' " + arguments + " 2>'" +
                                err + "'";
    ProgramRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = Slurp(err);
    return run;
  }

  static std::string Host(const std::string& name) { return root_->path() + "/" + name; }

  static inline std::unique_ptr<platform::testing::TempRoot> root_;
  static inline sqlite3* db_ = nullptr;
  static inline Date today_;
};

// Every counter and day of -d 400 --json against SQL over both tables, the database left as it
// was; the period of three days is marked on its first day.
TEST_F(FlowreportTest, DaysMatchSqlOverBothTables) {
  const std::string file = root_->Host(kDatabase);
  const std::string before = Slurp(file) + Slurp(file + "-wal");
  const ProgramRun run = Flowreport("-d 400 --json");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_TRUE(Slurp(file) + Slurp(file + "-wal") == before) << "the database was written";
  Rows reported;
  int spans = 0;
  std::string name;
  const std::regex counter(R"re("name": "([^"]+)")re");
  const std::regex day(
      R"re(\{"date": "([0-9-]+)", "span_days": ([0-9]+), "packets": ([0-9]+), "bytes": ([0-9]+)\})re");
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, counter)) name = m[1];
    if (!std::regex_search(line, m, day)) continue;
    reported[{name, m[1]}] = {std::stoll(m[3]), std::stoll(m[4])};
    if (m[2] != "1") {
      ++spans;
      EXPECT_EQ(name, "web");
      EXPECT_EQ(m[2], "3");
      EXPECT_EQ(m[1], FormatDate(DateOfDayNumber(DayNumber(today_) - 13)));
    }
  }
  const std::string first = FormatDate(DateOfDayNumber(DayNumber(today_) - 399));
  EXPECT_EQ(reported, Query(Both("WHERE day >= '" + first + "'")));
  EXPECT_EQ(spans, 1);
  EXPECT_NE(run.out.find(R"("version": 1)"), std::string::npos);
}

// Billing periods from the 15th across a year end, and the summary, against SQL sums.
TEST_F(FlowreportTest, PeriodsAndSummaryMatchSqlSums) {
  const int year = today_ > Date{today_.year, 1, 20} ? today_.year : today_.year - 1;
  const std::string y = std::to_string(year), before = std::to_string(year - 1);
  const ProgramRun periods = Flowreport("-m 3 --billing-day 15 --to " + y + "-01-20 --csv");
  ASSERT_EQ(periods.exit_code, 0) << periods.err;
  auto sum = [](const std::string& from, const std::string& to) {
    return Query("SELECT countername, '', sum(packets), sum(bytes) FROM (" +
                 Both("WHERE day BETWEEN '" + from + "' AND '" + to + "'") +
                 ") GROUP BY countername");
  };
  const Rows year_end = sum(before + "-12-15", y + "-01-14");
  const Rows to = sum(y + "-01-15", y + "-01-20");
  for (const char* name : {"web", "stopped"}) {
    const auto [p, b] = year_end.at({name, ""});
    const auto [p2, b2] = to.at({name, ""});
    EXPECT_NE(periods.out.find(std::string(name) + "," + before + "-12-15," + y + "-01-14," +
                               std::to_string(p) + "," + std::to_string(b) + "\n"),
              std::string::npos)
        << periods.out;
    EXPECT_NE(periods.out.find(std::string(name) + "," + y + "-01-15," + y + "-02-14," +
                               std::to_string(p2) + "," + std::to_string(b2) + "\n"),
              std::string::npos)
        << periods.out;
  }
  EXPECT_EQ(std::count(periods.out.begin(), periods.out.end(), '\n'), 1 + 3 + 3)
      << "header, 3 periods of web and of stopped, and none of late" << periods.out;

  const ProgramRun summary = Flowreport("--csv --counter late --counter web");
  ASSERT_EQ(summary.exit_code, 0) << summary.err;
  const DayRange month = BillingPeriodOf(today_, 1);
  const DayRange last_month = BillingPeriodOf(DateOfDayNumber(DayNumber(month.start) - 1), 1);
  const Rows so_far = sum(FormatDate(month.start), FormatDate(today_));
  const Rows last = sum(FormatDate(last_month.start), FormatDate(last_month.end));
  for (const char* name : {"late", "web"}) {
    auto line = [&](const char* item, const DayRange& range, const Rows& rows) {
      const auto [p, b] = rows.at({name, ""});
      return std::string(name) + "," + item + "," + FormatDate(range.start) + "," +
             FormatDate(range.end) + "," + std::to_string(p) + "," + std::to_string(b) + "\n";
    };
    EXPECT_NE(summary.out.find(line("period_so_far", month, so_far)), std::string::npos)
        << summary.out;
    EXPECT_NE(summary.out.find(line("last_period", last_month, last)), std::string::npos)
        << summary.out;
  }
  EXPECT_NE(
      summary.out.find("web,today," + FormatDate(today_) + "," + FormatDate(today_) + ",5,5000\n"),
      std::string::npos)
      << summary.out;
  EXPECT_EQ(summary.out.find("stopped"), std::string::npos);
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using Image = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Pixels of a colour, per panel of the chart.
std::vector<int> CountColour(cairo_surface_t* image, uint32_t rgb, int panel_height) {
  const int width = cairo_image_surface_get_width(image);
  const int height = cairo_image_surface_get_height(image);
  const int stride = cairo_image_surface_get_stride(image);
  const unsigned char* data = cairo_image_surface_get_data(image);
  std::vector<int> counts(static_cast<size_t>(height / panel_height));
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x) {
      if ((row[x] & 0xFFFFFF) == rgb) ++counts[static_cast<size_t>(y / panel_height)];
    }
  }
  return counts;
}

constexpr uint32_t kBar = 0x3373B8;   // one day or period
constexpr uint32_t kSpan = 0xEE9933;  // a period of several days

// The PNG decoded: one panel per counter, bars in the panels of counters with traffic, the
// period of three days in its own colour; the SVG of the same drawing.
TEST_F(FlowreportTest, ChartsAndPageAreDrawn) {
  const ProgramRun run = Flowreport("-d 30 --png '" + Host("days.png") + "' --svg '" +
                                    Host("days.svg") + "' --html '" + Host("page.html") + "'");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  Image png(cairo_image_surface_create_from_png(Host("days.png").c_str()));
  ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(png.get()), 800);
  ASSERT_EQ(cairo_image_surface_get_height(png.get()), 3 * 260);
  const std::vector<int> bars = CountColour(png.get(), kBar, 260);
  const std::vector<int> spans = CountColour(png.get(), kSpan, 260);
  EXPECT_GT(bars[0], 20000) << "web";
  EXPECT_GT(spans[0], 2000) << "web's period of three days";
  EXPECT_GT(bars[1], 5000) << "late";
  EXPECT_EQ(spans[1], 0);
  EXPECT_LT(bars[2], 100) << "stopped: no traffic in these days";
  const std::string svg = Slurp(Host("days.svg"));
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("width=\"800"), std::string::npos);
}

// The HTML page rendered by headless Chromium without a console error, its charts on screen.
// (The sanitizer build leaves it out: one start of Chromium is enough.)
TEST_F(FlowreportTest, PageRendersInChromium) {
  const ProgramRun run = Flowreport("--html '" + Host("page.html") + "'");
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::string page = Slurp(Host("page.html"));
  EXPECT_GT(std::count(page.begin(), page.end(), '<'), 100);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("http://"), page.find("http://www.w3.org/"));  // only namespaces
  const std::string profile = Host("chromium-profile");
  const std::string shot = Host("page.png");
  const std::string command =
      "cd '" + root_->path() + "' && HOME='" + profile +
      "' chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir='" +
      profile + "' --window-size=1000,1400 --enable-logging=stderr --v=0 --screenshot='" + shot +
      "' 'file://" + Host("page.html") + "' >'" + Host("chromium.log") + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << Slurp(Host("chromium.log"));
  const std::string log = Slurp(Host("chromium.log"));
  EXPECT_EQ(log.find("CONSOLE"), std::string::npos) << log;
  Image screenshot(cairo_image_surface_create_from_png(shot.c_str()));
  ASSERT_EQ(cairo_surface_status(screenshot.get()), CAIRO_STATUS_SUCCESS) << log;
  EXPECT_GT(
      CountColour(screenshot.get(), kBar, cairo_image_surface_get_height(screenshot.get()))[0],
      10000)
      << "the page's charts show their bars";
}

// Each bad input gives one line on standard error naming what is wrong, and its exit status.
TEST_F(FlowreportTest, BadInputIsNamed) {
  ASSERT_TRUE(root_->WriteFile("/empty.mdb", ""));
  sqlite3* half = nullptr;
  ASSERT_EQ(sqlite3_open(Host("half.mdb").c_str(), &half), SQLITE_OK);
  sqlite3_exec(half,
               "CREATE TABLE counters (countername, packets, bytes, state, timecreate, "
               "timecount, parameters)",
               nullptr, nullptr, nullptr);
  sqlite3_close(half);
  ASSERT_TRUE(root_->WriteFile("/elsewhere/etc/flowsentry/registry.reg", "REGEDIT4\r\n"));
  struct Case {
    std::string arguments;
    int exit_code;
    std::string message;
    std::string root = "";
  } cases[] = {
      {"--bogus", 2, "unknown option --bogus"},
      {"-d 12 extra", 2, "unexpected argument 'extra'"},
      {"-d -m", 2, "only one of -d, -m and -y"},
      {"-m 0", 2, "count '0' is not a number from 1 to"},
      {"--from 2026-02-30", 2, "'2026-02-30' is not a date YYYY-MM-DD"},
      {"--to", 2, "option --to needs a value"},
      {"--from 2026-03-02 --to 2026-03-01", 2, "2026-03-01 is before --from 2026-03-02"},
      {"--billing-day 29", 2, "'29' is not a day from 1 to 28"},
      {"--si --exact", 2, "only one of --si and --exact"},
      {"--csv=yes", 2, "option --csv takes no value"},
      {"--counter nobody", 1, "unknown counter 'nobody' in /opt/flowsentry/DB/counters.mdb"},
      {"--db /missing.mdb", 1, "cannot open the counters database /missing.mdb: "},
      {"--db /empty.mdb", 1, "/empty.mdb: table counters: no such table"},
      {"--db /half.mdb", 1, "/half.mdb: table countersstat: no such table"},
      {"--connect 'Provider=PostgreSQL;Data Source=" + Host("no-server") +
           ";Initial Catalog=x;User ID=x'",
       1, "cannot open the counters database " + Host("no-server")},
      {"--connect 'Provider=Jet;Data Source=/x'", 1, "Provider cannot be found"},
      {"", 1, "no DESTPATH under HKEY_LOCAL_MACHINE", Host("elsewhere")},
      {"--png /no/such/folder/x.png", 1, "cannot write /no/such/folder/x.png"},
      {"--all-hosts --db /half.mdb", 2, "--all-hosts needs --connect"},
  };
  for (const Case& c : cases) {
    const ProgramRun run = Flowreport(c.arguments, c.root);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.arguments;
    EXPECT_EQ(run.err.find("flowreport: " + std::string()), 0u) << c.arguments << ": " << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.arguments << run.err;
  }
  const ProgramRun help = Flowreport("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.find("Usage: flowreport"), 0u);
}

// The counters of two hosts in their schemas of one PostgreSQL server, beside a schema that
// holds no archive: a block per host.
TEST_F(FlowreportTest, AllHostsOfAServer) {
  platform::testing::PostgresCluster cluster;
  ASSERT_TRUE(cluster.ok()) << cluster.failure();
  const int64_t today = DayNumber(today_);
  auto midnight = [&](int64_t back) {
    const Date date = DateOfDayNumber(today - back);
    platform::LocalTime t;
    t.year = date.year - 1900;
    t.month = date.month - 1;
    t.day = date.day;
    return std::to_string(*platform::FromLocalTime(t));
  };
  const std::string columns =
      " (countername varchar(255), packets integer, bytes integer, state smallint,"
      " timecreate integer, timecount integer, parameters varchar(255));";
  std::string sql;
  for (const char* schema : {"alpha", "beta", "other"}) {
    sql +=
        std::string("CREATE SCHEMA ") + schema + "; CREATE TABLE " + schema + ".counters" + columns;
    if (std::string(schema) != "other") {
      sql += std::string("CREATE TABLE ") + schema + ".countersstat" + columns;
    }
  }
  sql += "INSERT INTO alpha.counters VALUES ('web', 5, 500, 0, 1, " + midnight(0) + ", '');" +
         "INSERT INTO alpha.countersstat VALUES ('web', 10, 1000, 0, 1, " + midnight(2) +
         ", ''), ('web', 20, 2000, 0, 1, " + midnight(1) + ", '');" +
         "INSERT INTO beta.counters VALUES ('dns', 1, 100, 0, 1, " + midnight(0) + ", '');" +
         "INSERT INTO beta.countersstat VALUES ('dns', 3, 300, 0, 1, " + midnight(2) + ", '');" +
         "INSERT INTO other.counters VALUES ('x', 1, 1, 0, 1, " + midnight(0) + ", '');";
  std::string error;
  ASSERT_TRUE(cluster.Exec(sql, &error)) << error;

  const std::string connect = "--connect '" + cluster.ConnectionString() + "' --all-hosts";
  const ProgramRun csv = Flowreport(connect + " -d 400 --csv");
  ASSERT_EQ(csv.exit_code, 0) << csv.err;
  auto day = [&](int64_t back) { return FormatDate(DateOfDayNumber(today - back)); };
  EXPECT_EQ(csv.out,
            "host,counter,date,span_days,packets,bytes\n"
            "alpha,web," +
                day(2) +
                ",1,10,1000\n"
                "alpha,web," +
                day(1) +
                ",1,20,2000\n"
                "alpha,web," +
                day(0) +
                ",1,5,500\n"
                "beta,dns," +
                day(2) +
                ",2,3,300\n"
                "beta,dns," +
                day(0) + ",1,1,100\n");
  const ProgramRun json = Flowreport(connect + " --json --counter dns");
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out.find("{\"version\": 1, \"hosts\": [\n{\"host\": \"alpha\", \"report\": {"), 0u)
      << json.out;
  EXPECT_NE(json.out.find("{\"host\": \"beta\""), std::string::npos);
  EXPECT_EQ(json.out.find("\"other\""), std::string::npos);
}

}  // namespace
}  // namespace flowsentry::report
