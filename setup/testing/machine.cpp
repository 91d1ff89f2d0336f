#include "setup/testing/machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "scmd/testing/scm_fixture.h"
#include "setup/commands.h"

namespace flowsentry::setup::testing {

namespace p = platform;

struct Machine::Parts {
  p::testing::TempRoot root;
  scmd::testing::ScmFixture scm;
};

Machine::Machine(std::string_view mode) : parts_(std::make_unique<Parts>()) {
  const std::string install = parts_->root.Host(kInstallDirectory);
  std::filesystem::create_directories(install);
  std::filesystem::copy_file(FLOWSENTRY_TEST_SERVICE, install + "/flowmeter");
  if (!mode.empty()) parts_->root.WriteFile(std::string(kInstallDirectory) + "/mode", mode);
  started_ = parts_->scm.Start();
}

Machine::~Machine() = default;

const p::testing::TempRoot& Machine::root() const { return parts_->root; }

ToolRun Machine::Run(const std::string& program, const std::string& arguments,
                     const std::string& directory) {
  // The shell quotes only the folder and the program; the arguments go as the test wrote them.
  const std::string command =
      "cd '" + directory + "' && '" + program + "' " + arguments + " 2>/dev/null";
  ToolRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ToolRun Machine::Flowsetup(const std::string& arguments) const {
  return Run(FLOWSENTRY_FLOWSETUP, arguments, parts_->root.Host(kInstallDirectory));
}

ToolRun Machine::Sc(const std::string& arguments) const {
  return Run(FLOWSENTRY_SC, arguments, parts_->root.path());
}

std::string Machine::SetupLog() const {
  const std::string path = std::string(kInstallDirectory) + "/" + kLogFileName;
  return parts_->root.Exists(path) ? parts_->root.ReadFile(path) : "(missing)";
}

std::optional<p::SERVICE_STATUS_PROCESS> Machine::Status() const {
  p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_CONNECT);
  p::ScHandle service = p::OpenService(manager, kServiceName, p::SERVICE_QUERY_STATUS);
  p::SERVICE_STATUS_PROCESS status;
  if (!service.IsValid() || !p::QueryServiceStatusEx(service, status)) return std::nullopt;
  return status;
}

bool Machine::StartAndWait() const {
  std::string message;
  return startService(message, RealWaits());
}

}  // namespace flowsentry::setup::testing
