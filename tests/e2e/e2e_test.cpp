// The whole system as an operator runs it, each case in a temporary machine root: the service
// manager, the capture driver replaying generated capture files (or capturing live between two
// network namespaces), the flowmeter service installed with flowsetup and started with sc, the
// counters database and the packet log. Expected counts come from the model in traffic_model.h.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/runtime/sources/testing/capture_file_writer.h"
#include "platform/root.h"
#include "platform/service_control.h"
#include "platform/testing/child_process.h"
#include "platform/testing/network_namespaces.h"
#include "platform/testing/postgres_cluster.h"
#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "platform/testing/test_clock.h"
#include "scmd/testing/scm_fixture.h"
#include "tests/e2e/traffic_model.h"

namespace flowsentry::e2e {
namespace {

using ndis::testing::CapturedFrame;
using platform::testing::ChildProcess;
using scmd::testing::ScmFixture;
using scmd::testing::WaitFor;

constexpr char kInstall[] = "/opt/flowsentry";
constexpr char kPackets[] = "/opt/flowsentry/packets";
constexpr char kService[] = "flowSentry";
// The service machine's zone: 5 h 30 min east of UTC, no daylight saving time.
constexpr char kZone[] = "IST-05:30";
constexpr int kZoneOffset = 5 * 3600 + 30 * 60;
constexpr uint32_t kFileStart = 1700000000;

struct Settings {
  int destpackets = 1;
  int options = 255;
  std::string stringconnect;
  std::string tablename;
  int threads = 3;
  std::string accounting = "";       // flowmeter.cfg's [ACCOUNTING] section, none when empty
  std::string countersconnect = "";  // no COUNTERSCONNECT value when empty
};

// Settings without a packet log.
Settings NoPacketLog(int threads = 3) {
  Settings settings;
  settings.destpackets = 0;
  settings.threads = threads;
  return settings;
}

struct ToolRun {
  std::string output;
  int exit_code = -1;
};

// Runs a program through the shell in a host folder, standard error with its output.
ToolRun RunTool(const std::string& directory, const std::string& program,
                const std::string& arguments) {
  ToolRun run;
  const std::string command =
      "cd '" + directory + "' && '" + program + "' " + arguments + " 2>&1 < /dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// A connection to an SQLite file that waits for the service's write locks.
class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    } else {
      sqlite3_busy_timeout(db_, 5000);
    }
  }
  ~Database() { sqlite3_close(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool ok() const { return db_ != nullptr; }

  // Each row as its columns joined by "|"; a single "ERROR: ..." row on failure.
  std::vector<std::string> Rows(const std::string& sql) const {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return {"ERROR: " + std::string(sqlite3_errmsg(db_))};
    }
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        if (i > 0) row += "|";
        const unsigned char* text = sqlite3_column_text(statement, i);
        row += text == nullptr ? "NULL" : reinterpret_cast<const char*>(text);
      }
      rows.push_back(row);
    }
    if (step != SQLITE_DONE) rows = {"ERROR: " + std::string(sqlite3_errmsg(db_))};
    sqlite3_finalize(statement);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

class SystemTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // The driver goes first: without its device the capture threads end by themselves, so the
    // manager's shutdown does not wait out their stop.
    if (pactrak_ != nullptr) {
      pactrak_->Signal(SIGTERM);
      pactrak_->Wait();
    }
    scm_.Stop();
  }

  // The installation an operator prepares: the programs in the installation folder, the
  // registry values, flowmeter.cfg, and the counters database made from the schema.
  void Prepare(const Settings& settings) {
    std::string registry =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n";
    auto value = [&registry](const std::string& name, const std::string& text) {
      registry += "\"" + name + "\"=\"" + text + "\"\r\n";
    };
    value("DESTPATH", kInstall);
    value("DIRPACKETS", kPackets);
    value("OPTIONS", std::to_string(settings.options));
    value("INTERVALCREATEFILE", "100000");
    value("STRINGCONNECT", settings.stringconnect);
    value("TABLENAME", settings.tablename);
    value("DESTPACKETS", std::to_string(settings.destpackets));
    if (!settings.countersconnect.empty()) value("COUNTERSCONNECT", settings.countersconnect);
    const std::filesystem::path registry_path =
        platform::LocationPath(platform::Location::kRegistry);
    std::filesystem::create_directories(registry_path.parent_path());
    std::ofstream(registry_path, std::ios::binary) << registry;
    ASSERT_TRUE(root_.WriteFile(std::string(kInstall) + "/flowmeter.cfg",
                                "[THREAD]\r\ncountThread=" + std::to_string(settings.threads) +
                                    "\r\n" + settings.accounting));
    ASSERT_TRUE(
        ScmFixture::InstallProgram(std::string(kInstall) + "/flowmeter", FLOWMETER_PROGRAM));
    ASSERT_TRUE(
        ScmFixture::InstallProgram(std::string(kInstall) + "/flowsetup", FLOWSETUP_PROGRAM));
    std::filesystem::create_directories(root_.Host(std::string(kInstall) + "/DB"));
    ASSERT_EQ(
        std::system(("sqlite3 '" + DatabasePath() + "' < '" FLOWSENTRY_SCHEMA_PATH "' > /dev/null")
                        .c_str()),
        0);
    db_ = std::make_unique<Database>(DatabasePath());
    ASSERT_TRUE(db_->ok());
  }

  std::string DatabasePath() const {
    return root_.Host(std::string(kInstall) + "/DB/counters.mdb");
  }

  void AddCounters(const std::vector<CounterCase>& cases,
                   std::optional<int64_t> timecount = std::nullopt) {
    for (const CounterCase& c : cases) {
      const std::vector<std::string> rows =
          db_->Rows("INSERT INTO counters (countername, state, parameters, timecount) VALUES (" +
                    Quoted(c.name) + ", " + std::to_string(c.state) + ", " + Quoted(c.parameters) +
                    ", " + (timecount ? std::to_string(*timecount) : "NULL") + ")");
      ASSERT_TRUE(rows.empty()) << c.name << ": " << rows.front();
    }
  }

  std::map<std::string, Counts> Counted(const std::string& table = "counters") const {
    std::map<std::string, Counts> counted;
    for (const std::string& row : db_->Rows("SELECT countername, packets, bytes FROM " + table)) {
      const size_t a = row.find('|'), b = row.rfind('|');
      EXPECT_NE(a, b) << row;
      if (a == b) continue;
      counted[row.substr(0, a)] = {std::stoll(row.substr(a + 1, b - a - 1)),
                                   std::stoll(row.substr(b + 1))};
    }
    return counted;
  }

  int64_t Packets(const std::string& name) const {
    const std::vector<std::string> rows =
        db_->Rows("SELECT packets FROM counters WHERE countername = " + Quoted(name));
    return rows.size() == 1 && rows.front().rfind("ERROR", 0) != 0 ? std::stoll(rows.front()) : -1;
  }

  // Waits until counter `name` holds `packets`, and a moment more for the service to go past.
  bool WaitForPackets(const std::string& name, int64_t packets,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return WaitFor([&] { return Packets(name) >= packets; }, limit);
  }

  // Writes capture files, one per traffic, and starts pactrak replaying them.
  void StartReplay(const std::vector<std::vector<CapturedFrame>>& files) {
    std::vector<std::string> argv = {PACTRAK_PROGRAM, "--replay"};
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string path = root_.Host("/captures/file" + std::to_string(i) + ".pcap");
      std::filesystem::create_directories(root_.Host("/captures"));
      ASSERT_TRUE(ndis::testing::WriteWholeFile(
          path, ndis::testing::CaptureFile(ndis::testing::kLinkTypeEthernet, files[i])));
      argv.push_back(path);
    }
    argv.push_back("--lossless");
    argv.push_back("--file-time");
    pactrak_ = ChildProcess::Start(argv);
    ASSERT_NE(pactrak_, nullptr);
    for (size_t i = 0; i < files.size(); ++i) {
      ASSERT_TRUE(pactrak_->WaitForOutput("pactrak: bound pcap" + std::to_string(i)))
          << pactrak_->Output();
    }
  }

  // The manager, then the operator's road: flowsetup -i in the installation folder and
  // sc start flowSentry.
  void InstallAndStart() {
    ASSERT_TRUE(scm_.Start()) << scm_.Output();
    const ToolRun install = RunTool(root_.Host(kInstall), FLOWSETUP_PROGRAM, "-i");
    EXPECT_EQ(install.output, "flowSentry service has been installed successfully");
    const ToolRun start = RunTool(root_.path(), SC_PROGRAM, std::string("start ") + kService);
    EXPECT_EQ(start.exit_code, 0) << start.output;
    ASSERT_TRUE(WaitFor([&] { return State() == platform::SERVICE_RUNNING; })) << start.output;
  }

  uint32_t State() const {
    platform::ScHandle manager = platform::OpenSCManager(platform::SC_MANAGER_CONNECT);
    platform::ScHandle service =
        platform::OpenService(manager, kService, platform::SERVICE_QUERY_STATUS);
    platform::SERVICE_STATUS_PROCESS status;
    if (!service.IsValid() || !platform::QueryServiceStatusEx(service, status)) return 0;
    return status.dwCurrentState;
  }
  uint32_t ProcessId() const {
    platform::ScHandle manager = platform::OpenSCManager(platform::SC_MANAGER_CONNECT);
    platform::ScHandle service =
        platform::OpenService(manager, kService, platform::SERVICE_QUERY_STATUS);
    platform::SERVICE_STATUS_PROCESS status;
    if (!service.IsValid() || !platform::QueryServiceStatusEx(service, status)) return 0;
    return status.dwProcessId;
  }

  std::vector<std::string> PacketLogLines() const {
    return Lines(root_.ReadFile(std::string(kPackets) + "/out.log"));
  }
  std::string ServiceLog() const {
    return root_.ReadFile(std::string(kInstall) + "/flowmeter.log");
  }

  platform::testing::ScopedTimeZone zone_{kZone};
  platform::testing::TempRoot root_;
  ScmFixture scm_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<ChildProcess> pactrak_;
};

