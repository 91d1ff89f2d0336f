// scmd end to end: the real program on a temporary machine root, driven through the platform's
// client calls, running the test service program.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/last_error.h"
#include "platform/root.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "platform/testing/scoped_time_zone.h"
#include "platform/testing/temp_root.h"
#include "scmd/testing/scm_fixture.h"

namespace flowsentry::scmd {
namespace {

namespace fp = platform;
using testing::ScmFixture;
using testing::WaitFor;

constexpr char kProgram[] = "/opt/test/svc";

class ScmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ScmFixture::InstallProgram(kProgram));
    ASSERT_TRUE(scm_.Start()) << scm_.Output();
    manager_ = fp::OpenSCManager(fp::SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(manager_.IsValid());
  }

  void TearDown() override {
    manager_ = fp::ScHandle();
    scm_.Stop();
    // Sanitizer builds of scmd report into its standard error.
    EXPECT_EQ(scm_.Output().find("Sanitizer"), std::string::npos) << scm_.Output();
  }

  std::string LogPath() const { return root_.Host("/svc.log"); }
  std::string Log() const { return root_.ReadFile("/svc.log"); }
  bool LogHas(const std::string& line) const {
    return Log().find(line + "\n") != std::string::npos;
  }

  fp::ScHandle Create(const std::string& arguments, uint32_t start = fp::SERVICE_DEMAND_START,
                      const std::string& name = "TestSvc") {
    return fp::CreateService(
        manager_, name, "Test " + name, fp::SERVICE_ALL_ACCESS,
        fp::SERVICE_WIN32_OWN_PROCESS | fp::SERVICE_INTERACTIVE_PROCESS, start,
        fp::SERVICE_ERROR_NORMAL,
        "\"" + std::string(kProgram) + "\" " + arguments + " --log " + LogPath());
  }

  static fp::SERVICE_STATUS_PROCESS Status(const fp::ScHandle& service) {
    fp::SERVICE_STATUS_PROCESS status;
    EXPECT_TRUE(fp::QueryServiceStatusEx(service, status));
    return status;
  }
  static bool StateIs(const fp::ScHandle& service, uint32_t state) {
    fp::SERVICE_STATUS_PROCESS status;
    return fp::QueryServiceStatusEx(service, status) && status.dwCurrentState == state;
  }

  platform::testing::TempRoot root_;
  ScmFixture scm_;
  fp::ScHandle manager_;
};

