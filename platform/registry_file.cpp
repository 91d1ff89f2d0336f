#include "platform/registry_file.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace flowsentry::platform {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kHive = "HKEY_LOCAL_MACHINE";
// Appended after a hex entry left unfinished at the end of the file. The entry takes this line
// in as its continuation, and the semicolon keeps its byte list as unreadable as it was; on a
// line of its own it would be a comment. Without it the entry would take in the blank line or
// the section SetString appends, and could turn into a value nobody set.
constexpr std::string_view kContinuationCloser = "; (the hex entry above was left unfinished)";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameValues(const std::map<std::string, RegistryValue>& a,
                const std::map<std::string, RegistryValue>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && x.second.type == y.second.type && x.second.data == y.second.data;
  });
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a quoted string starting at s[0] == '"' with the \\ and \" escapes; any other
// backslash stands for itself. Sets `rest` to what follows the closing quote.
std::optional<std::string> ReadQuoted(std::string_view s, std::string_view& rest) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      rest = s.substr(i + 1);
      return out;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out.push_back(s[++i]);
    } else {
      out.push_back(c);
    }
  }
  return std::nullopt;  // no closing quote
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

// Comma-separated bytes of one or two hex digits each, blanks allowed around them; a trailing
// comma is allowed (it precedes a continuation).
std::optional<std::vector<uint8_t>> ReadHexBytes(std::string_view s) {
  std::vector<uint8_t> bytes;
  s = Trim(s);
  while (!s.empty()) {
    size_t digits = 0;
    int value = 0;
    while (digits < s.size() && HexDigit(s[digits]) >= 0) {
      // Only two digits make a byte; a longer run is refused below, and must not overflow first.
      if (digits < 2) value = value * 16 + HexDigit(s[digits]);
      ++digits;
    }
    if (digits == 0 || digits > 2) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(value));
    s = TrimLeft(s.substr(digits));
    if (s.empty()) break;
    if (s.front() != ',') return std::nullopt;
    s = TrimLeft(s.substr(1));
  }
  return bytes;
}

enum class EntryKind { kSet, kDelete };

struct Entry {
  EntryKind kind = EntryKind::kSet;
  RegistryValue value;
};

// The data part of a value entry, after "=" (continuations already joined).
std::optional<Entry> ReadData(std::string_view data) {
  data = Trim(data);
  Entry entry;
  if (data == "-") {
    entry.kind = EntryKind::kDelete;
    return entry;
  }
  if (!data.empty() && data.front() == '"') {
    std::string_view rest;
    std::optional<std::string> text = ReadQuoted(data, rest);
    if (!text || !Trim(rest).empty()) return std::nullopt;
    entry.value.type = REG_SZ;
    entry.value.data.assign(text->begin(), text->end());
    entry.value.data.push_back(0);
    return entry;
  }
  if (StartsWithNoCase(data, "dword:")) {
    const std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t number = 0;
    for (char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      number = number * 16 + static_cast<uint32_t>(digit);
    }
    entry.value.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) entry.value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
    return entry;
  }
  if (StartsWithNoCase(data, "hex")) {
    std::string_view rest = data.substr(3);
    uint32_t type = REG_BINARY;
    if (!rest.empty() && rest.front() == '(') {
      const size_t close = rest.find(')');
      if (close == std::string_view::npos || close == 1 || close > 9) return std::nullopt;
      type = 0;
      for (char c : rest.substr(1, close - 1)) {
        const int digit = HexDigit(c);
        if (digit < 0) return std::nullopt;
        type = type * 16 + static_cast<uint32_t>(digit);
      }
      rest = rest.substr(close + 1);
    }
    if (rest.empty() || rest.front() != ':') return std::nullopt;
    std::optional<std::vector<uint8_t>> bytes = ReadHexBytes(rest.substr(1));
    if (!bytes) return std::nullopt;
    entry.value.type = type;
    entry.value.data = std::move(*bytes);
    return entry;
  }
  return std::nullopt;
}

std::vector<std::string> SplitLines(std::string_view text, std::string& line_end) {
  std::vector<std::string> lines;
  bool line_end_seen = false;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    if (!line_end_seen && newline != std::string_view::npos) {
      line_end = !line.empty() && line.back() == '\r' ? "\r\n" : "\n";
      line_end_seen = true;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
  return lines;
}

}  // namespace

