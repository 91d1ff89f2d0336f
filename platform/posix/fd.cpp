#include "platform/posix/fd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_map.h"

namespace flowsentry::platform::posix {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int Fd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int OpenRetrying(const std::string& path, int flags, int mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Win32Error ReadWholeFile(const std::string& host_path, std::string& contents) {
  contents.clear();
  Fd fd(OpenRetrying(host_path, O_RDONLY));
  if (!fd.valid()) {
    return errno == ENOENT ? NotFoundError(host_path) : Win32ErrorFromErrno(errno);
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (n == 0) return ERROR_SUCCESS;
    contents.append(buffer, static_cast<size_t>(n));
  }
}

bool SendAll(int fd, const uint8_t* bytes, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    const ssize_t result = ::send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    sent += static_cast<size_t>(result);
  }
  return true;
}

bool ReceiveExactly(int fd, uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t got = ::recv(fd, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

Win32Error WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (n == 0) return ERROR_DISK_FULL;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return ERROR_SUCCESS;
}

Win32Error ReplaceFileAtomically(const std::string& host_path, std::string_view contents) {
  std::string temp = host_path + ".XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return Win32ErrorFromErrno(errno);
  // Keep the mode of the file being replaced; a new file is readable by everyone.
  struct stat old_stat;
  const mode_t mode = ::stat(host_path.c_str(), &old_stat) == 0 ? (old_stat.st_mode & 07777) : 0644;
  Win32Error error = WriteAll(fd.get(), contents);
  if (error == ERROR_SUCCESS && ::fchmod(fd.get(), mode) != 0) error = Win32ErrorFromErrno(errno);
  if (error == ERROR_SUCCESS && ::fsync(fd.get()) != 0) error = Win32ErrorFromErrno(errno);
  fd.Reset();
  if (error == ERROR_SUCCESS && ::rename(temp.c_str(), host_path.c_str()) != 0) {
    error = Win32ErrorFromErrno(errno);
  }
  if (error != ERROR_SUCCESS) ::unlink(temp.c_str());
  return error;
}

Win32Error MakeDirectories(const std::string& host_path) {
  for (size_t slash = host_path.find('/', 1);; slash = host_path.find('/', slash + 1)) {
    const std::string prefix = host_path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return Win32ErrorFromErrno(errno);
    }
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (::stat(host_path.c_str(), &st) != 0) return Win32ErrorFromErrno(errno);
  return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

Win32Error NotFoundError(const std::string& host_path) {
  const size_t slash = host_path.rfind('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  const std::string folder = slash == 0 ? "/" : host_path.substr(0, slash);
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

}  // namespace flowsentry::platform::posix
