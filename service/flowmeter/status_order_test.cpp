// The service's status reports as the manager receives them, with interrogations racing the
// start: the test plays the manager on the program's channel and sees every report in order.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/fd.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "platform/testing/temp_root.h"
#include "scmd/frame_io.h"

extern char** environ;

namespace flowsentry::flowmeter {
namespace {

namespace wire = platform::scm_wire;
using platform::posix::Fd;
using scmd::ReadFrame;
using scmd::SendFrame;

// Runs the service once with interrogations sent back to back from its start to its stopped
// report; the states it reported, in order.
std::vector<uint32_t> StatesOfOneRun() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) return {};
  Fd manager(ends[0]);
  Fd service(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, service.get(), 3);
  std::vector<std::string> environment = {std::string(wire::kChannelVariable) + "=3"};
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char program[] = FLOWMETER_PROGRAM;
  char* argv[] = {program, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  service.Reset();
  if (spawned != 0) return {};

  std::vector<uint32_t> states;
  SendFrame(manager.get(), wire::Writer(wire::kOpServiceStart).Str("flowSentry").Frame());
  bool ended = false;
  while (!ended) {
    SendFrame(
        manager.get(),
        wire::Writer(wire::kOpServiceControl).U32(platform::SERVICE_CONTROL_INTERROGATE).Frame());
    for (;;) {
      const auto body = ReadFrame(manager.get());
      if (!body) {
        ended = true;
        break;
      }
      wire::Reader reader(*body);
      uint32_t type = 0, state = 0;
      if (reader.op() == wire::kOpControlDone) break;
      if (reader.op() == wire::kOpStatus && reader.U32(type) && reader.U32(state)) {
        states.push_back(state);
        if (state == platform::SERVICE_STOPPED) ended = true;
      }
    }
  }
  manager.Reset();
  ::waitpid(pid, nullptr, 0);
  return states;
}

TEST(StatusOrderTest, AnInterrogationNeverReportsAStateThatWasLeftBehind) {
  platform::testing::TempRoot root;
  // No driver: the capture threads end at once, and with them the run.
  ASSERT_TRUE(root.WriteFile("/etc/flowsentry/registry.reg",
                             "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentiaware\\"
                             "FlowSentry]\r\n\"DESTPATH\"=\"/opt/flowsentry\"\r\n"
                             "\"DIRPACKETS\"=\"/opt/flowsentry/packets\"\r\n"
                             "\"OPTIONS\"=\"255\"\r\n\"INTERVALCREATEFILE\"=\"60\"\r\n"
                             "\"STRINGCONNECT\"=\"\"\r\n\"TABLENAME\"=\"\"\r\n"
                             "\"DESTPACKETS\"=\"1\"\r\n"));
  ASSERT_TRUE(root.WriteFile("/opt/flowsentry/flowmeter.cfg", "[THREAD]\r\ncountThread=8\r\n"));
  for (int run = 0; run < 20; ++run) {
    const std::vector<uint32_t> states = StatesOfOneRun();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), platform::SERVICE_START_PENDING);
    EXPECT_EQ(states.back(), platform::SERVICE_STOPPED);
    bool running = false;
    for (const uint32_t state : states) {
      running = running || state == platform::SERVICE_RUNNING;
      ASSERT_FALSE(running && state == platform::SERVICE_START_PENDING) << "run " << run;
    }
  }
}

}  // namespace
}  // namespace flowsentry::flowmeter