std::optional<std::string> RegistryFile::NormalizeKeyPath(std::string_view key_path) {
  while (!key_path.empty() && key_path.front() == '\\') key_path.remove_prefix(1);
  while (!key_path.empty() && key_path.back() == '\\') key_path.remove_suffix(1);
  if (key_path.find("\\\\") != std::string_view::npos) return std::nullopt;
  return LowerCase(key_path);
}

RegistryFile RegistryFile::Parse(std::string_view text) {
  RegistryFile file;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte-order mark
  file.lines_ = SplitLines(text, file.line_end_);

  bool header_seen = false;
  Key* current = nullptr;  // the key whose section we are in; null outside HKEY_LOCAL_MACHINE
  for (size_t i = 0; i < file.lines_.size(); ++i) {
    const std::string_view line = Trim(file.lines_[i]);
    if (line.empty()) continue;
    file.blank_ = false;
    if (line.front() == ';') continue;
    if (!header_seen) {
      if (line != kHeader) {
        file.valid_ = false;
        file.keys_.clear();
        return file;
      }
      header_seen = true;
      continue;
    }

    if (line.front() == '[') {
      current = nullptr;
      const size_t close = line.rfind(']');
      if (close == std::string_view::npos) continue;
      std::string_view name = line.substr(1, close - 1);
      const bool remove = !name.empty() && name.front() == '-';
      if (remove) name.remove_prefix(1);
      if (!StartsWithNoCase(name, kHive)) continue;
      std::string_view relative = name.substr(kHive.size());
      if (!relative.empty() && relative.front() != '\\') continue;  // another hive's name
      const std::optional<std::string> path = NormalizeKeyPath(relative);
      if (!path) continue;
      if (remove) {
        // The key and every key below it.
        const std::string prefix = path->empty() ? "" : *path + "\\";
        for (auto it = file.keys_.begin(); it != file.keys_.end();) {
          if (it->first == *path || it->first.starts_with(prefix)) {
            it = file.keys_.erase(it);
          } else {
            ++it;
          }
        }
        continue;
      }
      auto it = file.keys_.try_emplace(*path).first;
      it->second.header_line = i;
      it->second.insert_line = i + 1;
      it->second.entry_lines.clear();
      current = &it->second;
      continue;
    }

    if (line.front() != '"' && line.front() != '@') continue;  // not a line we know
    std::string name;
    std::string_view rest;
    if (line.front() == '@') {
      rest = line.substr(1);
    } else {
      std::optional<std::string> quoted = ReadQuoted(line, rest);
      if (!quoted) continue;
      name = std::move(*quoted);
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != '=') continue;
    std::string data(TrimLeft(rest.substr(1)));
    const size_t first = i;
    if (StartsWithNoCase(data, "hex")) {
      // A trailing backslash carries the byte list on to the next line.
      while (!data.empty() && data.back() == '\\' && i + 1 < file.lines_.size()) {
        data.pop_back();
        data += Trim(file.lines_[++i]);
      }
      // Only the last line can be left wanting a continuation.
      file.open_continuation_ = !data.empty() && data.back() == '\\';
    }
    if (current == nullptr) continue;
    std::optional<Entry> entry = ReadData(data);
    if (!entry) continue;
    const std::string lower = LowerCase(name);
    if (entry->kind == EntryKind::kDelete) {
      current->values.erase(lower);
    } else {
      current->values[lower] = std::move(entry->value);
    }
    current->entry_lines[lower] = {first, i + 1};
    current->insert_line = i + 1;
  }
  if (!header_seen && !file.blank_) file.valid_ = false;
  return file;
}

bool RegistryFile::HasKey(std::string_view key_path) const {
  if (!valid_) return false;
  const std::optional<std::string> path = NormalizeKeyPath(key_path);
  if (!path) return false;
  if (path->empty()) return true;
  if (keys_.contains(*path)) return true;
  const std::string prefix = *path + "\\";
  const auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && it->first.starts_with(prefix);
}

const std::map<std::string, RegistryValue>* RegistryFile::Values(std::string_view key_path) const {
  static const std::map<std::string, RegistryValue> kNoValues;
  if (!HasKey(key_path)) return nullptr;
  const auto it = keys_.find(*NormalizeKeyPath(key_path));
  return it != keys_.end() ? &it->second.values : &kNoValues;
}

