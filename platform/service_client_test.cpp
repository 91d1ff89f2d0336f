// The client side of service control against a manager scripted reply by reply: what a call
// refuses before it asks, and what it makes of the replies it gets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/posix/scm_frames.h"
#include "platform/root.h"
#include "platform/scm_wire.h"
#include "platform/service_control.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

using scm_wire::Writer;

Writer Reply(Win32Error error) { return std::move(Writer(scm_wire::kOpReply).U32(error)); }

// Listens on the manager's socket and answers one connection's requests with `replies`, in
// order; a nullopt hangs up. Requests() waits for the script's end and tells the ops it read.
class ScriptedManager {
 public:
  explicit ScriptedManager(std::vector<std::optional<Writer>> replies) {
    const std::string path = LocationPath(Location::kScmSocket);
    EXPECT_EQ(posix::MakeDirectories(path.substr(0, path.rfind('/'))), ERROR_SUCCESS);
    listener_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_.get(), 1), 0);
    thread_ = std::thread([this, replies = std::move(replies)] {
      posix::Fd client(::accept(listener_.get(), nullptr, nullptr));
      for (const auto& reply : replies) {
        auto request = posix::ReadFrame(client.get());
        if (!request) return;
        ops_.push_back((*request)[0]);
        if (!reply || !posix::SendFrame(client.get(), reply->Frame())) return;
      }
    });
  }
  ~ScriptedManager() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
  }
  std::vector<uint8_t> Requests() {
    thread_.join();
    return ops_;
  }

 private:
  posix::Fd listener_;
  std::vector<uint8_t> ops_;
  std::thread thread_;
};

TEST(ServiceClientTest, AsksOnlyWithTheRightHandleAndReadsWhatTheManagerAnswers) {
  testing::TempRoot root;
  Writer query = Reply(ERROR_SUCCESS);
  for (uint32_t field = 1; field <= 9; ++field) query.U32(field);
  Writer refused = Reply(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  for (uint32_t field = 11; field <= 17; ++field) refused.U32(field);
  ScriptedManager manager({Reply(ERROR_SUCCESS), Reply(ERROR_SUCCESS), query, Reply(ERROR_SUCCESS),
                           refused, Writer(scm_wire::kOpStatus)});
  ScHandle scm = OpenSCManager(SC_MANAGER_CONNECT);
  ScHandle service = OpenService(scm, "svc", SERVICE_QUERY_STATUS | SERVICE_STOP);
  ASSERT_TRUE(service.IsValid());

  // Refused here, without a request: the script would be out of step otherwise.
  SERVICE_STATUS status;
  ScHandle none;
  EXPECT_FALSE(CreateService(scm, "b", "b", 0, 0x10, 3, 1, "/b").IsValid());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(StartService(service));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(QueryServiceStatus(scm, status)) << "a manager where a service belongs";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(QueryServiceStatus(none, status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  SERVICE_STATUS_PROCESS process;
  ASSERT_TRUE(QueryServiceStatusEx(service, process));
  EXPECT_EQ(process.dwServiceType, 1u);
  EXPECT_EQ(process.dwServiceFlags, 9u);
  EXPECT_FALSE(QueryServiceStatusEx(service, process)) << "a reply without its fields";
  EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, status));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwServiceType, 11u) << "the refusal carries the last status";
  EXPECT_EQ(status.dwWaitHint, 17u);
  EXPECT_FALSE(QueryServiceStatusEx(service, process)) << "a body that is not a reply";
  SetLastError(0);
  EXPECT_FALSE(QueryServiceStatusEx(service, process)) << "asked on a broken connection";
  EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(manager.Requests().size(), 6u) << "a refusal reached the manager";
}

}  // namespace
}  // namespace flowsentry::platform
