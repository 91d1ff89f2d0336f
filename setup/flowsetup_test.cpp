#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/service_control.h"
#include "scmd/testing/scm_fixture.h"
#include "setup/testing/machine.h"

namespace flowsentry::setup {
namespace {

namespace p = platform;
using testing::Machine;

std::optional<p::ServiceConfig> Config() {
  p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_CONNECT);
  p::ScHandle service = p::OpenService(manager, "flowSentry", p::SERVICE_QUERY_CONFIG);
  p::ServiceConfig config;
  if (!service.IsValid() || !p::QueryServiceConfig(service, config)) return std::nullopt;
  return config;
}

TEST(FlowsetupTest, InstallRecordsTheServiceOnceAndDoesNotStartIt) {
  Machine machine;
  const testing::ToolRun first = machine.Flowsetup("-i");
  EXPECT_EQ(first.output, "flowSentry service has been installed successfully");
  EXPECT_EQ(first.exit_code, 0);
  const std::optional<p::ServiceConfig> config = Config();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->service_type, 0x110u);
  EXPECT_EQ(config->start_type, p::SERVICE_AUTO_START);
  EXPECT_EQ(config->error_control, p::SERVICE_ERROR_NORMAL);
  EXPECT_EQ(config->binary_path, "/opt/flowsentry/flowmeter");
  EXPECT_EQ(config->display_name, "Meridan FlowSentry");
  EXPECT_EQ(config->description, "Meridan FlowSentry");
  ASSERT_TRUE(machine.Status());
  EXPECT_EQ(machine.Status()->dwCurrentState, p::SERVICE_STOPPED);

  const testing::ToolRun second = machine.Flowsetup("-i");
  EXPECT_EQ(second.output, "failed to create flowSentry service");
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(machine.SetupLog(), "(missing)");  // install keeps no log
}

TEST(FlowsetupTest, InstallQuotesAPathWithABlankAndTheServiceStartsFromItWhole) {
  Machine machine;
  const std::string folder = "/opt/flow sentry";
  ASSERT_TRUE(
      scmd::testing::ScmFixture::InstallProgram(folder + "/flowmeter", FLOWSENTRY_TEST_SERVICE));
  // A program at a prefix of the path, which must never be the one started.
  ASSERT_TRUE(machine.root().WriteFile("/opt/flow", "#!/bin/sh\ntouch \"$0.ran\"\n"));
  ASSERT_EQ(chmod(machine.root().Host("/opt/flow").c_str(), 0755), 0);

  const testing::ToolRun run =
      Machine::Run(FLOWSENTRY_FLOWSETUP, "-i", machine.root().Host(folder));
  EXPECT_EQ(run.output, "flowSentry service has been installed successfully");
  ASSERT_TRUE(Config());
  EXPECT_EQ(Config()->binary_path, "\"/opt/flow sentry/flowmeter\"");
  EXPECT_TRUE(machine.StartAndWait());
  EXPECT_FALSE(machine.root().Exists("/opt/flow.ran"));
}

TEST(FlowsetupTest, InstallRefusesAProgramPathItCannotRecord) {
  Machine machine;
  // Outside the machine, and a folder whose path with "/flowmeter" takes 260 characters.
  std::string deep = "/d";
  while (deep.size() + std::string("/flowmeter").size() < 260) deep += "/dddddddddd";
  ASSERT_TRUE(machine.root().WriteFile(deep + "/x", ""));
  for (const std::string& directory : {std::string("/"), machine.root().Host(deep)}) {
    const testing::ToolRun run = Machine::Run(FLOWSENTRY_FLOWSETUP, "-i", directory);
    EXPECT_EQ(run.output, "failed to create flowSentry service") << directory;
    EXPECT_FALSE(Config()) << directory;
  }
}

TEST(FlowsetupTest, StopLogsOnlyItsFrameWhenTheStopSucceeds) {
  Machine machine;
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);
  machine.root().WriteFile("/opt/flowsentry/flowsetup.log", "an earlier run, much longer\r\n");
  // Stopped already: the refused stop counts as success.
  EXPECT_EQ(machine.Flowsetup("-s").output, "");
  EXPECT_EQ(machine.SetupLog(), "stop begin\r\nstop end\r\n");

  ASSERT_TRUE(machine.StartAndWait());
  EXPECT_EQ(machine.Flowsetup("-s").exit_code, 0);
  EXPECT_EQ(machine.SetupLog(), "stop begin\r\nstop end\r\n");
  EXPECT_EQ(machine.Status()->dwCurrentState, p::SERVICE_STOPPED);
}