std::string Describe(const std::map<std::string, Counts>& counts) {
  std::string text;
  for (const auto& [name, c] : counts) {
    text += "  " + name + ": " + std::to_string(c.packets) + " / " + std::to_string(c.bytes) + "\n";
  }
  return text;
}

// The cases that run in both accounting modes; the parameter is flowmeter.cfg's [ACCOUNTING].
class AccountingModeTest : public SystemTest, public ::testing::WithParamInterface<const char*> {
 protected:
  Settings ModeSettings() const {
    Settings settings;
    settings.accounting = GetParam();
    return settings;
  }
};

// The demo's road: one capture file, every kind of counter, the packet log line by line, and
// the operator's stop.
TEST_P(AccountingModeTest, ReplayIsCountedAsTheRulesSayAndLoggedFrameByFrame) {
  constexpr int kFrames = 2000;
  const std::vector<CapturedFrame> frames = MakeFrames(kFrames, kFileStart, 1);
  const std::vector<CounterCase> cases = CounterCases(0);
  ASSERT_GE(cases.size(), 30u);
  ASSERT_NO_FATAL_FAILURE(Prepare(ModeSettings()));
  ASSERT_NO_FATAL_FAILURE(AddCounters(cases));
  ASSERT_NO_FATAL_FAILURE(StartReplay({frames}));
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());

  ASSERT_TRUE(pactrak_->WaitForOutput("finished: " + std::to_string(kFrames) + " frames",
                                      std::chrono::seconds(90)))
      << pactrak_->Output();
  ASSERT_TRUE(WaitForPackets("all", kFrames)) << Packets("all");
  ASSERT_TRUE(WaitFor([&] { return PacketLogLines().size() >= static_cast<size_t>(kFrames); }));

  const std::map<std::string, Counts> expected = Expected(cases, frames, 0);
  // In batch mode the counts land at the flushes.
  EXPECT_TRUE(WaitFor([&] { return Counted() == expected; }));
  const std::map<std::string, Counts> counted = Counted();
  for (const auto& [name, counts] : expected) {
    ASSERT_TRUE(counted.contains(name)) << name;
    EXPECT_EQ(counted.at(name).packets, counts.packets) << name;
    EXPECT_EQ(counted.at(name).bytes, counts.bytes) << name;
  }
  // The traffic is mixed enough that most rules count some frames and miss others.
  const int partial =
      static_cast<int>(std::count_if(expected.begin(), expected.end(), [](const auto& e) {
        return e.second.packets > 0 && e.second.packets < kFrames;
      }));
  EXPECT_GE(partial, 25) << Describe(expected);

  // The packet log: one line per frame, every field as the frame says, in any order.
  std::vector<std::string> want;
  for (const CapturedFrame& frame : frames) want.push_back(PacketLine(frame, 0, kZoneOffset));
  std::vector<std::string> got = PacketLogLines();
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  ASSERT_EQ(got.size(), want.size());
  size_t differing = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i] && differing++ < 5) ADD_FAILURE() << got[i] << "\n  expected " << want[i];
  }
  EXPECT_EQ(differing, 0u);

  // The operator's stop, from the installation folder; it takes the ten seconds a quiet
  // capture thread is given.
  pactrak_->Signal(SIGTERM);
  EXPECT_EQ(pactrak_->Wait(), 0);
  const ToolRun stop = RunTool(root_.Host(kInstall), FLOWSETUP_PROGRAM, "-s");
  EXPECT_EQ(stop.exit_code, 0) << stop.output;
  EXPECT_EQ(State(), platform::SERVICE_STOPPED);
  EXPECT_EQ(root_.ReadFile(std::string(kInstall) + "/flowsetup.log"), "stop begin\r\nstop end\r\n");
  EXPECT_EQ(Counted(), counted) << "nothing is counted twice at the stop";
}