std::vector<std::string> RegistryFile::LinesToAppendTo() const {
  std::vector<std::string> lines =
      blank_ ? std::vector<std::string>{std::string(kHeader), ""} : lines_;
  if (open_continuation_) lines.emplace_back(kContinuationCloser);
  return lines;
}

std::string RegistryFile::Join(const std::vector<std::string>& lines) const {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += line_end_;
  }
  return text;
}

Win32Error RegistryFile::SetString(std::string_view key_path, std::string_view name,
                                   std::string_view value, std::string& new_text) const {
  const std::optional<std::string> path = NormalizeKeyPath(key_path);
  if (!path || path->empty()) return ERROR_INVALID_PARAMETER;
  for (std::string_view part : {key_path, name}) {
    for (char c : part) {
      if (c == '\r' || c == '\n' || c == '\0') return ERROR_INVALID_PARAMETER;
    }
  }
  if (key_path.find(']') != std::string_view::npos) return ERROR_INVALID_PARAMETER;
  if (!valid_) return ERROR_BADDB;

  // A text the quoted form cannot carry (a line break, a zero byte) goes as hex(1) bytes.
  std::string entry = name.empty() ? "@=" : Quote(name) + "=";
  if (value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos) {
    entry += Quote(value);
  } else {
    static constexpr char kDigits[] = "0123456789abcdef";
    entry += "hex(1):";
    for (size_t i = 0; i <= value.size(); ++i) {
      const auto byte = static_cast<uint8_t>(i < value.size() ? value[i] : 0);
      if (i > 0) entry += ',';
      entry += kDigits[byte >> 4];
      entry += kDigits[byte & 15];
    }
  }

  std::vector<std::string> lines =
      blank_ ? std::vector<std::string>{std::string(kHeader), ""} : lines_;
  const std::string lower_name = LowerCase(name);
  const auto key = keys_.find(*path);
  if (key != keys_.end()) {
    const auto old = key->second.entry_lines.find(lower_name);
    if (old != key->second.entry_lines.end()) {
      const auto [first, end] = old->second;
      lines.erase(lines.begin() + static_cast<ptrdiff_t>(first),
                  lines.begin() + static_cast<ptrdiff_t>(end));
      lines.insert(lines.begin() + static_cast<ptrdiff_t>(first), entry);
    } else {
      lines.insert(lines.begin() + static_cast<ptrdiff_t>(key->second.insert_line), entry);
    }
  } else {
    lines = LinesToAppendTo();
    while (!lines.empty() && Trim(lines.back()).empty()) lines.pop_back();
    lines.emplace_back();
    std::string_view spelled = key_path;
    while (!spelled.empty() && spelled.front() == '\\') spelled.remove_prefix(1);
    while (!spelled.empty() && spelled.back() == '\\') spelled.remove_suffix(1);
    lines.push_back("[" + std::string(kHive) + "\\" + std::string(spelled) + "]");
    lines.push_back(entry);
  }
  new_text = Join(lines);

  // The edit must read back as intended and leave every other value as it was; should some odd
  // layout defeat the in-place edit, a section appended at the end wins over everything before.
  const auto reads_back = [&](const std::string& text) {
    const RegistryFile check = Parse(text);
    const auto* values = check.Values(*path);
    if (values == nullptr) return false;
    const auto it = values->find(lower_name);
    if (it == values->end() || it->second.type != REG_SZ) return false;
    if (it->second.data.size() != value.size() + 1 ||
        !std::equal(value.begin(), value.end(), it->second.data.begin())) {
      return false;
    }
    // Apart from that value every key keeps its values, and only the edited key may be new (its
    // parents need no section of their own).
    for (const auto& [other_path, other] : keys_) {
      const auto after = check.keys_.find(other_path);
      if (after == check.keys_.end()) return false;
      if (other_path != *path) {
        if (!SameValues(other.values, after->second.values)) return false;
        continue;
      }
      auto expected = other.values;
      auto actual = after->second.values;
      expected.erase(lower_name);
      actual.erase(lower_name);
      if (!SameValues(expected, actual)) return false;
    }
    return check.keys_.size() == keys_.size() + (keys_.contains(*path) ? 0 : 1);
  };
  if (reads_back(new_text)) return ERROR_SUCCESS;
  lines = LinesToAppendTo();
  lines.emplace_back();
  lines.push_back("[" + std::string(kHive) + "\\" + *path + "]");
  lines.push_back(entry);
  new_text = Join(lines);
  return reads_back(new_text) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

}  // namespace flowsentry::platform
