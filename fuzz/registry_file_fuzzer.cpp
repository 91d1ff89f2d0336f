// The registry file: any text parses, lookups hold up, and a string set through SetString reads
// back from the text it gives, with every other key's values left as they were.
#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/registry_file.h"

namespace flowsentry::platform {
namespace {

constexpr std::string_view kKeys[] = {"", "SOFTWARE", "SOFTWARE\\FlowSentry",
                                      "SYSTEM\\CurrentControlSet\\Services\\flowSentry"};

std::vector<uint8_t> Terminated(std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

using Values = std::map<std::string, RegistryValue>;

bool SameValues(const Values& before, const Values& after) {
  return std::equal(before.begin(), before.end(), after.begin(), after.end(),
                    [](const auto& a, const auto& b) {
                      return a.first == b.first && a.second.type == b.second.type &&
                             a.second.data == b.second.data;
                    });
}

}  // namespace
}  // namespace flowsentry::platform

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flowsentry::platform;
  const std::string_view text = flowsentry::fuzz::AsText(data, size);
  const RegistryFile file = RegistryFile::Parse(text);
  for (std::string_view key : kKeys) {
    const auto* values = file.Values(key);
    FUZZ_CHECK(file.HasKey(key) == (values != nullptr));
  }

  // The text's last line names the key and the value to set, so that the fuzzer can aim at the
  // sections it made up: "key\name=value".
  const size_t line_start = text.rfind('\n');
  std::string_view last = line_start == std::string_view::npos ? text : text.substr(line_start + 1);
  const std::string_view key_and_name = flowsentry::fuzz::TakePiece(last, '=');
  const size_t cut = key_and_name.rfind('\\');
  const std::string_view key =
      cut == std::string_view::npos ? "SOFTWARE\\FlowSentry" : key_and_name.substr(0, cut);
  const std::string_view name =
      cut == std::string_view::npos ? key_and_name : key_and_name.substr(cut + 1);
  const std::string_view value = last;

  std::string new_text;
  if (file.SetString(key, name, value, new_text) != ERROR_SUCCESS) return 0;
  const RegistryFile after = RegistryFile::Parse(new_text);
  FUZZ_CHECK(after.valid());
  const auto normalized = RegistryFile::NormalizeKeyPath(key);
  FUZZ_CHECK(normalized.has_value());
  const auto* values = after.Values(*normalized);
  FUZZ_CHECK(values != nullptr);
  std::string lower_name(name);
  for (char& c : lower_name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto it = values->find(lower_name);
  FUZZ_CHECK(it != values->end());
  FUZZ_CHECK(it->second.type == REG_SZ);
  FUZZ_CHECK(it->second.data == Terminated(value));
  // The edit touches that one value only: every other value of the edited key and of the keys
  // the fuzzer is steered towards reads back as before.
  const auto* edited_before = file.Values(*normalized);
  Values expected = edited_before != nullptr ? *edited_before : Values();
  Values actual = *values;
  expected.erase(lower_name);
  actual.erase(lower_name);
  FUZZ_CHECK(SameValues(expected, actual));
  for (std::string_view other : kKeys) {
    const auto other_key = RegistryFile::NormalizeKeyPath(other);
    if (!other_key.has_value() || *other_key == *normalized) continue;
    const auto* before_values = file.Values(*other_key);
    const auto* after_values = after.Values(*other_key);
    if (before_values == nullptr) continue;
    FUZZ_CHECK(after_values != nullptr);
    FUZZ_CHECK(SameValues(*before_values, *after_values));
  }
  return 0;
}
