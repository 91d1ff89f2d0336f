// The service side of service control, with the test as the manager at the far end of the
// channel. The dispatcher is made once per process, so the whole life of a service runs in one
// case: the start, a control, the stop.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <set>
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
  const std::vector<uint8_t> body = posix::ReadFrame(fd).value_or(std::vector<uint8_t>{});
  Reader reader(body);
  std::vector<uint32_t> fields{reader.op()};
  for (uint32_t value = 0; reader.U32(value);) fields.push_back(value);
  return fields;
}

TEST(ServiceDispatcherTest, RunsTheServiceFromStartToStop) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  posix::Fd manager(ends[0]);
  ::setenv(scm_wire::kChannelVariable, std::to_string(ends[1]).c_str(), 1);

  std::promise<void> stop;
  std::vector<uint32_t> controls;  // by the dispatcher's thread, read after it has returned
  std::atomic<ServiceStatusHandle> handle{0};  // set by the main function, read by the handler
  auto report = [&](uint32_t state) {
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    return SetServiceStatus(handle.load(), status);
  };
  const ServiceTableEntry table[] = {
      {"Svc", [&] {
         EXPECT_EQ(RegisterServiceCtrlHandler("other", [](uint32_t) {}), 0u);
         EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
         handle = RegisterServiceCtrlHandler("SVC", [&](uint32_t control) {
           controls.push_back(control);
           EXPECT_TRUE(report(SERVICE_STOPPED));
         });
         EXPECT_FALSE(report(42)) << "a state that does not exist";
         EXPECT_TRUE(report(SERVICE_RUNNING));
         stop.get_future().wait();
       }}};
  bool returned = false;
  std::thread dispatcher([&] { returned = StartServiceCtrlDispatcher(table); });

  auto send = [&](const Writer& frame) { return posix::SendFrame(manager.get(), frame.Frame()); };
  ASSERT_TRUE(send(Writer(scm_wire::kOpServiceStart).Str("svc")));
  // The main function runs before the start is answered: its first report may come first.
  std::set<std::vector<uint32_t>> first{Next(manager.get()), Next(manager.get())};
  EXPECT_EQ(first, (std::set<std::vector<uint32_t>>{
                       {scm_wire::kOpStartTaken, 0},
                       {scm_wire::kOpStatus, 0x10, SERVICE_RUNNING, 0, 0, 0, 0, 0}}));
  ASSERT_TRUE(send(Writer(scm_wire::kOpServiceControl).U32(SERVICE_CONTROL_STOP)));
  EXPECT_EQ(Next(manager.get()),
            (std::vector<uint32_t>{scm_wire::kOpStatus, 0x10, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Next(manager.get()), std::vector<uint32_t>{scm_wire::kOpControlDone});
  stop.set_value();
  dispatcher.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(controls, std::vector<uint32_t>{SERVICE_CONTROL_STOP});
  EXPECT_EQ(::getenv(scm_wire::kChannelVariable), nullptr) << "left for the service's children";
}

}  // namespace
}  // namespace flowsentry::platform
