// The manager's time limits, with short ones, on real service programs.
#include "scmd/manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/testing/temp_root.h"
#include "scmd/testing/scm_fixture.h"

namespace flowsentry::scmd {
namespace {

namespace fp = platform;
using namespace std::chrono_literals;
using testing::WaitFor;

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::ScmFixture::InstallProgram("/opt/test/svc"));
    options_.database_folder = fp::LocationPath(fp::Location::kScmDatabase);
    options_.start_timeout = 300ms;
    options_.control_timeout = 300ms;
    options_.shutdown_wait = 300ms;
  }
  void Make() {
    manager_ = std::make_unique<ServiceManager>(options_);
    ASSERT_EQ(manager_->Load(), 0u);
  }
  void Install(const std::string& name, const std::string& arguments) {
    ServiceEntry entry;
    entry.name = name;
    entry.binary_path = "\"/opt/test/svc\" " + arguments + " --log " + root_.Host("/svc.log");
    entry.service_type = fp::SERVICE_WIN32_OWN_PROCESS;
    entry.start_type = fp::SERVICE_DEMAND_START;
    ASSERT_EQ(manager_->Create(entry, true), 0u);
  }
  uint32_t State(const std::string& name, uint32_t* exit_code = nullptr) {
    fp::SERVICE_STATUS_PROCESS status;
    EXPECT_EQ(manager_->Query(name, status), 0u);
    if (exit_code != nullptr) *exit_code = status.dwWin32ExitCode;
    return status.dwCurrentState;
  }

  fp::testing::TempRoot root_;
  ManagerOptions options_;
  std::unique_ptr<ServiceManager> manager_;
};

TEST_F(ManagerTest, EndsAProgramWhoseDispatcherNeverConnects) {
  Make();
  Install("Hang", "hang");
  EXPECT_EQ(manager_->Start("Hang", true), fp::ERROR_SERVICE_REQUEST_TIMEOUT);
  uint32_t exit_code = 0;
  ASSERT_TRUE(WaitFor([&] { return State("Hang", &exit_code) == fp::SERVICE_STOPPED; }));
  EXPECT_EQ(exit_code, fp::ERROR_SERVICE_REQUEST_TIMEOUT);
  // A program that cannot be run fails the start at once.
  Install("Missing", "x");
  std::filesystem::remove(root_.Host("/opt/test/svc"));
  EXPECT_EQ(manager_->Start("Missing", true), fp::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(manager_->Start("Nobody", true), fp::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(manager_->Start("Hang", false), fp::ERROR_ACCESS_DENIED);
}

TEST_F(ManagerTest, AControlWhoseHandlerOutlastsTheLimitTimesOutAndTheNextWaitsItsTurn) {
  Make();
  Install("Slow", "run --stop-delay-ms 1500");
  ASSERT_EQ(manager_->Start("Slow", true), 0u);
  ASSERT_TRUE(WaitFor([&] { return State("Slow") == fp::SERVICE_RUNNING; }));
  fp::SERVICE_STATUS status;
  EXPECT_EQ(manager_->Control("Slow", fp::SERVICE_CONTROL_STOP, true, status),
            fp::ERROR_SERVICE_REQUEST_TIMEOUT);
  // The handler still runs: a second control waits behind it and gives up in its turn.
  EXPECT_EQ(manager_->Control("Slow", fp::SERVICE_CONTROL_INTERROGATE, true, status),
            fp::ERROR_SERVICE_REQUEST_TIMEOUT);
  ASSERT_TRUE(WaitFor([&] { return State("Slow") == fp::SERVICE_STOPPED; }));
  EXPECT_EQ(manager_->Control("Slow", fp::SERVICE_CONTROL_INTERROGATE, true, status),
            fp::ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(ManagerTest, ShutdownKillsWhatDoesNotEndInTime) {
  Make();
  Install("Slow", "run --stop-delay-ms 60000");
  Install("Pending", "pending");
  ASSERT_EQ(manager_->Start("Slow", true), 0u);
  ASSERT_EQ(manager_->Start("Pending", true), 0u);
  ASSERT_TRUE(WaitFor([&] { return State("Slow") == fp::SERVICE_RUNNING; }));
  const auto begun = std::chrono::steady_clock::now();
  manager_->Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 10s);
  uint32_t exit_code = 0;
  EXPECT_EQ(State("Slow", &exit_code), fp::SERVICE_STOPPED);
  EXPECT_EQ(exit_code, fp::ERROR_PROCESS_ABORTED);
  EXPECT_EQ(State("Pending"), fp::SERVICE_STOPPED);
  EXPECT_EQ(manager_->Start("Slow", true), fp::ERROR_SHUTDOWN_IN_PROGRESS);
}

TEST_F(ManagerTest, SavesTheDatabaseWholeOrNotAtAllAndLeavesNothingBehind) {
  Make();
  const std::string database = options_.database_folder + "/services";
  // Whatever lies beside the database under any fixed name does not stand in the way.
  std::filesystem::create_directories(database + ".new/x");
  Install("First", "run");
  std::filesystem::remove_all(database + ".new");
  // A database that cannot be replaced fails the change and leaves no half-written copy.
  std::filesystem::remove(database);
  std::filesystem::create_directories(database + "/x");
  ServiceEntry entry;
  entry.name = "Second";
  entry.binary_path = "/opt/test/svc";
  entry.service_type = fp::SERVICE_WIN32_OWN_PROCESS;
  entry.start_type = fp::SERVICE_DEMAND_START;
  EXPECT_NE(manager_->Create(entry, true), 0u);
  std::vector<std::string> left;
  for (const auto& item : std::filesystem::directory_iterator(options_.database_folder)) {
    left.push_back(item.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"services"});
}

}  // namespace
}  // namespace flowsentry::scmd
