#include <gtest/gtest.h>

#include <string>

#include "setup/testing/machine.h"

namespace flowsentry::sc {
namespace {

using setup::testing::Machine;

// The lines of `text` that start with `label` after blanks, e.g. "STATE".
std::string FieldOf(const std::string& text, const std::string& label) {
  const size_t at = text.find("        " + label);
  if (at == std::string::npos) return "(none)";
  const size_t colon = text.find(": ", at);
  return text.substr(colon + 2, text.find('\n', colon) - colon - 2);
}

TEST(ScTest, EveryVerbAgainstTheManager) {
  Machine machine;
  ASSERT_EQ(machine.Flowsetup("-i").exit_code, 0);

  setup::testing::ToolRun run = machine.Sc("qc flowSentry");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output.rfind("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: flowSentry\n", 0),
            0u)
      << run.output;
  EXPECT_EQ(FieldOf(run.output, "TYPE"), "110  WIN32_OWN_PROCESS (interactive)");
  EXPECT_EQ(FieldOf(run.output, "START_TYPE"), "2   AUTO_START");
  EXPECT_EQ(FieldOf(run.output, "BINARY_PATH_NAME"), "/opt/flowsentry/flowmeter");
  EXPECT_EQ(FieldOf(run.output, "DISPLAY_NAME"), "Meridan FlowSentry");

  run = machine.Sc("query flowSentry");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(FieldOf(run.output, "STATE"), "1  STOPPED");

  run = machine.Sc("start flowSentry");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(FieldOf(run.output, "PID"), "(none)");
  ASSERT_TRUE(machine.StartAndWait());  // "already running" once it is up

  run = machine.Sc("start flowSentry");
  EXPECT_EQ(run.output,
            "[SC] StartService FAILED 1056:\n\nAn instance of the service is already running.\n\n");
  EXPECT_EQ(run.exit_code, 1056 & 0xFF);

  run = machine.Sc("queryex flowSentry");
  EXPECT_EQ(FieldOf(run.output, "STATE"), "4  RUNNING");
  EXPECT_EQ(FieldOf(run.output, "PID"), std::to_string(machine.Status()->dwProcessId));
  EXPECT_NE(run.output.find("\n                                (STOPPABLE, NOT_PAUSABLE, "
                            "IGNORES_SHUTDOWN)\n"),
            std::string::npos);

  run = machine.Sc("interrogate flowSentry");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(FieldOf(run.output, "STATE"), "4  RUNNING");

  run = machine.Sc("stop flowSentry");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(FieldOf(run.output, "STATE"), "4  RUNNING");

  run = machine.Sc("delete flowSentry");
  EXPECT_EQ(run.output, "[SC] DeleteService SUCCESS\n");
  EXPECT_EQ(run.exit_code, 0);

  run = machine.Sc("qc noSuchService");
  EXPECT_EQ(run.output,
            "[SC] OpenService FAILED 1060:\n\n"
            "The specified service does not exist as an installed service.\n\n");
  EXPECT_EQ(run.exit_code, 1060 & 0xFF);
  run = machine.Sc("query noSuchService");
  EXPECT_EQ(run.output.rfind("[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\n", 0), 0u);
  EXPECT_EQ(machine.Sc("bogus flowSentry").exit_code, 87);
}

}  // namespace
}  // namespace flowsentry::sc
