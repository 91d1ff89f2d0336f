#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <string>

#include "platform/last_error.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

// Changes the process's current directory for the object's lifetime.
class ScopedDirectory {
 public:
  explicit ScopedDirectory(const std::string& path) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) != nullptr) saved_ = buffer;
    ok_ = chdir(path.c_str()) == 0;
  }
  ~ScopedDirectory() {
    if (!saved_.empty() && chdir(saved_.c_str()) != 0) std::abort();
  }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

// Reads "key:value" lines that a started program writes into a FIFO; the open blocks until the
// program opens its end, so no sleeping is needed.
std::map<std::string, std::string> ReadReport(const std::string& fifo) {
  std::map<std::string, std::string> report;
  const int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return report;
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (const size_t colon = line.find(':'); colon != std::string::npos) {
      report[line.substr(0, colon)] = line.substr(colon + 1);
    }
    at = end + 1;
  }
  return report;
}

bool NoChildLeft() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

TEST(ProcessTest, StartsTheProgramDetachedInItsDirectoryWithItsArguments) {
  testing::TempRoot root;
  // Blanks in the program's folder and in an argument stay where they are.
  ASSERT_TRUE(root.WriteFile("/opt/my app/data/.keep", ""));
  ASSERT_EQ(mkfifo(root.Host("/report").c_str(), 0600), 0);
  // The script tells where it runs, what it got and what it inherited.
  ASSERT_TRUE(root.WriteFile("/opt/my app/report.sh",
                             "#!/bin/sh\n"
                             "in=$(readlink /proc/$$/fd/0)\n"
                             "leak=no; [ -e /proc/$$/fd/$LEAK_FD ] && leak=yes\n"
                             "{ echo \"args:$#:$*\"; echo \"cwd:$(pwd)\"; echo \"stdin:$in\";\n"
                             "  echo \"leak:$leak\"; echo \"root:$FLOWSENTRY_ROOT\";\n"
                             "  echo \"sid:$(cut -d' ' -f6 /proc/$$/stat)\"; } > \"$REPORT\"\n"));
  ASSERT_EQ(chmod(root.Host("/opt/my app/report.sh").c_str(), 0755), 0);

  // A descriptor the caller leaves inheritable must not reach the program.
  const int leak_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(leak_fd, 0);
  setenv("LEAK_FD", std::to_string(leak_fd).c_str(), 1);
  setenv("REPORT", root.Host("/report").c_str(), 1);

  SetLastError(ERROR_GEN_FAILURE);
  ASSERT_TRUE(
      CreateDetachedProcess("/opt/my app/report.sh", {"-r", "two  words"}, "/opt/my app/data"));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  // The intermediate child has been reaped already and the program is not our child.
  EXPECT_TRUE(NoChildLeft());

  std::map<std::string, std::string> report = ReadReport(root.Host("/report"));
  close(leak_fd);
  unsetenv("LEAK_FD");
  unsetenv("REPORT");
  EXPECT_EQ(report["args"], "2:-r two  words");
  EXPECT_EQ(report["cwd"], root.Host("/opt/my app/data"));
  EXPECT_EQ(report["stdin"], "/dev/null");
  EXPECT_EQ(report["leak"], "no");
  EXPECT_EQ(report["root"], root.path());
  ASSERT_FALSE(report["sid"].empty());
  EXPECT_NE(std::stol(report["sid"]), static_cast<long>(getsid(0)));
}

TEST(ProcessTest, ReportsWhyTheProgramCannotStart) {
  testing::TempRoot root;
  ASSERT_TRUE(root.WriteFile("/bin/plain", "#!/bin/sh\nexit 0\n"));  // not executable
  ASSERT_TRUE(root.WriteFile("/bin/garbage", "\x01\x02\x03 not a program\n"));
  ASSERT_EQ(chmod(root.Host("/bin/garbage").c_str(), 0755), 0);
  ASSERT_TRUE(root.WriteFile("/bin/ok", "#!/bin/sh\nexit 0\n"));
  ASSERT_EQ(chmod(root.Host("/bin/ok").c_str(), 0755), 0);

  struct Case {
    const char* program;
    const char* directory;
    Win32Error error;
  };
  for (const Case& c : {
           Case{"/bin/missing", "/bin", ERROR_FILE_NOT_FOUND},
           Case{"/nowhere/flowsetup", "/bin", ERROR_PATH_NOT_FOUND},
           Case{"/bin/plain", "/bin", ERROR_ACCESS_DENIED},
           Case{"/bin/garbage", "/bin", 193},
           Case{"/bin/ok", "/no/such/folder", ERROR_PATH_NOT_FOUND},
           Case{"/bin/ok -r", "/bin", ERROR_FILE_NOT_FOUND},  // never split at the blank
           Case{"", "/bin", ERROR_INVALID_PARAMETER},
       }) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CreateDetachedProcess(c.program, {"-r"}, c.directory)) << c.program;
    EXPECT_EQ(GetLastError(), c.error) << c.program;
    EXPECT_TRUE(NoChildLeft()) << c.program;
  }
}

TEST(ProcessTest, CurrentDirectoryAsAMachinePath) {
  testing::TempRoot root;
  ASSERT_TRUE(root.WriteFile("/opt/flow sentry/x", ""));
  ASSERT_EQ(mkdir((root.path() + "-sibling").c_str(), 0700), 0);

  struct Case {
    std::string host;
    std::optional<std::string> machine;
  };
  for (const Case& c : {
           Case{root.path(), "/"},
           Case{root.Host("/opt/flow sentry"), "/opt/flow sentry"},
           // Shares the root's name as a prefix but lies beside it.
           Case{root.path() + "-sibling", std::nullopt},
           Case{"/", std::nullopt},
       }) {
    ScopedDirectory directory(c.host);
    ASSERT_TRUE(directory.ok()) << c.host;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetCurrentMachineDirectory(), c.machine) << c.host;
    if (!c.machine) {
      EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << c.host;
    }
  }
  rmdir((root.path() + "-sibling").c_str());

  // Named through a symbolic link, the root still contains the directory getcwd reports.
  const std::string link = root.path() + "-link";
  ASSERT_EQ(symlink(root.path().c_str(), link.c_str()), 0);
  setenv("FLOWSENTRY_ROOT", link.c_str(), 1);
  {
    ScopedDirectory directory(root.Host("/opt"));
    ASSERT_TRUE(directory.ok());
    EXPECT_EQ(GetCurrentMachineDirectory(), "/opt");
  }
  setenv("FLOWSENTRY_ROOT", root.path().c_str(), 1);
  unlink(link.c_str());
}

}  // namespace
}  // namespace flowsentry::platform
