// The service side of service control, with the test as the manager at the far end of the
// channel. The dispatcher is made once per process, so the whole life of a service runs in one
// case: before the channel, the start, a control, the stop, and after.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/posix/scm_frames.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"

namespace flowsentry::platform {
namespace {

using scm_wire::Reader;
using scm_wire::Writer;

// The op and the 32-bit fields of the next frame from the service.
std::vector<uint32_t> Next(int fd) {
  auto body = posix::ReadFrame(fd);
  if (!body) return {};
  Reader reader(*body);
  std::vector<uint32_t> fields{reader.op()};
  for (uint32_t value = 0; reader.U32(value);) fields.push_back(value);
  return fields;
}

TEST(ServiceDispatcherTest, RunsTheServiceFromStartToStop) {
  const ServiceTableEntry no_main[] = {{"svc", nullptr}};
  ::unsetenv(scm_wire::kChannelVariable);
  EXPECT_FALSE(StartServiceCtrlDispatcher(no_main));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandler("svc", [](uint32_t) {}), 0u);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  posix::Fd manager(ends[0]);
  ::setenv(scm_wire::kChannelVariable, std::to_string(ends[1]).c_str(), 1);

  std::mutex mu;
  std::condition_variable changed;
  std::vector<uint32_t> controls;
  bool stopped = false;
  ServiceStatusHandle handle = 0;
  auto report = [&](uint32_t state) {
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    return SetServiceStatus(handle, status);
  };
  const ServiceTableEntry table[] = {
      {"Svc", [&] {
         EXPECT_EQ(RegisterServiceCtrlHandler("other", [](uint32_t) {}), 0u);
         handle = RegisterServiceCtrlHandler("SVC", [&](uint32_t control) {
           std::lock_guard lock(mu);
           controls.push_back(control);
           if (control == SERVICE_CONTROL_STOP) {
             EXPECT_TRUE(report(SERVICE_STOPPED));
           }
         });
         EXPECT_NE(handle, 0u);
         EXPECT_FALSE(report(42)) << "a state that does not exist";
         EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
         EXPECT_TRUE(report(SERVICE_RUNNING));
         std::unique_lock lock(mu);
         changed.wait(lock, [&] { return stopped; });
       }}};
  bool returned = false;
  std::thread dispatcher([&] { returned = StartServiceCtrlDispatcher(table); });

  ASSERT_TRUE(
      posix::SendFrame(manager.get(), Writer(scm_wire::kOpServiceStart).Str("svc").Frame()));
  EXPECT_EQ(Next(manager.get()), (std::vector<uint32_t>{scm_wire::kOpStartTaken, 0}));
  EXPECT_EQ(Next(manager.get()),
            (std::vector<uint32_t>{scm_wire::kOpStatus, SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING,
                                   0, 0, 0, 0, 0}));
  for (uint32_t control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}) {
    ASSERT_TRUE(
        posix::SendFrame(manager.get(), Writer(scm_wire::kOpServiceControl).U32(control).Frame()));
    if (control == SERVICE_CONTROL_STOP) {
      EXPECT_EQ(Next(manager.get())[2], SERVICE_STOPPED);
    }
    EXPECT_EQ(Next(manager.get()), std::vector<uint32_t>{scm_wire::kOpControlDone});
  }
  {
    std::lock_guard lock(mu);
    stopped = true;
    changed.notify_all();
  }
  dispatcher.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(controls, (std::vector<uint32_t>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}));
  EXPECT_EQ(::getenv(scm_wire::kChannelVariable), nullptr) << "left for the service's children";
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
}

}  // namespace
}  // namespace flowsentry::platform