// Which adapter number each replayed file got, from the adapter listing in info.log.
std::map<int, int> NumbersByFile(const std::string& info) {
  std::map<int, int> numbers;
  int number = -1;
  for (const std::string& line : Lines(info)) {
    const std::string head = "   Interface Number: ";
    if (line.rfind(head, 0) == 0) number = std::stoi(line.substr(head.size()));
    const size_t at = line.find("pcap");
    if (at != std::string::npos && number >= 0 && at + 4 < line.size() &&
        std::isdigit(static_cast<unsigned char>(line[at + 4]))) {
      numbers.emplace(line[at + 4] - '0', number);
    }
  }
  return numbers;
}

// Two capture files are two adapters: both listed and numbered in info.log, and counters name
// them by those numbers.
TEST_P(AccountingModeTest, TwoFilesAreTwoAdaptersCreditedByTheirNumbers) {
  const std::vector<std::vector<CapturedFrame>> files = {MakeFrames(600, kFileStart, 2),
                                                         MakeFrames(400, kFileStart + 3600, 3)};
  const std::vector<CounterCase> cases = {
      {"adapter 0", "Interface=0|", 0, [](const Seen& s) { return s.adapter == 0; }},
      {"adapter 1", "Interface=1|", 0, [](const Seen& s) { return s.adapter == 1; }},
      {"both adapters", "Interface=1|0|", 0, [](const Seen&) { return true; }},
      {"udp on adapter 1", "Interface=1|,SourceProt=1,DestProt2=2", 0,
       [](const Seen& s) { return s.adapter == 1 && s.ether_type == 0x0800 && s.protocol == 17; }},
      {"arp on adapter 0", "Interface=0|,SourceProt=2", 0,
       [](const Seen& s) { return s.adapter == 0 && s.ether_type == 0x0806; }},
  };
  ASSERT_NO_FATAL_FAILURE(Prepare(ModeSettings()));
  ASSERT_NO_FATAL_FAILURE(AddCounters(cases));
  ASSERT_NO_FATAL_FAILURE(StartReplay(files));
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());
  ASSERT_TRUE(WaitForPackets("both adapters", 1000)) << Packets("both adapters");
  ASSERT_TRUE(WaitFor([&] { return PacketLogLines().size() >= 1000u; }));

  const std::string info = root_.ReadFile(std::string(kPackets) + "/info.log");
  const std::map<int, int> numbers = NumbersByFile(info);
  ASSERT_EQ(numbers.size(), 2u) << info;
  EXPECT_EQ(std::set<int>({numbers.at(0), numbers.at(1)}), std::set<int>({0, 1})) << info;
  EXPECT_EQ(numbers.at(1), 0) << "the adapter bound last is listed first\n" << info;

  std::map<std::string, Counts> expected;
  std::vector<std::string> want;
  for (const CounterCase& c : cases) expected[c.name] = {};
  for (int file = 0; file < 2; ++file) {
    const uint16_t adapter = static_cast<uint16_t>(numbers.at(file));
    for (const CapturedFrame& frame : files[static_cast<size_t>(file)]) {
      want.push_back(PacketLine(frame, adapter, kZoneOffset));
      const Seen seen = Summarize(frame.bytes, adapter);
      for (const CounterCase& c : cases) {
        if (!c.counts(seen)) continue;
        expected[c.name].packets += 1;
        expected[c.name].bytes += seen.length;
      }
    }
  }
  EXPECT_TRUE(WaitFor([&] { return Counted() == expected; }));
  EXPECT_EQ(Counted(), expected) << "counted:\n"
                                 << Describe(Counted()) << "expected:\n"
                                 << Describe(expected);
  std::vector<std::string> got = PacketLogLines();
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_TRUE(got == want) << "the packet log's lines differ from the frames";
}

