#include "sc/format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace flowsentry::sc {
namespace {

namespace p = platform;

TEST(ScFormatTest, FieldTexts) {
  struct Case {
    std::string got, want;
  };
  const std::vector<Case> cases = {
      {TypeText(0x110), "110  WIN32_OWN_PROCESS (interactive)"},
      {TypeText(0x10), "10  WIN32_OWN_PROCESS"},
      {TypeText(0x20), "20  WIN32_SHARE_PROCESS"},
      {TypeText(0x1), "1  KERNEL_DRIVER"},
      {TypeText(0x2), "2  FILE_SYSTEM_DRIVER"},
      {TypeText(0x0), "0"},
      {StateText(1), "1  STOPPED"},
      {StateText(2), "2  START_PENDING"},
      {StateText(3), "3  STOP_PENDING"},
      {StateText(4), "4  RUNNING"},
      {StateText(7), "7  PAUSED"},
      {StateText(9), "9"},
      {ControlsText(0), "(NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"},
      {ControlsText(p::SERVICE_ACCEPT_STOP), "(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"},
      {ControlsText(0x7), "(STOPPABLE, PAUSABLE, ACCEPTS_SHUTDOWN)"},
      {StartTypeText(2), "2   AUTO_START"},
      {StartTypeText(3), "3   DEMAND_START"},
      {StartTypeText(4), "4   DISABLED"},
      {StartTypeText(12), "12"},
      {ErrorControlText(1), "1   NORMAL"},
      {ErrorControlText(3), "3   CRITICAL"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ScFormatTest, StatusBlocks) {
  p::SERVICE_STATUS running;
  running.dwServiceType = 0x110;
  running.dwCurrentState = p::SERVICE_RUNNING;
  running.dwControlsAccepted = p::SERVICE_ACCEPT_STOP;
  EXPECT_EQ(FormatStatus("flowSentry", running),
            "\n"
            "SERVICE_NAME: flowSentry\n"
            "        TYPE               : 110  WIN32_OWN_PROCESS (interactive)\n"
            "        STATE              : 4  RUNNING\n"
            "                                (STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
            "        WIN32_EXIT_CODE    : 0  (0x0)\n"
            "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
            "        CHECKPOINT         : 0x0\n"
            "        WAIT_HINT          : 0x0\n"
            "\n");

  p::SERVICE_STATUS_PROCESS pending;
  pending.dwServiceType = 0x10;
  pending.dwCurrentState = p::SERVICE_START_PENDING;
  pending.dwWin32ExitCode = 1077;
  pending.dwServiceSpecificExitCode = 0xFFFFFFFF;
  pending.dwCheckPoint = 26;
  pending.dwWaitHint = 3000;
  pending.dwProcessId = 4321;
  EXPECT_EQ(FormatStatusEx("other", pending),
            "\n"
            "SERVICE_NAME: other\n"
            "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            "        STATE              : 2  START_PENDING\n"
            "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
            "        WIN32_EXIT_CODE    : 1077  (0x435)\n"
            "        SERVICE_EXIT_CODE  : 4294967295  (0xffffffff)\n"
            "        CHECKPOINT         : 0x1a\n"
            "        WAIT_HINT          : 0xbb8\n"
            "        PID                : 4321\n"
            "        FLAGS              :\n"
            "\n");
}

TEST(ScFormatTest, ConfigBlock) {
  p::ServiceConfig config;
  config.service_type = 0x110;
  config.start_type = p::SERVICE_AUTO_START;
  config.error_control = p::SERVICE_ERROR_NORMAL;
  config.binary_path = "/opt/flow sentry/flowmeter";
  config.display_name = "Meridan FlowSentry";
  config.description = "not shown by qc";
  EXPECT_EQ(FormatConfig("flowSentry", config),
            "[SC] QueryServiceConfig SUCCESS\n"
            "\n"
            "SERVICE_NAME: flowSentry\n"
            "        TYPE               : 110  WIN32_OWN_PROCESS (interactive)\n"
            "        START_TYPE         : 2   AUTO_START\n"
            "        ERROR_CONTROL      : 1   NORMAL\n"
            "        BINARY_PATH_NAME   : /opt/flow sentry/flowmeter\n"
            "        LOAD_ORDER_GROUP   :\n"
            "        TAG                : 0\n"
            "        DISPLAY_NAME       : Meridan FlowSentry\n"
            "        DEPENDENCIES       :\n"
            "        SERVICE_START_NAME : LocalSystem\n");
}

TEST(ScFormatTest, ReportsAndMessages) {
  struct Case {
    std::string got, want;
  };
  const std::vector<Case> cases = {
      {FormatSuccess("DeleteService"), "[SC] DeleteService SUCCESS\n"},
      {FormatFailure("OpenService", p::ERROR_SERVICE_DOES_NOT_EXIST),
       "[SC] OpenService FAILED 1060:\n\n"
       "The specified service does not exist as an installed service.\n\n"},
      {FormatFailure("StartService", p::ERROR_SERVICE_ALREADY_RUNNING),
       "[SC] StartService FAILED 1056:\n\nAn instance of the service is already running.\n\n"},
      {FormatFailure("ControlService", p::ERROR_SERVICE_NOT_ACTIVE),
       "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n"},
      {FormatFailure("DeleteService", p::ERROR_SERVICE_MARKED_FOR_DELETE),
       "[SC] DeleteService FAILED 1072:\n\nThe specified service has been marked for "
       "deletion.\n\n"},
      {FormatFailure("ControlService", p::ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
       "[SC] ControlService FAILED 1061:\n\n"
       "The service cannot accept control messages at this time.\n\n"},
      {FormatFailure("StartService", p::ERROR_SERVICE_REQUEST_TIMEOUT),
       "[SC] StartService FAILED 1053:\n\n"
       "The service did not respond to the start or control request in a timely fashion.\n\n"},
      {FormatFailure("OpenSCManager", 99999), "[SC] OpenSCManager FAILED 99999:\n\n\n\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
  // Every code the manager answers with has its message.
  for (p::Win32Error code : {1052u, 1053u, 1054u, 1056u, 1058u, 1060u, 1061u, 1062u, 1063u, 1064u,
                             1067u, 1072u, 1073u, 2u, 3u, 5u, 6u, 87u}) {
    EXPECT_FALSE(SystemMessage(code).empty()) << code;
  }
}

}  // namespace
}  // namespace flowsentry::sc
