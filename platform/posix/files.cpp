#include "platform/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <utility>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/root.h"

namespace flowsentry::platform {
namespace {

// Share modes live as open-file-description locks on single bytes far past any real data, one
// byte per fact: "someone has read access", "someone denies readers", and so on. Every open
// holds a shared lock on the bytes that describe it; an open asks whether another description
// holds a lock on the bytes it must not meet. flock on the whole file (a lock system of its own,
// apart from these) is the gate that makes the check and the taking of locks one step.
constexpr off_t kLockBase = LLONG_MAX - 64;
constexpr off_t kHasRead = kLockBase + 0;
constexpr off_t kHasWrite = kLockBase + 1;
constexpr off_t kDeniesRead = kLockBase + 2;
constexpr off_t kDeniesWrite = kLockBase + 3;
constexpr off_t kDeniesDelete = kLockBase + 4;

bool Fail(Win32Error error) {
  SetLastError(error);
  return false;
}

bool FailErrno() {
  SetLastErrorFromErrno(errno);
  return false;
}

// Whether another open file description holds a lock on `byte`.
bool HeldByOther(int fd, off_t byte) {
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  query.l_start = byte;
  query.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &query) != 0) return false;
  return query.l_type != F_UNLCK;
}

void Hold(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  // A descriptor open for writing only cannot take a shared lock; such an open (a file the
  // process may write but not read) then simply goes unseen by others.
  while (::fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno == EINTR) {
  }
}

// Holds the gate while alive.
class Gate {
 public:
  explicit Gate(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~Gate() { ::flock(fd_, LOCK_UN); }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

 private:
  int fd_;
};

bool IsDirectory(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens the file for the share check that deleting or renaming it needs; an invalid Fd when
// it cannot be opened so (then there is nothing to check).
posix::Fd OpenForDeleteCheck(const std::string& host_path) {
  return posix::Fd(posix::OpenRetrying(host_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
}

}  // namespace

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), access_(std::exchange(other.access_, 0)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    access_ = std::exchange(other.access_, 0);
  }
  return *this;
}

File File::Open(std::string_view machine_path, uint32_t access, uint32_t share,
                Disposition disposition) {
  File file;
  const std::string path = HostPath(machine_path);
  const bool wants_write = (access & GENERIC_WRITE) != 0;
  const bool truncates =
      disposition == Disposition::kCreateAlways || disposition == Disposition::kTruncateExisting;
  if (disposition == Disposition::kTruncateExisting && !wants_write) {
    Fail(ERROR_INVALID_PARAMETER);
    return file;
  }
  if (path.empty()) {
    Fail(ERROR_PATH_NOT_FOUND);
    return file;
  }

  // The descriptor is opened for reading and writing where the process may, whatever the access
  // asked for: the locks need it, and Read and Write check the access themselves.
  const auto open_with = [&](int create_flags) {
    int fd = posix::OpenRetrying(path, O_RDWR | create_flags);
    if (fd < 0 && (errno == EACCES || errno == EROFS) && !wants_write && !truncates) {
      fd = posix::OpenRetrying(path, O_RDONLY | create_flags);
    }
    return fd;
  };
  bool existed = true;
  posix::Fd fd;
  switch (disposition) {
    case Disposition::kCreateNew:
      fd.Reset(open_with(O_CREAT | O_EXCL));
      existed = false;
      break;
    case Disposition::kOpenExisting:
    case Disposition::kTruncateExisting:
      fd.Reset(open_with(0));
      break;
    case Disposition::kCreateAlways:
    case Disposition::kOpenAlways:
      // Open first, create only when missing, so that we know which of the two happened.
      for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
        fd.Reset(open_with(0));
        if (fd.valid() || errno != ENOENT) break;
        fd.Reset(open_with(O_CREAT | O_EXCL));
        existed = !fd.valid();  // on EEXIST another opener created it first: open it again
        if (!fd.valid() && errno != EEXIST) break;
      }
      break;
    default:
      Fail(ERROR_INVALID_PARAMETER);
      return file;
  }
  if (!fd.valid()) {
    if (errno == ENOENT) {
      Fail(posix::NotFoundError(path));
    } else if (errno == EEXIST) {
      Fail(ERROR_FILE_EXISTS);
    } else {
      FailErrno();
    }
    return file;
  }
  if (IsDirectory(fd.get())) {
    Fail(ERROR_ACCESS_DENIED);
    return file;
  }

