#include "platform/testing/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace flowsentry::platform::testing {
namespace {

int Spawn(const std::vector<std::string>& argv, int stderr_fd) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (stderr_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  const int result = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return nullptr;
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  child->pid_ = Spawn(argv, pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (child->pid_ < 0) {
    ::close(pipe_fds[0]);
    return nullptr;
  }
  child->stderr_ = pipe_fds[0];
  ChildProcess* self = child.get();
  child->reader_ = std::thread([self] {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(self->stderr_, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard lock(self->mu_);
      if (n <= 0) {
        self->closed_ = true;
        self->changed_.notify_all();
        return;
      }
      self->output_.append(buffer, static_cast<size_t>(n));
      self->changed_.notify_all();
    }
  });
  return child;
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  if (reader_.joinable()) reader_.join();
  if (stderr_ >= 0) ::close(stderr_);
}

bool ChildProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds limit) {
  std::unique_lock lock(mu_);
  changed_.wait_for(lock, limit,
                    [&] { return output_.find(text) != std::string::npos || closed_; });
  return output_.find(text) != std::string::npos;
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(mu_);
  return output_;
}

void ChildProcess::Signal(int signal_number) const {
  if (!reaped_) ::kill(pid_, signal_number);
}

int ChildProcess::Wait() {
  if (!reaped_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = DecodeStatus(status);
    reaped_ = true;
  }
  if (reader_.joinable()) reader_.join();
  return status_;
}

int RunQuietly(const std::vector<std::string>& argv) {
  const int pid = Spawn(argv, -1);
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return DecodeStatus(status);
}

}  // namespace flowsentry::platform::testing