// The counters in a host's schema on a PostgreSQL server, made as the operator makes it: the
// traffic model counted exactly, and the SQLite file left alone.
TEST_P(AccountingModeTest, CountersInAPostgresSchemaCountTheModelExactly) {
  platform::testing::PostgresCluster cluster;
  ASSERT_TRUE(cluster.ok()) << cluster.failure();
  ASSERT_TRUE(cluster.Exec("CREATE SCHEMA host17"));
  ASSERT_EQ(
      std::system(("PGOPTIONS='-c search_path=host17' psql -qX -h '" + cluster.socket_folder() +
                   "' -U postgres -d postgres -f '" FLOWSENTRY_PGSCHEMA_PATH "'")
                      .c_str()),
      0);
  const std::vector<CapturedFrame> frames = MakeFrames(1000, kFileStart, 6);
  const std::vector<CounterCase> cases = CounterCases(0);
  Settings settings = ModeSettings();
  settings.destpackets = 0;
  settings.countersconnect = cluster.ConnectionString() + ";Schema=Host17";
  ASSERT_NO_FATAL_FAILURE(Prepare(settings));
  for (const CounterCase& c : cases) {
    ASSERT_TRUE(cluster.Exec(
        "INSERT INTO host17.counters (countername, state, parameters) VALUES (" + Quoted(c.name) +
        ", " + std::to_string(c.state) + ", " + Quoted(c.parameters) + ")"));
  }
  ASSERT_NO_FATAL_FAILURE(StartReplay({frames}));
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());
  const auto counted = [&cluster] {
    std::map<std::string, Counts> counts;
    for (const std::string& row :
         cluster.Rows("SELECT countername, packets, bytes FROM host17.counters")) {
      const size_t a = row.find(';'), b = row.rfind(';');
      if (a != b)
        counts[row.substr(0, a)] = {std::stoll(row.substr(a + 1, b - a - 1)),
                                    std::stoll(row.substr(b + 1))};
    }
    return counts;
  };
  const std::map<std::string, Counts> expected = Expected(cases, frames, 0);
  EXPECT_TRUE(WaitFor([&] { return counted() == expected; }, std::chrono::seconds(90)))
      << "counted:\n"
      << Describe(counted()) << "expected:\n"
      << Describe(expected) << ServiceLog();
  EXPECT_TRUE(Counted().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, AccountingModeTest,
                         ::testing::Values("",
                                           "[ACCOUNTING]\r\nmode=batch\r\nflushInterval=100\r\n"
                                           "readRecords=256\r\n"),
                         [](const auto& info) {
                           return std::string(info.param).empty() ? "Packet" : "Batch";
                         });