  {
    const Gate gate(fd.get());
    const bool conflict = ((access & GENERIC_READ) && HeldByOther(fd.get(), kDeniesRead)) ||
                          (wants_write && HeldByOther(fd.get(), kDeniesWrite)) ||
                          (!(share & FILE_SHARE_READ) && HeldByOther(fd.get(), kHasRead)) ||
                          (!(share & FILE_SHARE_WRITE) && HeldByOther(fd.get(), kHasWrite));
    if (conflict) {
      Fail(ERROR_SHARING_VIOLATION);
      return file;
    }
    if (truncates && existed && ::ftruncate(fd.get(), 0) != 0) {
      FailErrno();
      return file;
    }
    if (access & GENERIC_READ) Hold(fd.get(), kHasRead);
    if (wants_write) Hold(fd.get(), kHasWrite);
    if (!(share & FILE_SHARE_READ)) Hold(fd.get(), kDeniesRead);
    if (!(share & FILE_SHARE_WRITE)) Hold(fd.get(), kDeniesWrite);
    if (!(share & FILE_SHARE_DELETE)) Hold(fd.get(), kDeniesDelete);
  }

  const bool reports_existing =
      disposition == Disposition::kOpenAlways || disposition == Disposition::kCreateAlways;
  SetLastError(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  file.fd_ = fd.Release();
  file.access_ = access;
  return file;
}

bool File::Seek(int64_t distance, SeekOrigin origin, int64_t* position) {
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  const int whence = origin == SeekOrigin::kBegin     ? SEEK_SET
                     : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                      : SEEK_END;
  const off_t result = ::lseek(fd_, static_cast<off_t>(distance), whence);
  if (result < 0) return errno == EINVAL ? Fail(ERROR_NEGATIVE_SEEK) : FailErrno();
  if (position != nullptr) *position = static_cast<int64_t>(result);
  return true;
}

bool File::Write(std::string_view bytes, uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!(access_ & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = static_cast<uint32_t>(done);
      return FailErrno();
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (written != nullptr) *written = static_cast<uint32_t>(done);
  return done == bytes.size() ? true : Fail(ERROR_DISK_FULL);
}

bool File::Read(std::span<uint8_t> buffer, uint32_t& read) {
  read = 0;
  if (!IsOpen()) return Fail(ERROR_INVALID_HANDLE);
  if (!(access_ & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED);
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n >= 0) {
      read = static_cast<uint32_t>(n);
      return true;
    }
    if (errno != EINTR) return FailErrno();
  }
}

std::optional<uint64_t> File::Size() const {
  if (!IsOpen()) {
    Fail(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    FailErrno();
    return std::nullopt;
  }
  return static_cast<uint64_t>(st.st_size);
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);  // the share locks go with the descriptor
  fd_ = -1;
  access_ = 0;
}

std::optional<FileInfo> FindFile(std::string_view machine_path) {
  const std::string path = HostPath(machine_path);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    if (path.empty() || errno == ENOENT) {
      Fail(posix::NotFoundError(path));
    } else {
      FailErrno();
    }
    return std::nullopt;
  }
  FileInfo info;
  std::string_view name = machine_path;
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos && name.size() > 1) {
    name.remove_prefix(slash + 1);
  }
  info.name = std::string(name);
  info.is_directory = S_ISDIR(st.st_mode);
  info.size = info.is_directory ? 0 : static_cast<uint64_t>(st.st_size);
  return info;
}

bool MoveFile(std::string_view from, std::string_view to) {
  const std::string source = HostPath(from);
  const std::string target = HostPath(to);
  struct stat st;
  if (source.empty() || ::lstat(source.c_str(), &st) != 0) {
    return errno == ENOENT || source.empty() ? Fail(posix::NotFoundError(source)) : FailErrno();
  }
  const posix::Fd check = OpenForDeleteCheck(source);
  std::optional<Gate> gate;
  if (check.valid()) {
    gate.emplace(check.get());
    if (HeldByOther(check.get(), kDeniesDelete)) return Fail(ERROR_SHARING_VIOLATION);
  }
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno == EINVAL && !S_ISDIR(st.st_mode)) {
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name as well.
    if (::link(source.c_str(), target.c_str()) == 0) {
      ::unlink(source.c_str());
      return true;
    }
  }
  if (errno == EEXIST || errno == ENOTEMPTY) return Fail(ERROR_ALREADY_EXISTS);
  if (errno == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);  // the source exists: the target's folder
  return FailErrno();
}

bool DeleteFile(std::string_view machine_path) {
  const std::string path = HostPath(machine_path);
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT || path.empty() ? Fail(posix::NotFoundError(path)) : FailErrno();
  }
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  const posix::Fd check = OpenForDeleteCheck(path);
  std::optional<Gate> gate;
  if (check.valid()) {
    gate.emplace(check.get());
    if (HeldByOther(check.get(), kDeniesDelete)) return Fail(ERROR_SHARING_VIOLATION);
  }
  if (::unlink(path.c_str()) != 0) {
    return errno == ENOENT ? Fail(posix::NotFoundError(path)) : FailErrno();
  }
  return true;
}

bool CreateDirectory(std::string_view machine_path) {
  const std::string path = HostPath(machine_path);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
  if (errno == ENOENT || errno == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
  return FailErrno();
}

}  // namespace flowsentry::platform
