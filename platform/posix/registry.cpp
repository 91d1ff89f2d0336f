#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/registry_file.h"
#include "platform/root.h"

namespace flowsentry::platform {
namespace {

Win32Error Fail(Win32Error error) {
  SetLastError(error);
  return error;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Serializes the read-modify-write of the file among this process's threads; the lock file
// below does the same among processes.
std::mutex& WriterMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

Win32Error RegistryKey::Open(std::string_view key_path, RegistryKey& key) {
  key.Close();
  std::string text;
  const Win32Error read = posix::ReadWholeFile(LocationPath(Location::kRegistry), text);
  // A missing file or folder is an empty registry: every key is missing.
  if (read == ERROR_FILE_NOT_FOUND || read == ERROR_PATH_NOT_FOUND) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  if (read != ERROR_SUCCESS) return Fail(read);
  const RegistryFile file = RegistryFile::Parse(text);
  if (!file.valid()) return Fail(ERROR_BADDB);
  const std::map<std::string, RegistryValue>* values = file.Values(key_path);
  if (values == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  key.values_ = *values;
  key.open_ = true;
  return ERROR_SUCCESS;
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : open_(std::exchange(other.open_, false)), values_(std::move(other.values_)) {
  other.values_.clear();
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    open_ = std::exchange(other.open_, false);
    values_ = std::move(other.values_);
    other.values_.clear();
  }
  return *this;
}

Win32Error RegistryKey::QueryValue(std::string_view name, std::span<uint8_t> buffer, uint32_t& size,
                                   uint32_t* type) const {
  if (!open_) return Fail(ERROR_INVALID_HANDLE);
  const auto it = values_.find(LowerCase(name));
  if (it == values_.end()) return Fail(ERROR_FILE_NOT_FOUND);
  const RegistryValue& value = it->second;
  if (type != nullptr) *type = value.type;
  size = static_cast<uint32_t>(value.data.size());
  // As with RegQueryValueEx and no data pointer: only the size is asked for.
  if (buffer.data() == nullptr) return ERROR_SUCCESS;
  if (buffer.size() < value.data.size()) return Fail(ERROR_MORE_DATA);
  std::copy(value.data.begin(), value.data.end(), buffer.begin());
  return ERROR_SUCCESS;
}

void RegistryKey::Close() {
  open_ = false;
  values_.clear();
}

Win32Error RegistrySetString(std::string_view key_path, std::string_view name,
                             std::string_view value) {
  const std::string path = LocationPath(Location::kRegistry);
  std::lock_guard process_lock(WriterMutex());

  const std::string folder = path.substr(0, path.rfind('/'));
  if (!folder.empty()) {
    if (const Win32Error error = posix::MakeDirectories(folder); error != ERROR_SUCCESS) {
      return Fail(error);
    }
  }
  posix::Fd lock(posix::OpenRetrying(path + ".lock", O_RDWR | O_CREAT, 0644));
  if (!lock.valid()) return Fail(Win32ErrorFromErrno(errno));
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Fail(Win32ErrorFromErrno(errno));
  }

  std::string text;
  Win32Error error = posix::ReadWholeFile(path, text);
  if (error == ERROR_FILE_NOT_FOUND) {
    text.clear();
  } else if (error != ERROR_SUCCESS) {
    return Fail(error);
  }
  std::string new_text;
  error = RegistryFile::Parse(text).SetString(key_path, name, value, new_text);
  if (error != ERROR_SUCCESS) return Fail(error);
  error = posix::ReplaceFileAtomically(path, new_text);
  if (error != ERROR_SUCCESS) return Fail(error);
  return ERROR_SUCCESS;  // the lock file's lock goes with its descriptor
}

Win32Error RegistryGetString(std::string_view key_path, std::string_view name, std::string& value) {
  value.clear();
  RegistryKey key;
  if (const Win32Error error = RegistryKey::Open(key_path, key); error != ERROR_SUCCESS) {
    return error;
  }
  uint32_t size = 0;
  if (const Win32Error error = key.QueryValue(name, {}, size); error != ERROR_SUCCESS) {
    return error;
  }
  std::vector<uint8_t> data(size);
  if (const Win32Error error = key.QueryValue(name, data, size); error != ERROR_SUCCESS) {
    return error;
  }
  const auto end = std::find(data.begin(), data.end(), uint8_t{0});
  value.assign(data.begin(), end);
  return ERROR_SUCCESS;
}

}  // namespace flowsentry::platform
