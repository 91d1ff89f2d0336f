#include "scmd/testing/scm_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/root.h"
#include "platform/service_control.h"

extern char** environ;

namespace flowsentry::scmd::testing {

std::string ScmdPath() { return FLOWSENTRY_SCMD_PATH; }
std::string TestServicePath() { return FLOWSENTRY_TEST_SERVICE_PATH; }

ScmFixture::~ScmFixture() { Stop(); }

bool ScmFixture::Start() {
  if (running()) return true;
  error_path_ = platform::HostPath("/var/log/scmd.err");
  std::filesystem::create_directories(std::filesystem::path(error_path_).parent_path());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, error_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::string program = ScmdPath();
  char* argv[] = {program.data(), nullptr};
  pid_t pid = 0;
  const int result = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  pid_ = pid;
  const bool answered = WaitFor(
      [&] {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          return true;
        }
        return platform::OpenSCManager(platform::SC_MANAGER_CONNECT).IsValid();
      },
      std::chrono::milliseconds(60000));
  return answered && running();
}

int ScmFixture::Stop() {
  if (!running()) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ScmFixture::Output() const {
  std::ifstream file(error_path_);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool ScmFixture::InstallProgram(std::string_view machine_path, const std::string& host_program) {
  const std::filesystem::path link = platform::HostPath(machine_path);
  std::error_code error;
  std::filesystem::create_directories(link.parent_path(), error);
  std::filesystem::remove(link, error);
  std::filesystem::create_symlink(host_program, link, error);
  return !error;
}

}  // namespace flowsentry::scmd::testing
