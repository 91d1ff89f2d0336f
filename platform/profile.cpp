#include "platform/profile.h"

#include <limits>

namespace flowsentry::platform {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view contents, std::string_view section,
                                            std::string_view key) {
  section = Trim(section);
  key = Trim(key);
  bool in_section = false;
  while (!contents.empty()) {
    const size_t newline = contents.find('\n');
    const std::string_view line = Trim(contents.substr(0, newline));
    contents.remove_prefix(newline == std::string_view::npos ? contents.size() : newline + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name =
          Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      in_section = EqualsNoCase(name, section);
      continue;
    }
    if (!in_section) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!EqualsNoCase(Trim(line.substr(0, equals)), key)) continue;
    std::string_view value = Trim(line.substr(equals + 1));
    // A value in matching quotes stands for what is between them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

uint32_t ProfileInteger(std::string_view value) {
  value = Trim(value);
  if (!value.empty() && value.front() == '-') return 0;
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  uint64_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(number);
}

}  // namespace flowsentry::platform
