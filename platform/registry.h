// HKEY_LOCAL_MACHINE, kept as the REGEDIT4 text file at Location::kRegistry.
//
// The file is read afresh at every open, so an operator's edit takes effect at the next open.
// Key paths are relative to HKEY_LOCAL_MACHINE ("SOFTWARE\\Ardentiaware\\FlowSentry") and
// compare without regard to letter case, as do value names. "" names a key's default value.
// Results are Windows error codes; a failing call also sets the thread's last error.
#ifndef FLOWSENTRY_PLATFORM_REGISTRY_H_
#define FLOWSENTRY_PLATFORM_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace flowsentry::platform {

// Value types, with their Windows numbers.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

struct RegistryValue {
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;  // as RegQueryValueEx returns it: REG_SZ with its terminating zero
};

// An open key: a snapshot of its values taken when it was opened. Closed when destroyed.
class RegistryKey {
 public:
  RegistryKey() = default;
  RegistryKey(RegistryKey&&) noexcept;  // the moved-from key is closed
  RegistryKey& operator=(RegistryKey&&) noexcept;

  // RegOpenKeyEx on HKEY_LOCAL_MACHINE: ERROR_FILE_NOT_FOUND when the file or the key is missing,
  // ERROR_BADDB when the file is not a REGEDIT4 file (then no key exists).
  static Win32Error Open(std::string_view key_path, RegistryKey& key);

  bool IsOpen() const { return open_; }

  // RegQueryValueEx: copies the value's bytes into `buffer` and sets `size` to the value's
  // length. ERROR_FILE_NOT_FOUND when the value is missing; ERROR_MORE_DATA (with `size` set to
  // the length needed) when the buffer is too small. `type` may be null. A span whose data pointer
  // is null (such as {}) asks for the size only, as a null lpData does.
  Win32Error QueryValue(std::string_view name, std::span<uint8_t> buffer, uint32_t& size,
                        uint32_t* type = nullptr) const;

  void Close();

 private:
  bool open_ = false;
  std::map<std::string, RegistryValue> values_;  // by lower-case name
};

// RegCreateKeyEx + RegSetValueEx with REG_SZ: creates the key (and its parents) when missing,
// sets the value, and writes the file back whole (atomically: a reader sees the old file or the
// new one). Used by installation steps, never by the service.
Win32Error RegistrySetString(std::string_view key_path, std::string_view name,
                             std::string_view value);

// Reads a string value whole (without its terminating zero): a convenience over Open and
// QueryValue for callers that have no fixed buffer.
Win32Error RegistryGetString(std::string_view key_path, std::string_view name, std::string& value);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_REGISTRY_H_