// The service runs across local midnight: it restarts itself, archives the day's counts as the
// rules say, and starts the new day at zero.
TEST_F(SystemTest, RestartOnANewDayArchivesYesterdaysCounts) {
  platform::testing::ScopedTimeZone zone("UTC0");
  const int64_t today = 1909008000;  // 2030-06-30
  platform::testing::TestClock clock(today + 86400 - 10);
  constexpr int kFrames = 400;
  const std::vector<CapturedFrame> frames = MakeFrames(kFrames, kFileStart, 4);
  const std::vector<CounterCase> cases = CounterCases(0);
  ASSERT_NO_FATAL_FAILURE(Prepare(NoPacketLog()));
  ASSERT_NO_FATAL_FAILURE(AddCounters(cases, today));
  ASSERT_NO_FATAL_FAILURE(StartReplay({frames}));
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());
  const uint32_t first = ProcessId();
  ASSERT_TRUE(WaitForPackets("all", kFrames)) << Packets("all");

  // Midnight; then UpdateTime's look at the clock, flowsetup -r, the stop of quiet threads, the
  // start.
  ASSERT_TRUE(clock.Advance(10));
  ASSERT_TRUE(WaitFor([&] { return State() == platform::SERVICE_RUNNING && ProcessId() != first; },
                      std::chrono::seconds(90)));
  ASSERT_TRUE(WaitFor([&] {
    return root_.ReadFile(std::string(kInstall) + "/flowsetup.log").find("restart end") !=
           std::string::npos;
  }));
  // The new day's capture threads archive at their start; the last counter's row is the sign.
  ASSERT_TRUE(WaitFor([&] {
    return db_->Rows("SELECT count(*) FROM countersstat") ==
           std::vector<std::string>{std::to_string(cases.size())};
  })) << db_->Rows("SELECT count(*) FROM countersstat").front();

  const std::map<std::string, Counts> expected = Expected(cases, frames, 0);
  EXPECT_EQ(Counted("countersstat"), expected) << "archived:\n"
                                               << Describe(Counted("countersstat")) << "expected:\n"
                                               << Describe(expected);
  EXPECT_EQ(db_->Rows("SELECT DISTINCT timecount FROM countersstat"),
            std::vector<std::string>{std::to_string(today)});
  EXPECT_EQ(db_->Rows("SELECT DISTINCT packets, bytes, timecount > " + std::to_string(today) +
                      " FROM counters"),
            std::vector<std::string>{"0|0|1"});
}

