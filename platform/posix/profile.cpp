#include "platform/profile.h"

#include <string>
#include <utility>

#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/root.h"

namespace flowsentry::platform {

uint32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t default_value,
                              std::string_view file_name) {
  std::string contents;
  const Win32Error error = posix::ReadWholeFile(HostPath(file_name), contents);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return static_cast<uint32_t>(default_value);
  }
  const std::optional<std::string> value = FindProfileValue(contents, section, key);
  if (!value) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return static_cast<uint32_t>(default_value);
  }
  if (value->empty()) return static_cast<uint32_t>(default_value);
  return ProfileInteger(*value);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, std::string_view file_name) {
  std::string contents;
  const Win32Error error = posix::ReadWholeFile(HostPath(file_name), contents);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return std::string(default_value);
  }
  std::optional<std::string> value = FindProfileValue(contents, section, key);
  if (!value) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return std::string(default_value);
  }
  return std::move(*value);
}

}  // namespace flowsentry::platform