TEST_F(ScmdTest, CreatesStartsStopsQueriesAndDeletes) {
  fp::ScHandle service = Create("run");
  ASSERT_TRUE(service.IsValid());
  EXPECT_TRUE(fp::ChangeServiceDescription(service, "A service for tests"));
  fp::ServiceConfig config;
  ASSERT_TRUE(fp::QueryServiceConfig(service, config));
  EXPECT_EQ(config.service_type, 0x110u);
  EXPECT_EQ(config.start_type, fp::SERVICE_DEMAND_START);
  EXPECT_EQ(config.error_control, fp::SERVICE_ERROR_NORMAL);
  EXPECT_EQ(config.display_name, "Test TestSvc");
  EXPECT_EQ(config.description, "A service for tests");
  EXPECT_EQ(config.binary_path, "\"" + std::string(kProgram) + "\" run --log " + LogPath());

  fp::SERVICE_STATUS status;
  EXPECT_FALSE(fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_TRUE(fp::StartService(service)) << fp::GetLastError() << scm_.Output();
  // The start is answered once the dispatcher took it: the main function runs or is about to.
  ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_RUNNING); }));
  const auto running = Status(service);
  EXPECT_NE(running.dwProcessId, 0u);
  EXPECT_EQ(running.dwControlsAccepted, fp::SERVICE_ACCEPT_STOP);
  EXPECT_FALSE(fp::StartService(service));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_ALREADY_RUNNING);
  EXPECT_TRUE(LogHas("main"));
  EXPECT_FALSE(LogHas("channel variable seen"));
  EXPECT_FALSE(LogHas("registered under a wrong name"));

  // The stop returns once the handler has returned, with what the handler reported last.
  ASSERT_TRUE(fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status));
  EXPECT_TRUE(status.dwCurrentState == fp::SERVICE_STOP_PENDING ||
              status.dwCurrentState == fp::SERVICE_STOPPED);
  EXPECT_TRUE(LogHas("control 1"));
  ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_STOPPED); }));
  EXPECT_EQ(Status(service).dwWin32ExitCode, 0u);
  EXPECT_EQ(Status(service).dwProcessId, 0u);
  ASSERT_TRUE(WaitFor([&] { return LogHas("dispatcher returned"); }));
  // Nothing the main function wrote after its stopped report is cut off.
  EXPECT_TRUE(LogHas("end"));

  // Started again right after a stop: a fresh program runs.
  ASSERT_TRUE(fp::StartService(service)) << fp::GetLastError();
  ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_RUNNING); }));
  EXPECT_NE(Status(service).dwProcessId, running.dwProcessId);

  // Deleted while running: marked, and gone once stopped and its handles are closed.
  ASSERT_TRUE(fp::DeleteService(service));
  EXPECT_FALSE(fp::DeleteService(service));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_FALSE(Create("run").IsValid());
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_MARKED_FOR_DELETE);
  ASSERT_TRUE(fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status));
  ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_STOPPED); }));
  EXPECT_TRUE(fp::OpenService(manager_, "testsvc", fp::SERVICE_QUERY_STATUS).IsValid());
  EXPECT_TRUE(fp::CloseServiceHandle(service));
  EXPECT_FALSE(fp::CloseServiceHandle(service));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_INVALID_HANDLE);
  // The program may still be on its way out after its stopped report.
  EXPECT_TRUE(WaitFor([&] {
    return !fp::OpenService(manager_, "TestSvc", fp::SERVICE_QUERY_STATUS).IsValid() &&
           fp::GetLastError() == fp::ERROR_SERVICE_DOES_NOT_EXIST;
  }));
  EXPECT_EQ(root_.ReadFile("/var/lib/flowsentry/scm/services"), "");
}

TEST_F(ScmdTest, RefusesAsWindowsDoes) {
  fp::ScHandle service = Create("pending");
  ASSERT_TRUE(service.IsValid());
  EXPECT_FALSE(Create("run").IsValid());
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_EXISTS);
  EXPECT_FALSE(Create("run", fp::SERVICE_DEMAND_START, "bad/name").IsValid());
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_INVALID_NAME);
  EXPECT_FALSE(fp::OpenService(manager_, "NoSuch", fp::SERVICE_ALL_ACCESS).IsValid());
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_DOES_NOT_EXIST);

  // A start-pending service accepts no control but an interrogation.
  ASSERT_TRUE(fp::StartService(service));
  ASSERT_TRUE(WaitFor([&] { return Status(service).dwCheckPoint == 1; }));
  const auto pending = Status(service);
  EXPECT_EQ(pending.dwCurrentState, fp::SERVICE_START_PENDING);
  EXPECT_EQ(pending.dwWaitHint, 3000u);
  fp::SERVICE_STATUS status;
  EXPECT_FALSE(fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwCurrentState, fp::SERVICE_START_PENDING);
  EXPECT_TRUE(fp::ControlService(service, fp::SERVICE_CONTROL_INTERROGATE, status));

  // A handle without the right is refused before anything is sent.
  fp::ScHandle query_only = fp::OpenService(manager_, "TestSvc", fp::SERVICE_QUERY_STATUS);
  EXPECT_FALSE(fp::StartService(query_only));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fp::StartService(manager_));
  EXPECT_EQ(fp::GetLastError(), fp::ERROR_INVALID_HANDLE);
}

