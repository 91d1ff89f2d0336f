// The service under a real scmd in a temporary machine root, with a scripted control device as
// its driver: configuration failures, the log of a start and a stop, stops with and without
// traffic, an interrogation, check points, a start that fails, and the restart after midnight.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/service_control.h"
#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "platform/testing/test_clock.h"
#include "scmd/testing/scm_fixture.h"
#include "service/capture/testing/scripted_device.h"
#include "service/counters/counter_periods.h"
#include "shared/packet_record.h"

namespace flowsentry::flowmeter {
namespace {

using capture::testing::ScriptedDevice;
using namespace platform;
using scmd::testing::ScmFixture;
using scmd::testing::WaitFor;

constexpr char kDestPath[] = "/opt/flowsentry";
constexpr char kService[] = "flowSentry";

std::string RegistryFile(bool with_destpath, const std::string& dirpackets) {
  std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\FlowSentry]\r\n";
  if (with_destpath) text += "\"DESTPATH\"=\"" + std::string(kDestPath) + "\"\r\n";
  text += "\"DIRPACKETS\"=\"" + dirpackets + "\"\r\n";
  text += "\"OPTIONS\"=\"255\"\r\n\"INTERVALCREATEFILE\"=\"60\"\r\n";
  text += "\"STRINGCONNECT\"=\"\"\r\n\"TABLENAME\"=\"\"\r\n\"DESTPACKETS\"=\"1\"\r\n";
  return text;
}

PacketRecord Record(uint32_t length) {
  PacketRecord record;
  record.TimeSeconds = static_cast<uint32_t>(std::time(nullptr));
  record.PacketLength = length;
  record.EtherType[0] = 0x08;
  return record;
}

class FlowmeterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg", RegistryFile(true, Packets())));
    ASSERT_TRUE(root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg",
                                "[THREAD]\r\ncountThread=4\r\n"));
    ASSERT_TRUE(
        ScmFixture::InstallProgram(std::string(kDestPath) + "/flowmeter", FLOWMETER_PROGRAM));
    ASSERT_TRUE(
        ScmFixture::InstallProgram(std::string(kDestPath) + "/flowsetup", FLOWSETUP_PROGRAM));
    std::filesystem::create_directories(root_.Host(std::string(kDestPath) + "/DB"));
    ASSERT_EQ(std::system(("sqlite3 '" + root_.Host(std::string(kDestPath) + "/DB/counters.mdb") +
                           "' < '" FLOWSENTRY_SCHEMA_PATH "' > /dev/null")
                              .c_str()),
              0);
  }

  void TearDown() override {
    if (scm_ != nullptr) scm_->Stop();
  }

  static std::string Packets() { return std::string(kDestPath) + "/packets"; }

  void StartManager() {
    scm_ = std::make_unique<ScmFixture>();
    ASSERT_TRUE(scm_->Start());
    manager_ = OpenSCManager(SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager_.IsValid());
    service_ =
        CreateService(manager_, kService, "Meridan FlowSentry", SERVICE_ALL_ACCESS,
                      SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
                      SERVICE_ERROR_NORMAL, std::string(kDestPath) + "/flowmeter");
    ASSERT_TRUE(service_.IsValid());
  }

  // A stop sent on a connection of its own: calls on one connection go one at a time, and the
  // test queries the status while the stop waits.
  static bool StopOnItsOwnConnection() {
    ScHandle manager = OpenSCManager(SC_MANAGER_ALL_ACCESS);
    ScHandle service = OpenService(manager, kService, SERVICE_ALL_ACCESS);
    SERVICE_STATUS stopped;
    return ControlService(service, SERVICE_CONTROL_STOP, stopped);
  }

  SERVICE_STATUS_PROCESS Status() {
    SERVICE_STATUS_PROCESS status;
    EXPECT_TRUE(QueryServiceStatusEx(service_, status));
    return status;
  }

  bool WaitForState(uint32_t state, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return WaitFor([&] { return Status().dwCurrentState == state; }, limit);
  }

  // The log's lines from " Code: " on (the time stamps vary).
  std::vector<std::string> Log(const std::string& machine_path) const {
    const std::string text = root_.ReadFile(machine_path);
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const size_t code = line.find("Code: ");
      lines.push_back(code == std::string::npos ? line : line.substr(code));
      start = end + 2;
    }
    return lines;
  }
  std::vector<std::string> ServiceLog() const {
    return Log(std::string(kDestPath) + "/flowmeter.log");
  }
  static std::string Line(int code, const std::string& text) {
    return "Code: " + std::to_string(code) + " Text: " + text;
  }
  bool Logged(const std::string& line) const {
    const std::vector<std::string> lines = ServiceLog();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // The output of the sqlite3 shell for `sql` on the counters database.
  std::string Query(const std::string& sql) const {
    const std::string database = root_.Host(std::string(kDestPath) + "/DB/counters.mdb");
    std::string out;
    FILE* pipe =
        popen(("sqlite3 -cmd '.timeout 5000' '" + database + "' \"" + sql + "\"").c_str(), "r");
    char buffer[256];
    while (pipe != nullptr && fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    if (pipe != nullptr) pclose(pipe);
    return out;
  }
  // The lines of the main sequence (not of capture threads), in their order.
  std::vector<std::string> MainLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : ServiceLog()) {
      if (line.find("Text: Thread N ") == std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  testing::TempRoot root_;
  std::unique_ptr<ScmFixture> scm_;
  ScHandle manager_;
  ScHandle service_;
};

// Started from a console, the program cannot reach a dispatcher; started by the manager without
// DESTPATH, or with a packet folder whose parent is missing, it ends before any status.
TEST_F(FlowmeterTest, ConsoleStartAndConfigurationFailuresSendNoStatus) {
  const pid_t child = fork();
  if (child == 0) {
    execl(FLOWMETER_PROGRAM, FLOWMETER_PROGRAM, nullptr);
    _exit(127);
  }
  int exit_status = 0;
  ASSERT_EQ(waitpid(child, &exit_status, 0), child);
  EXPECT_EQ(WEXITSTATUS(exit_status), 1);
  EXPECT_EQ(Log("/flowmeter.log"),
            std::vector<std::string>{Line(1063, "StartServiceCtrlDispatcher failed")});

  std::filesystem::remove(root_.Host("/flowmeter.log"));
  ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg", RegistryFile(false, Packets())));
  StartManager();
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_EQ(Status().dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_EQ(Log("/flowmeter.log"), (std::vector<std::string>{Line(-1, "Unable to read DESTPATH"),
                                                             Line(0, "End Service main")}));

  ASSERT_TRUE(root_.WriteFile("/etc/flowsentry/registry.reg",
                              RegistryFile(true, std::string(kDestPath) + "/none/packets")));
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitFor([&] { return Logged(Line(0, "End Service main")); }));
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_EQ(Status().dwWin32ExitCode, ERROR_PROCESS_ABORTED);
  EXPECT_EQ(ServiceLog(), (std::vector<std::string>{Line(0, "Begin Service main"),
                                                    Line(3, "CreateDirectory return error"),
                                                    Line(0, "End Service main")}));
}

// Four capture threads on a quiet driver: the log of a start, an interrogation, a stop that has
// to terminate every capture thread after ten seconds, and the check points on the way.
TEST_F(FlowmeterTest, StartInterrogateAndStopWithoutTraffic) {
  ScriptedDevice device;
  StartManager();
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  ASSERT_TRUE(device.WaitForPendingReads(4));
  SERVICE_STATUS_PROCESS running = Status();
  EXPECT_EQ(running.dwCheckPoint, 0u);
  EXPECT_EQ(running.dwWaitHint, 0u);
  EXPECT_EQ(running.dwControlsAccepted, SERVICE_ACCEPT_STOP);
  EXPECT_NE(running.dwProcessId, 0u);
  EXPECT_EQ(device.CaptureSwitches(), std::vector<uint8_t>{0x04});
  for (int thread = 0; thread < 4; ++thread) {
    EXPECT_TRUE(Logged(Line(0, "Thread N " + std::to_string(thread) + " Begin capturePackets")));
  }

  SERVICE_STATUS status;
  ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_INTERROGATE, status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);

  auto stopping = std::async(std::launch::async, [] { return StopOnItsOwnConnection(); });
  ASSERT_TRUE(WaitFor([&] { return Logged(Line(0, "Begin stop")); }));
  // The report reaches the manager on the service's own connection; the query may overtake it.
  ASSERT_TRUE(WaitForState(SERVICE_STOP_PENDING, std::chrono::seconds(5)));
  const SERVICE_STATUS_PROCESS pending = Status();
  EXPECT_EQ(pending.dwCurrentState, SERVICE_STOP_PENDING);
  EXPECT_EQ(pending.dwCheckPoint, 2u) << "the start took check point 1";
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(stopping.get());
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(9));
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_EQ(Status().dwWin32ExitCode, 0u);
  EXPECT_EQ(Status().dwCheckPoint, 0u);
  // The manager has the stopped report before ServiceMain writes its last lines.
  ASSERT_TRUE(WaitFor([&] { return Logged(Line(0, "End Service main")); }));

  const std::vector<std::string> expected = {
      Line(0, "Begin Service main"),
      Line(0, "Begin SetServiceStatus"),
      Line(0, "End SetServiceStatus"),
      Line(0, "Begin start"),
      Line(0, "Accounting mode packet"),
      Line(0, "End start"),
      Line(0, "Begin SetServiceStatus"),
      Line(0, "End SetServiceStatus"),
      Line(0, "Begin Handler"),
      Line(0, "Begin SetServiceStatus"),
      Line(0, "End SetServiceStatus"),
      Line(0, "End Handler"),
      Line(0, "Begin Handler"),
      Line(0, "Begin SetServiceStatus"),
      Line(0, "End SetServiceStatus"),
      Line(0, "Begin stop"),
      Line(0, "Terminate thread Capture Packets"),
  };
  // The UpdateTime thread writes from its own thread: once after "Begin start", once after
  // "Begin stop".
  std::vector<std::string> lines = MainLines();
  EXPECT_EQ(std::erase(lines, Line(0, "Begin UpdateTime")), 1u);
  EXPECT_EQ(std::erase(lines, Line(0, "End UpdateTime")), 1u);
  ASSERT_GE(lines.size(), expected.size());
  std::vector<std::string> ordered(lines.begin(), lines.begin() + expected.size());
  EXPECT_EQ(ordered, expected);
  // After the termination, the stopped report and "End Service main" may come before or after
  // the end of stop.
  std::vector<std::string> rest(lines.begin() + expected.size(), lines.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{Line(0, "Begin SetServiceStatus"),
                                            Line(0, "End Service main"),
                                            Line(0, "End SetServiceStatus"), Line(0, "End stop")}));
  for (int thread = 0; thread < 4; ++thread) {
    EXPECT_FALSE(Logged(Line(0, "Thread N " + std::to_string(thread) + " End capturePackets")));
  }
}