TEST(FlowsetupTest, UninstallStopsARunningServiceAndDeletesIt) {
  Machine machine;
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);
  ASSERT_TRUE(machine.StartAndWait());
  const testing::ToolRun run = machine.Flowsetup("-u");
  EXPECT_EQ(run.output, "flowSentry service has been removed");
  EXPECT_EQ(machine.SetupLog(), "uninstall begin\r\nuninstall successfully\r\nuninstall end");
  EXPECT_FALSE(machine.Status());
  // Gone for good: installing again works.
  EXPECT_EQ(machine.Flowsetup("-i").output, "flowSentry service has been installed successfully");
}

TEST(FlowsetupTest, UninstallLeavesAServiceThatWillNotStop) {
  Machine machine("refuse-stop");
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);
  ASSERT_TRUE(machine.StartAndWait());
  EXPECT_EQ(machine.Flowsetup("-u").output, "failed to stop flowSentry service");
  EXPECT_EQ(machine.SetupLog(), "uninstall begin\r\nuninstall end");
  ASSERT_TRUE(machine.Status());
  EXPECT_EQ(machine.Status()->dwCurrentState, p::SERVICE_RUNNING);
}

TEST(FlowsetupTest, RestartLeavesAStoppedServiceAlone) {
  Machine machine;
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);
  EXPECT_EQ(machine.Flowsetup("-r").output, "");
  EXPECT_EQ(machine.SetupLog(),
            "restart begin\r\n"
            "status service - SERVICE_STOP_PENDING or SERVICE_STOPPED\r\n"
            "restart end\r\n");
  EXPECT_EQ(machine.Status()->dwCurrentState, p::SERVICE_STOPPED);
}

TEST(FlowsetupTest, RestartStopsARunningServiceAndStartsItAgain) {
  Machine machine;
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);
  ASSERT_TRUE(machine.StartAndWait());
  const uint32_t first_pid = machine.Status()->dwProcessId;
  EXPECT_EQ(machine.Flowsetup("-r").output, "");
  EXPECT_EQ(machine.SetupLog(),
            "restart begin\r\n"
            "status service - SERVICE_RUNNING\r\n"
            "Meridan FlowSentry service successfully stopped\r\n"
            "Meridan FlowSentry service successfully started\r\n"
            "restart end\r\n");
  const std::optional<p::SERVICE_STATUS_PROCESS> status = machine.Status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->dwCurrentState, p::SERVICE_RUNNING);
  EXPECT_NE(status->dwProcessId, first_pid);
}

TEST(FlowsetupTest, CommandsWithoutTheService) {
  Machine machine;
  EXPECT_EQ(machine.Flowsetup("-u").output, "failed to access flowSentry service");
  EXPECT_EQ(machine.SetupLog(), "uninstall begin\r\nuninstall end");
  EXPECT_EQ(machine.Flowsetup("-r").output, "");
  EXPECT_EQ(machine.SetupLog(),
            "restart begin\r\nschService == NULL by OpenService\r\nrestart end\r\n");
  EXPECT_EQ(machine.Flowsetup("-s").output, "");
  EXPECT_EQ(machine.SetupLog(),
            "stop begin\r\nStop Service Failed\r\nfailed to access Meridan FlowSentry "
            "service\r\nstop end\r\n");
}

TEST(FlowsetupTest, CommandsWithoutTheManager) {
  p::testing::TempRoot root;  // no manager runs on this machine
  const std::string directory = root.path();
  EXPECT_EQ(Machine::Run(FLOWSENTRY_FLOWSETUP, "-i", directory).output,
            "failed to access service database");
  EXPECT_EQ(Machine::Run(FLOWSENTRY_FLOWSETUP, "-s", directory).output, "");
  EXPECT_EQ(root.ReadFile("/flowsetup.log"),
            "stop begin\r\nStop Service Failed\r\nfailed to access service database\r\nstop "
            "end\r\n");
  EXPECT_EQ(Machine::Run(FLOWSENTRY_FLOWSETUP, "-u", directory).output,
            "failed to access service database");
  EXPECT_EQ(root.ReadFile("/flowsetup.log"), "uninstall begin\r\nuninstall end");
}

TEST(FlowsetupTest, AnythingButOneKnownArgumentDoesNothing) {
  Machine machine;
  machine.root().WriteFile("/opt/flowsentry/flowsetup.log", "kept");
  for (const std::string arguments : {"-x", "-I", "-i extra", "", "-s -s", "i", "-install"}) {
    const testing::ToolRun run = machine.Flowsetup(arguments);
    EXPECT_EQ(run.output, "") << arguments;
    EXPECT_EQ(run.exit_code, 0) << arguments;
    EXPECT_EQ(machine.SetupLog(), "kept") << arguments;
    EXPECT_FALSE(Config()) << arguments;
  }
}

}  // namespace
}  // namespace flowsentry::setup