// The packet log as table rows on a PostgreSQL server.
TEST_F(SystemTest, PacketLogRowsOnAPostgresServerMatchTheFrames) {
  platform::testing::PostgresCluster cluster;
  if (!cluster.ok()) GTEST_SKIP() << "no PostgreSQL server: " << cluster.failure();
  ASSERT_TRUE(cluster.Exec(
      "CREATE TABLE packets (adapter integer, \"time\" varchar(50), srcmac varchar(50), "
      "dstmac varchar(50), ethertype integer, srcip varchar(50), dstip varchar(50), "
      "srcport integer, dstport integer, length integer, "
      "host text DEFAULT inet_client_addr()::text, logged timestamptz DEFAULT now())"));
  constexpr int kFrames = 300;
  const std::vector<CapturedFrame> frames = MakeFrames(kFrames, kFileStart, 5);
  ASSERT_NO_FATAL_FAILURE(Prepare(
      {.destpackets = 2, .stringconnect = cluster.ConnectionString(), .tablename = "packets"}));
  ASSERT_NO_FATAL_FAILURE(AddCounters({{"all", "Interface=0|", 0, nullptr}}));
  ASSERT_NO_FATAL_FAILURE(StartReplay({frames}));
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());
  ASSERT_TRUE(WaitForPackets("all", kFrames)) << Packets("all") << ServiceLog();
  const std::string count = "SELECT count(*) FROM packets";
  ASSERT_TRUE(WaitFor([&] { return cluster.Rows(count) == std::vector<std::string>{"300"}; }))
      << cluster.Rows(count).front() << "\n"
      << ServiceLog();

  std::vector<std::string> want;
  for (const CapturedFrame& frame : frames) {
    const Seen s = Summarize(frame.bytes, 0);
    want.push_back("0;" + TimeOfDay(frame.seconds, frame.fraction, kZoneOffset) + ";" +
                   MacText(s.source_mac) + ";" + MacText(s.dest_mac) + ";" +
                   std::to_string(s.ether_type) + ";" + IpText(s.source_ip) + ";" +
                   IpText(s.dest_ip) + ";" + std::to_string(s.source_port) + ";" +
                   std::to_string(s.dest_port) + ";" + std::to_string(s.length));
  }
  std::vector<std::string> got = cluster.Rows(
      "SELECT adapter, \"time\", srcmac, dstmac, ethertype, srcip, dstip, srcport, dstport, "
      "length FROM packets");
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]);
  EXPECT_FALSE(root_.Exists(std::string(kPackets) + "/out.log")) << "mode 2 writes no text";
}

