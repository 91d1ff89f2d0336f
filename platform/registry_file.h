// The REGEDIT4 text format of the registry file: parsing it into keys and values, and editing
// one string value while keeping the rest of the file (comments, other hives, layout) as it was.
// Pure text handling; the file itself is read and written by the registry functions.
//
// Understood: the "REGEDIT4" header; [HKEY_LOCAL_MACHINE\...] key lines and [-...] key
// deletions; "name"= and @= (default value) entries with "text" (\\ and \" escapes), dword:,
// hex: and hex(N): data (comma-separated bytes, continued onto the next line by a trailing
// backslash), and - (value deletion); ; comments; LF or CR LF line ends. A later entry for the
// same value wins, as when regedit imports the file. A line that cannot be understood is
// skipped; values under other hives are ignored but kept in the text.
#ifndef FLOWSENTRY_PLATFORM_REGISTRY_FILE_H_
#define FLOWSENTRY_PLATFORM_REGISTRY_FILE_H_

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"

namespace flowsentry::platform {

class RegistryFile {
 public:
  // Never fails: what cannot be understood is left out.
  static RegistryFile Parse(std::string_view text);

  // False when the text is neither blank nor starts with the REGEDIT4 header: such a file is
  // not a registry file and holds no keys.
  bool valid() const { return valid_; }

  // Whether the key exists under HKEY_LOCAL_MACHINE: named by a key line, or a parent of one
  // (regedit creates the parents of every key it imports). "" is HKEY_LOCAL_MACHINE itself.
  bool HasKey(std::string_view key_path) const;

  // The values of an existing key by lower-case name; nullptr when the key does not exist.
  const std::map<std::string, RegistryValue>* Values(std::string_view key_path) const;

  // The file's text with the REG_SZ value `name` of `key_path` set to `value`: the value's
  // entry is replaced in place, or added to the key's section, or a new section is appended.
  // Every other value of every key reads back from the new text as it did from the old one
  // (a file ending in an unfinished continuation gets a comment line that closes it first).
  // ERROR_INVALID_PARAMETER for a key path or name that the format cannot hold, or when no
  // edit leaves the rest of the file as it was; ERROR_BADDB when the file is not a registry
  // file (it is left alone rather than overwritten).
  Win32Error SetString(std::string_view key_path, std::string_view name, std::string_view value,
                       std::string& new_text) const;

  // Key path as the lookups use it: lower case, no leading or trailing backslash; nullopt when
  // a component is empty.
  static std::optional<std::string> NormalizeKeyPath(std::string_view key_path);

 private:
  struct Key {
    std::map<std::string, RegistryValue> values;
    // The key's last section in the file: where its header stands, where a new entry goes, and
    // the lines of each value's last entry in it.
    size_t header_line = 0;
    size_t insert_line = 0;
    std::map<std::string, std::pair<size_t, size_t>> entry_lines;
  };

  std::string Join(const std::vector<std::string>& lines) const;
  // The file's lines ready for text appended at their end: the header for a blank file, and a
  // closing line after an unfinished continuation, which would otherwise take the appended
  // text in.
  std::vector<std::string> LinesToAppendTo() const;

  bool valid_ = true;
  bool blank_ = true;
  // The last line is a hex entry whose trailing backslash has no line to continue on.
  bool open_continuation_ = false;
  std::string line_end_ = "\r\n";
  std::vector<std::string> lines_;
  std::map<std::string, Key> keys_;  // by normalized path
};

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_REGISTRY_FILE_H_
