#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

using testing::TempRoot;

std::string ReadAll(File& file) {
  std::string out;
  uint8_t buffer[256];
  uint32_t read = 0;
  file.Seek(0, SeekOrigin::kBegin);
  while (file.Read(buffer, read) && read > 0) out.append(buffer, buffer + read);
  return out;
}

TEST(FilesTest, DispositionsAndAppend) {
  TempRoot root;
  SetLastError(0);
  {
    File f =
        File::Open("/log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, Disposition::kOpenAlways);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // created
    EXPECT_TRUE(f.Write("one\r\n"));
  }
  {
    File f =
        File::Open("/log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, Disposition::kOpenAlways);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);  // opened, not truncated
    int64_t end = 0;
    ASSERT_TRUE(f.Seek(0, SeekOrigin::kEnd, &end));
    EXPECT_EQ(end, 5);
    EXPECT_TRUE(f.Write("two\r\n"));
    EXPECT_EQ(ReadAll(f), "one\r\ntwo\r\n");
    EXPECT_EQ(f.Size(), 10u);
  }
  {
    File f = File::Open("/log", GENERIC_WRITE, 0, Disposition::kCreateAlways);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(f.Size(), 0u);  // truncated
    uint8_t b[4];
    uint32_t n = 0;
    EXPECT_FALSE(f.Read(b, n));  // opened without read access
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_FALSE(File::Open("/log", GENERIC_READ, 0, Disposition::kCreateNew).IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_FALSE(File::Open("/none", GENERIC_READ, 0, Disposition::kOpenExisting).IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(File::Open("/no/dir/f", GENERIC_WRITE, 0, Disposition::kOpenAlways).IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(CreateDirectory("/dir"));
  EXPECT_FALSE(File::Open("/dir", GENERIC_READ, 0, Disposition::kOpenExisting).IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FilesTest, ShareModes) {
  TempRoot root;
  ASSERT_TRUE(root.WriteFile("/f", "data"));
  constexpr uint32_t kRw = GENERIC_READ | GENERIC_WRITE;
  struct Case {
    uint32_t first_access, first_share, second_access, second_share;
    bool second_opens;
  };
  const Case cases[] = {
      // The log's open: readers welcome, a second writer refused.
      {kRw, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
      {kRw, FILE_SHARE_READ, kRw, FILE_SHARE_READ, false},
      {kRw, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      // A reader that denies writers keeps a writer out, and is kept out by one.
      {GENERIC_READ, FILE_SHARE_READ, kRw, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, true},
      {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, false},
      // Deny all.
      {kRw, 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, 0, false},
      {kRw, FILE_SHARE_READ | FILE_SHARE_WRITE, kRw, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
  };
  for (const Case& c : cases) {
    File first = File::Open("/f", c.first_access, c.first_share, Disposition::kOpenExisting);
    ASSERT_TRUE(first.IsOpen());
    File second = File::Open("/f", c.second_access, c.second_share, Disposition::kOpenExisting);
    EXPECT_EQ(second.IsOpen(), c.second_opens) << c.first_access << "/" << c.first_share << " then "
                                               << c.second_access << "/" << c.second_share;
    if (!c.second_opens) {
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
  }
  // A refused create-always truncates nothing; closing the holder lets the next open in.
  {
    File holder = File::Open("/f", kRw, 0, Disposition::kOpenExisting);
    EXPECT_FALSE(File::Open("/f", GENERIC_WRITE, 0, Disposition::kCreateAlways).IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(holder.Size(), 4u);
  }
  EXPECT_TRUE(File::Open("/f", kRw, 0, Disposition::kOpenExisting).IsOpen());
}

TEST(FilesTest, ShareModesHoldAcrossProcesses) {
  TempRoot root;
  int to_child[2];
  int to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    File f = File::Open("/shared.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                        Disposition::kOpenAlways);
    char c = f.IsOpen() ? 'y' : 'n';
    (void)!write(to_parent[1], &c, 1);
    (void)!read(to_child[0], &c, 1);  // hold the file until told
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  EXPECT_FALSE(File::Open("/shared.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                          Disposition::kOpenAlways)
                   .IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(File::Open("/shared.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         Disposition::kOpenExisting)
                  .IsOpen());
  (void)!write(to_child[1], "x", 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(File::Open("/shared.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                         Disposition::kOpenAlways)
                  .IsOpen());
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(fd);
}

TEST(FilesTest, MoveDeleteFindAndDirectories) {
  TempRoot root;
  ASSERT_TRUE(root.WriteFile("/a/out.log", "12345"));
  ASSERT_TRUE(root.WriteFile("/a/old.pkt", "x"));

  const std::optional<FileInfo> info = FindFile("/a/out.log");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->name, "out.log");
  EXPECT_EQ(info->size, 5u);
  EXPECT_FALSE(info->is_directory);
  EXPECT_FALSE(FindFile("/a/none"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(FindFile("/b/none"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // Move never replaces.
  EXPECT_FALSE(MoveFile("/a/out.log", "/a/old.pkt"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(root.ReadFile("/a/old.pkt"), "x");
  EXPECT_FALSE(MoveFile("/a/none", "/a/new"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  {
    File open = File::Open("/a/out.log", GENERIC_READ, FILE_SHARE_READ, Disposition::kOpenExisting);
    EXPECT_FALSE(MoveFile("/a/out.log", "/a/new.pkt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFile("/a/out.log"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  {
    File open = File::Open("/a/out.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           Disposition::kOpenExisting);
    EXPECT_TRUE(MoveFile("/a/out.log", "/a/new.pkt"));
  }
  EXPECT_EQ(root.ReadFile("/a/new.pkt"), "12345");
  EXPECT_FALSE(root.Exists("/a/out.log"));

  EXPECT_TRUE(DeleteFile("/a/new.pkt"));
  EXPECT_FALSE(DeleteFile("/a/new.pkt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFile("/a"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  EXPECT_TRUE(CreateDirectory("/a/packets"));
  EXPECT_FALSE(CreateDirectory("/a/packets"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectory("/x/y"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(FindFile("/a/packets")->is_directory);
}

TEST(ErrnoMapTest, Codes) {
  struct Case {
    int error_number;
    Win32Error code;
  };
  const Case cases[] = {{0, ERROR_SUCCESS},
                        {ENOENT, ERROR_FILE_NOT_FOUND},
                        {ENOTDIR, ERROR_PATH_NOT_FOUND},
                        {EACCES, ERROR_ACCESS_DENIED},
                        {EEXIST, ERROR_ALREADY_EXISTS},
                        {ENOSPC, ERROR_DISK_FULL},
                        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                        {EDOM, ERROR_GEN_FAILURE}};
  for (const Case& c : cases) EXPECT_EQ(Win32ErrorFromErrno(c.error_number), c.code);
  SetLastError(0);
  EXPECT_EQ(SetLastErrorFromErrno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace flowsentry::platform
