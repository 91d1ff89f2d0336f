#include "scmd/service_database.h"

#include <charconv>

#include "platform/service_control.h"

namespace flowsentry::scmd {
namespace {

using platform::ERROR_INVALID_NAME;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_SUCCESS;

constexpr size_t kMaxNameLength = 256;
constexpr size_t kMaxTextLength = 4096;

bool HasControlCharacter(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool ParseNumber(std::string_view text, uint32_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && !text.empty();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameServiceName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

platform::Win32Error CheckServiceName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || HasControlCharacter(name) ||
      name.find_first_of("/\\[]") != std::string_view::npos) {
    return ERROR_INVALID_NAME;
  }
  return ERROR_SUCCESS;
}

platform::Win32Error CheckServiceEntry(const ServiceEntry& entry) {
  if (const auto error = CheckServiceName(entry.name); error != ERROR_SUCCESS) return error;
  if (HasControlCharacter(entry.display_name) || HasControlCharacter(entry.description) ||
      HasControlCharacter(entry.binary_path) || entry.binary_path.empty() ||
      entry.display_name.size() > kMaxNameLength || entry.binary_path.size() > kMaxTextLength ||
      entry.description.size() > kMaxTextLength) {
    return ERROR_INVALID_PARAMETER;
  }
  const uint32_t base_type = entry.service_type & ~platform::SERVICE_INTERACTIVE_PROCESS;
  if (base_type != platform::SERVICE_WIN32_OWN_PROCESS) return ERROR_INVALID_PARAMETER;
  if (entry.start_type < platform::SERVICE_AUTO_START ||
      entry.start_type > platform::SERVICE_DISABLED) {
    return ERROR_INVALID_PARAMETER;
  }
  if (entry.error_control > 3) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

std::string FormatServiceDatabase(const std::vector<ServiceEntry>& entries) {
  std::string text;
  for (const auto& entry : entries) {
    text += "[" + entry.name + "]\n";
    text += "DisplayName=" + entry.display_name + "\n";
    text += "Description=" + entry.description + "\n";
    text += "ImagePath=" + entry.binary_path + "\n";
    text += "Type=" + std::to_string(entry.service_type) + "\n";
    text += "Start=" + std::to_string(entry.start_type) + "\n";
    text += "ErrorControl=" + std::to_string(entry.error_control) + "\n";
    if (entry.marked_for_delete) text += "DeleteFlag=1\n";
    text += "\n";
  }
  return text;
}

std::vector<ServiceEntry> ParseServiceDatabase(std::string_view text, int* rejected) {
  std::vector<ServiceEntry> entries;
  int left_out = 0;
  ServiceEntry current;
  bool in_section = false;
  bool section_ok = true;
  auto finish = [&] {
    if (!in_section) return;
    bool duplicate = false;
    for (const auto& entry : entries)
      duplicate = duplicate || SameServiceName(entry.name, current.name);
    if (section_ok && !duplicate && CheckServiceEntry(current) == ERROR_SUCCESS) {
      entries.push_back(current);
    } else {
      ++left_out;
    }
  };
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      finish();
      current = ServiceEntry{};
      current.name = std::string(line.substr(1, line.size() - 2));
      in_section = true;
      section_ok = true;
      continue;
    }
    const size_t equals = line.find('=');
    if (!in_section || equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (key == "DisplayName") {
      current.display_name = std::string(value);
    } else if (key == "Description") {
      current.description = std::string(value);
    } else if (key == "ImagePath") {
      current.binary_path = std::string(value);
    } else if (key == "Type") {
      section_ok = section_ok && ParseNumber(value, current.service_type);
    } else if (key == "Start") {
      section_ok = section_ok && ParseNumber(value, current.start_type);
    } else if (key == "ErrorControl") {
      section_ok = section_ok && ParseNumber(value, current.error_control);
    } else if (key == "DeleteFlag") {
      current.marked_for_delete = value == "1";
    }
  }
  finish();
  if (rejected != nullptr) *rejected = left_out;
  return entries;
}

}  // namespace flowsentry::scmd