// How a service program can end, and what the manager makes of it.
TEST_F(ScmdTest, MarksProgramsThatEndWithoutReportingStoppedAsAborted) {
  for (const char* mode : {"return", "crash"}) {
    SCOPED_TRACE(mode);
    fp::ScHandle service = Create(mode, fp::SERVICE_DEMAND_START, std::string("Svc") + mode);
    ASSERT_TRUE(service.IsValid());
    ASSERT_TRUE(fp::StartService(service)) << fp::GetLastError();
    if (std::string(mode) == "crash") {
      // The stop comes back when the program has ended, since its handler never returns.
      ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_RUNNING); }));
      fp::SERVICE_STATUS status;
      EXPECT_TRUE(fp::ControlService(service, fp::SERVICE_CONTROL_STOP, status));
      EXPECT_EQ(status.dwCurrentState, fp::SERVICE_STOPPED);
    }
    ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_STOPPED); }));
    EXPECT_EQ(Status(service).dwWin32ExitCode, fp::ERROR_PROCESS_ABORTED);
  }
  EXPECT_TRUE(LogHas("dispatcher returned"));  // "return": the dispatcher ended the process
}

TEST_F(ScmdTest, AServiceStoppedByItsOwnChildStopsAndTheChildLivesOn) {
  fp::ScHandle service = Create("run --stop-delay-ms 200 --child-stop TestSvc");
  ASSERT_TRUE(fp::StartService(service));
  ASSERT_TRUE(WaitFor([&] { return LogHas("stopped 1 0 3") || LogHas("stopped 1 0 1"); })) << Log();
  ASSERT_TRUE(WaitFor([&] { return StateIs(service, fp::SERVICE_STOPPED); }));
  EXPECT_EQ(Status(service).dwWin32ExitCode, 0u);
  // The child wrote its line after its stop returned, so it outlived nothing it needed; and it
  // could be started again by anyone.
  ASSERT_TRUE(fp::StartService(service)) << fp::GetLastError();
}

TEST_F(ScmdTest, ServicesSurviveARestartAndAutomaticOnesStartWithTheManager) {
  const platform::testing::ScopedTimeZone zone("XYZ-5");
  // The manager passes its environment on: restart it under the new zone.
  EXPECT_EQ(scm_.Stop(), 0);
  ASSERT_TRUE(scm_.Start());
  manager_ = fp::OpenSCManager(fp::SC_MANAGER_ALL_ACCESS);
  ASSERT_TRUE(Create("run", fp::SERVICE_AUTO_START, "AutoSvc").IsValid());
  ASSERT_TRUE(Create("run", fp::SERVICE_DEMAND_START, "DemandSvc").IsValid());
  manager_ = fp::ScHandle();

  EXPECT_EQ(scm_.Stop(), 0);
  ASSERT_TRUE(scm_.Start());
  manager_ = fp::OpenSCManager(fp::SC_MANAGER_CONNECT);
  fp::ScHandle automatic = fp::OpenService(manager_, "AutoSvc", fp::SERVICE_QUERY_STATUS);
  fp::ScHandle demand = fp::OpenService(manager_, "DemandSvc", fp::SERVICE_QUERY_CONFIG);
  ASSERT_TRUE(automatic.IsValid() && demand.IsValid());
  ASSERT_TRUE(WaitFor([&] { return StateIs(automatic, fp::SERVICE_RUNNING); }));
  EXPECT_TRUE(LogHas("TZ=XYZ-5"));

  // On SIGTERM the manager stops its services before it ends.
  EXPECT_EQ(scm_.Stop(), 0);
  EXPECT_TRUE(LogHas("control 1"));
  EXPECT_TRUE(LogHas("end"));
  EXPECT_NE(scm_.Output().find("service AutoSvc stopped (exit code 0)"), std::string::npos);
}

TEST_F(ScmdTest, ASecondManagerOnTheSameRootRefusesToStart) {
  const std::string command = testing::ScmdPath() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  EXPECT_EQ(::pclose(pipe), 1 << 8);
  EXPECT_NE(std::string(line).find("another scmd"), std::string::npos) << line;
  // The first one still serves.
  EXPECT_TRUE(fp::OpenSCManager(fp::SC_MANAGER_CONNECT).IsValid());
}