// Capture threads that read a record after the stop end by themselves, with their end lines,
// and the stop does not terminate them.
TEST_F(FlowmeterTest, ThreadsThatReadARecordAfterTheStopEndByThemselves) {
  ASSERT_TRUE(
      root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg", "[THREAD]\r\ncountThread=2\r\n"));
  ScriptedDevice device;
  StartManager();
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  ASSERT_TRUE(device.WaitForPendingReads(2));
  auto stopping = std::async(std::launch::async, [] { return StopOnItsOwnConnection(); });
  ASSERT_TRUE(WaitFor([&] { return Logged(Line(0, "Begin stop")); }));
  ASSERT_TRUE(device.Deliver(Record(60)));
  ASSERT_TRUE(device.Deliver(Record(60)));
  EXPECT_TRUE(stopping.get());
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_FALSE(Logged(Line(0, "Terminate thread Capture Packets")));
  for (int thread = 0; thread < 2; ++thread) {
    const std::string prefix = "Thread N " + std::to_string(thread) + " ";
    EXPECT_TRUE(Logged(Line(0, prefix + "Received packets - 0")));
    EXPECT_TRUE(Logged(Line(0, prefix + "End capturePackets")));
  }
  EXPECT_TRUE(Logged(Line(0, "End stop")));
}

// A service that runs into local midnight restarts itself through the setup tool; its new
// capture threads archive yesterday's counts and start the new day at zero.
TEST_F(FlowmeterTest, RestartsItselfAfterMidnightAndTheNewDayStartsAtZero) {
  ASSERT_TRUE(
      root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg", "[THREAD]\r\ncountThread=2\r\n"));
  testing::ScopedTimeZone zone("UTC0");  // scmd, and so the service, runs with this zone
  const int64_t today = 1909008000;      // 2030-06-30
  testing::TestClock clock(today + 86400 - 10);
  ASSERT_EQ(std::system(("sqlite3 '" + root_.Host(std::string(kDestPath) + "/DB/counters.mdb") +
                         "' \"INSERT INTO counters (countername, parameters, timecount) VALUES "
                         "('all', 'Interface=0|', " +
                         std::to_string(today) + ")\"")
                            .c_str()),
            0);
  ScriptedDevice device;
  StartManager();
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  ASSERT_TRUE(device.WaitForPendingReads(2));
  const uint32_t first_pid = Status().dwProcessId;
  ASSERT_TRUE(device.Deliver(Record(100)));
  ASSERT_TRUE(device.Deliver(Record(50)));
  ASSERT_TRUE(device.WaitForPendingReads(2));

  // Midnight; then UpdateTime's look at the clock, flowsetup -r, the ten-second stop, the start.
  ASSERT_TRUE(clock.Advance(10));
  ASSERT_TRUE(WaitFor(
      [&] {
        const SERVICE_STATUS_PROCESS status = Status();
        return status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != first_pid;
      },
      std::chrono::seconds(90)));
  EXPECT_TRUE(Logged(Line(0, "Begin restart")));
  ASSERT_TRUE(WaitFor([&] {
    return root_.ReadFile(std::string(kDestPath) + "/flowsetup.log").find("restart end") !=
           std::string::npos;
  }));
  ASSERT_TRUE(device.WaitForPendingReads(2));
  EXPECT_EQ(Query("SELECT countername, packets, bytes, timecount FROM countersstat"),
            "all|2|150|" + std::to_string(today) + "\n");
  EXPECT_EQ(Query("SELECT packets, bytes, timecount > " + std::to_string(today) + " FROM counters"),
            "0|0|1\n");
}

// Killed with SIGKILL thirty times while it reads batches and flushes every 10 ms, the batch mode
// never leaves more counted than it was handed, nor less than before, and a database that is
// whole.
TEST_F(FlowmeterTest, KilledDuringFlushesNeverCountsMoreThanItReadAndLeavesTheDatabaseWhole) {
  ASSERT_TRUE(root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg",
                              "[THREAD]\r\ncountThread=1\r\n[ACCOUNTING]\r\nmode=batch\r\n"
                              "flushInterval=10\r\nreadRecords=100\r\n"));
  Query("INSERT INTO counters (countername, parameters) VALUES ('all', 'Interface=0|')");
  ScriptedDevice device;
  StartManager();
  std::mt19937 random(19);
  const std::vector<PacketRecord> batch(100, Record(60));
  int64_t delivered = 0;
  int64_t counted = 0;
  for (int cycle = 0; cycle < 30; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(StartService(service_));
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    const pid_t pid = static_cast<pid_t>(Status().dwProcessId);
    for (uint32_t n = random() % 30 + 1; n > 0; --n) delivered += device.DeliverRecords(batch);
    // The kill comes at a moment of its own, somewhere in the flushes of the last batches.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
    const std::string row = Query("SELECT packets, bytes FROM counters");
    ASSERT_NE(row.find('|'), std::string::npos) << row;
    const int64_t packets = std::stoll(row);
    const int64_t bytes = std::stoll(row.substr(row.find('|') + 1));
    EXPECT_GE(packets, counted);
    EXPECT_LE(packets, delivered);
    EXPECT_LE(bytes, 60 * delivered);
    counted = packets;
  }
  EXPECT_GT(counted, 0);
  EXPECT_EQ(Query("PRAGMA integrity_check"), "ok\n");
}

// Output and exit status of a command run in a host folder.
std::pair<std::string, int> RunIn(const std::string& folder, const std::string& command) {
  std::string output;
  FILE* pipe = popen(("cd '" + folder + "' && " + command + " 2>&1").c_str(), "r");
  char buffer[512];
  size_t n = 0;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output.append(buffer, n);
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The operator's road: install with the setup tool, start and query with sc, stop with the
// setup tool.
TEST_F(FlowmeterTest, InstalledWithFlowsetupStartedAndQueriedWithScStoppedWithFlowsetup) {
  ASSERT_TRUE(
      root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg", "[THREAD]\r\ncountThread=2\r\n"));
  ScriptedDevice device;
  scm_ = std::make_unique<ScmFixture>();
  ASSERT_TRUE(scm_->Start());
  const std::string install = root_.Host(kDestPath);
  EXPECT_EQ(RunIn(install, "'" FLOWSETUP_PROGRAM "' -i"),
            std::make_pair(std::string("flowSentry service has been installed successfully"), 0));
  const auto started = RunIn(root_.path(), "'" SC_PROGRAM "' start flowSentry");
  EXPECT_EQ(started.second, 0) << started.first;
  manager_ = OpenSCManager(SC_MANAGER_ALL_ACCESS);
  service_ = OpenService(manager_, kService, SERVICE_ALL_ACCESS);
  ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
  const auto query = RunIn(root_.path(), "'" SC_PROGRAM "' query flowSentry");
  EXPECT_EQ(query.second, 0);
  EXPECT_NE(query.first.find("        STATE              : 4  RUNNING\n"), std::string::npos)
      << query.first;
  EXPECT_NE(query.first.find("10  WIN32_OWN_PROCESS"), std::string::npos) << query.first;

  // Each capture thread reads one more record once the stop is asked, so the stop is quick.
  auto stopping =
      std::async(std::launch::async, [&] { return RunIn(install, "'" FLOWSETUP_PROGRAM "' -s"); });
  ASSERT_TRUE(WaitFor([&] { return Logged(Line(0, "Begin stop")); }));
  ASSERT_TRUE(device.Deliver(Record(60)));
  ASSERT_TRUE(device.Deliver(Record(60)));
  EXPECT_EQ(stopping.get().second, 0);
  EXPECT_EQ(root_.ReadFile(std::string(kDestPath) + "/flowsetup.log"),
            "stop begin\r\nstop end\r\n");
  EXPECT_EQ(Status().dwCurrentState, SERVICE_STOPPED);
}

#if !defined(FLOWSENTRY_SANITIZED)
// A start that cannot make all its capture threads stops what it made, runs the setup tool with
// "-r" from DESTPATH, and reports stopped with the error. The address space is limited so that
// 64 thread stacks do not fit (the sanitizers need far more than that, so not under them).
TEST_F(FlowmeterTest, AStartThatCannotMakeItsThreadsStopsAndRestartsThroughTheSetupTool) {
  ASSERT_TRUE(
      root_.WriteFile(std::string(kDestPath) + "/flowmeter.cfg", "[THREAD]\r\ncountThread=64\r\n"));
  std::filesystem::remove(root_.Host(std::string(kDestPath) + "/flowsetup"));
  ASSERT_TRUE(root_.WriteFile(
      std::string(kDestPath) + "/flowsetup",
      "#!/bin/sh\necho \"$@ in $(pwd)\" > restarting && mv restarting restarted\n"));
  ASSERT_TRUE(root_.WriteFile(std::string(kDestPath) + "/limited",
                              "#!/bin/sh\nulimit -v 262144\nexec '" FLOWMETER_PROGRAM "'\n"));
  std::filesystem::permissions(root_.Host(std::string(kDestPath) + "/flowsetup"),
                               std::filesystem::perms::owner_all);
  std::filesystem::permissions(root_.Host(std::string(kDestPath) + "/limited"),
                               std::filesystem::perms::owner_all);
  scm_ = std::make_unique<ScmFixture>();
  ASSERT_TRUE(scm_->Start());
  manager_ = OpenSCManager(SC_MANAGER_ALL_ACCESS);
  service_ = CreateService(manager_, kService, "Meridan FlowSentry", SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                           std::string(kDestPath) + "/limited");
  ASSERT_TRUE(StartService(service_));
  ASSERT_TRUE(WaitForState(SERVICE_STOPPED));
  EXPECT_EQ(Status().dwWin32ExitCode, ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_TRUE(WaitFor([&] { return root_.Exists(std::string(kDestPath) + "/restarted"); }));
  EXPECT_EQ(root_.ReadFile(std::string(kDestPath) + "/restarted"),
            "-r in " + root_.Host(kDestPath) + "\n");
  const std::vector<std::string> lines = MainLines();
  const auto failed = std::find(lines.begin(), lines.end(),
                                Line(ERROR_NOT_ENOUGH_MEMORY, "Failed to start capturePackets"));
  ASSERT_NE(failed, lines.end());
  std::vector<std::string> after(failed + 1, lines.end());
  std::erase(after, Line(0, "Begin UpdateTime"));
  std::erase(after, Line(0, "End UpdateTime"));
  EXPECT_EQ(after,
            (std::vector<std::string>{
                Line(0, "Begin stop"), Line(0, "End stop"), Line(0, "End start"),
                Line(0, "Begin restart"), Line(0, "End restart"), Line(0, "Begin SetServiceStatus"),
                Line(0, "End SetServiceStatus"), Line(0, "End Service main")}));
}
#endif

}  // namespace
}  // namespace flowsentry::flowmeter