// Live traffic between two network namespaces, captured on one end of the veth pair.
TEST_F(SystemTest, LiveUdpBetweenTwoNamespacesIsCounted) {
  std::string reason;
  std::unique_ptr<platform::testing::VethNamespaces> net =
      platform::testing::VethNamespaces::Create(&reason);
  if (net == nullptr) GTEST_SKIP() << "no network namespaces: " << reason;
  constexpr uint32_t kA = 0xC0000201, kB = 0xC0000202;  // 192.0.2.1, 192.0.2.2
  constexpr int kEach = 20;
  constexpr int kBurst = 5;
  constexpr size_t kPayload = 100;
  constexpr int64_t kLength = 14 + 20 + 8 + kPayload;
  ASSERT_NO_FATAL_FAILURE(Prepare(NoPacketLog(2)));
  ASSERT_NO_FATAL_FAILURE(AddCounters({
      {"probe", "Interface=0|,SourcePortOption=1,SourcePort=40009|", 0, nullptr},
      {"a to b",
       "Interface=0|,SourceProt=1,DestProt2=2,SourceIPoption=1,SourceIP=192.0.2.1|,"
       "SourcePortOption=1,SourcePort=40001|,DestPortOption=1,DestPort=40002|",
       0, nullptr},
      {"b to a",
       "Interface=0|,SourceMac=" +
           [&] {
             std::string mac;
             for (uint8_t byte : net->mac_b()) {
               char part[4];
               std::snprintf(part, sizeof part, "%02X-", byte);
               mac += part;
             }
             mac.pop_back();
             return mac + "|";
           }() +
           ",SourceIPoption=3,SourceIP=192.0.2.0|255.255.255.0|,DestPortOption=5,"
           "DestPort=40003|40005|",
       0, nullptr},
      {"other adapter", "Interface=1|", 0, nullptr},
  }));
  pactrak_ = ChildProcess::Start(net->InNamespaceA({PACTRAK_PROGRAM, "--live", net->veth_a()}));
  ASSERT_NE(pactrak_, nullptr);
  ASSERT_TRUE(pactrak_->WaitForOutput("pactrak: bound " + net->veth_a())) << pactrak_->Output();
  ASSERT_NO_FATAL_FAILURE(InstallAndStart());
  // Capture is on once a probe is counted.
  ASSERT_TRUE(WaitFor([&] {
    platform::testing::VethNamespaces::SendUdp(net->namespace_a(), kB, 40009, 40009, 10, 1);
    return Packets("probe") > 0;
  })) << ServiceLog();
  // The driver keeps at most 50 records for its readers and live traffic does not wait, so the
  // datagrams go in small bursts, each counted before the next.
  for (int sent = kBurst; sent <= kEach; sent += kBurst) {
    ASSERT_TRUE(platform::testing::VethNamespaces::SendUdp(net->namespace_a(), kB, 40001, 40002,
                                                           kPayload, kBurst));
    ASSERT_TRUE(platform::testing::VethNamespaces::SendUdp(net->namespace_b(), kA, 40003, 40004,
                                                           kPayload, kBurst));
    ASSERT_TRUE(WaitFor([&] { return Packets("a to b") >= sent && Packets("b to a") >= sent; }))
        << Describe(Counted());
  }
  const std::map<std::string, Counts> counted = Counted();
  EXPECT_EQ(counted.at("a to b"), (Counts{kEach, kEach * kLength}));
  EXPECT_EQ(counted.at("b to a"), (Counts{kEach, kEach * kLength}));
  EXPECT_EQ(counted.at("other adapter"), Counts{});
}

}  // namespace
}  // namespace flowsentry::e2e