TEST_F(ScmdTest, ClientsOfOtherUsersMayOnlyQuery) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  ASSERT_TRUE(Create("run").IsValid());
  ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    int failures = 0;
    auto expect = [&](bool ok, int bit) { failures |= ok ? 0 : 1 << bit; };
    expect(!fp::OpenSCManager(fp::SC_MANAGER_ALL_ACCESS).IsValid() &&
               fp::GetLastError() == fp::ERROR_ACCESS_DENIED,
           0);
    fp::ScHandle manager = fp::OpenSCManager(fp::SC_MANAGER_CONNECT);
    expect(manager.IsValid(), 1);
    fp::ScHandle query = fp::OpenService(manager, "TestSvc", fp::SERVICE_QUERY_STATUS);
    fp::SERVICE_STATUS status;
    expect(fp::QueryServiceStatus(query, status) && status.dwCurrentState == fp::SERVICE_STOPPED,
           2);
    expect(!fp::OpenService(manager, "TestSvc", fp::SERVICE_ALL_ACCESS).IsValid() &&
               fp::GetLastError() == fp::ERROR_ACCESS_DENIED,
           3);
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
}

// Raw frames on the manager's socket: each bad one is answered or its connection closed, and a
// well-behaved client is served all along.
TEST_F(ScmdTest, SurvivesMalformedRequests) {
  auto connect_raw = [] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = fp::LocationPath(fp::Location::kScmSocket);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  };
  auto reply_error = [](int fd) -> int64_t {
    uint8_t header[9];
    size_t got = 0;
    while (got < sizeof header) {
      const ssize_t n = ::recv(fd, header + got, sizeof header - got, 0);
      if (n <= 0) return -1;  // closed
      got += static_cast<size_t>(n);
    }
    return header[5] | header[6] << 8 | header[7] << 16 | header[8] << 24;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int64_t expected;  // -1: the connection is closed
  };
  const std::vector<Case> cases = {
      {"absurd length", {0xFF, 0xFF, 0xFF, 0x7F, fp::scm_wire::kOpOpenManager}, -1},
      {"empty body", {0, 0, 0, 0}, -1},
      {"open cut short",
       {2, 0, 0, 0, fp::scm_wire::kOpOpenManager, 1},
       fp::ERROR_INVALID_PARAMETER},
      {"string longer than the body",
       {9, 0, 0, 0, fp::scm_wire::kOpStart, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c', 'd'},
       fp::ERROR_INVALID_PARAMETER},
      {"unknown op", {1, 0, 0, 0, 0x7E}, fp::ERROR_INVALID_FUNCTION},
      {"start without a handle",
       fp::scm_wire::Writer(fp::scm_wire::kOpStart).Str("TestSvc").Frame(),
       fp::ERROR_INVALID_HANDLE},
  };
  ASSERT_TRUE(Create("run").IsValid());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = connect_raw();
    ASSERT_EQ(::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    EXPECT_EQ(reply_error(fd), c.expected);
    ::close(fd);
  }
  // A client that sends half a frame and stalls holds only its own connection.
  const int stalled = connect_raw();
  const uint8_t half[] = {20, 0, 0, 0, fp::scm_wire::kOpOpenManager};
  ASSERT_EQ(::send(stalled, half, sizeof half, MSG_NOSIGNAL), 5);
  fp::ScHandle service = fp::OpenService(manager_, "TestSvc", fp::SERVICE_QUERY_STATUS);
  EXPECT_TRUE(StateIs(service, fp::SERVICE_STOPPED));
  ::close(stalled);
}

TEST(ScmdProgramTest, DispatcherOutsideTheManagerFailsWithControllerConnect) {
  platform::testing::TempRoot root;
  const std::string command = testing::TestServicePath() + " console";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[64] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  EXPECT_EQ(::pclose(pipe), 1 << 8);
  EXPECT_STREQ(line, "0 1063\n");
  // Without a manager, opening it fails with what Windows gives for an unreachable one.
  EXPECT_FALSE(fp::OpenSCManager(fp::SC_MANAGER_CONNECT).IsValid());
  EXPECT_EQ(fp::GetLastError(), fp::RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace
}  // namespace flowsentry::scmd
