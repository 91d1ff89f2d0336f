// Profile (INI) files, read as GetPrivateProfileInt reads them: "[section]" lines, "key=value"
// lines, blanks around names and values ignored, section and key names compared without
// regard to letter case, ";" comment lines. When a name appears more than once, its first
// "key=" line in any section of the name counts.
#ifndef FLOWSENTRY_PLATFORM_PROFILE_H_
#define FLOWSENTRY_PLATFORM_PROFILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace flowsentry::platform {

// The value text of `key` in `section` of a profile file's contents; nullopt when the section
// or the key is missing.
std::optional<std::string> FindProfileValue(std::string_view contents, std::string_view section,
                                            std::string_view key);

// The integer a value text stands for: its leading decimal digits (after an optional "+"); 0
// when it does not begin with a digit and 0 for a negative number; a number too large for 32
// bits gives the largest 32-bit value. Pure.
uint32_t ProfileInteger(std::string_view value);

// GetPrivateProfileInt on the profile file at a machine path: `default_value` when the file,
// the section or the key is missing or the value is empty, else ProfileInteger of the value.
// A file that cannot be read sets the thread's last error (ERROR_FILE_NOT_FOUND when missing).
uint32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t default_value,
                              std::string_view file_name);

// GetPrivateProfileString on the profile file at a machine path: the value text of the key, or
// `default_value` when the file, the section or the key is missing. A file that cannot be read
// sets the thread's last error, as GetPrivateProfileInt does.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, std::string_view file_name);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_PROFILE_H_
