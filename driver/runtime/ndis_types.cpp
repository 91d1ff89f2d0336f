#include "driver/runtime/ndis_types.h"

#include <string>
#include <string_view>

namespace flowsentry::ndis {

std::u16string WidenName(std::string_view name) {
  std::u16string result;
  result.reserve(name.size());
  for (char c : name) result.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return result;
}

std::string NarrowName(std::u16string_view name) {
  std::string result;
  result.reserve(name.size());
  for (char16_t c : name) result.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return result;
}

std::u16string_view View(const NDIS_STRING& string) {
  if (string.Buffer == nullptr) return {};
  return {string.Buffer, string.Length / sizeof(char16_t)};
}

}  // namespace flowsentry::ndis
