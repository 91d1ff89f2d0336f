#include "platform/codepage.h"

#include <iconv.h>

#include <cstddef>
#include <cstdint>

namespace flowsentry::platform {
namespace {

// Length of the well-formed UTF-8 sequence of two or more bytes at the start of `s`, or 0
// (overlong forms, surrogates and code points past U+10FFFF are not well-formed).
size_t MultiByteLength(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const auto continuation = [&](size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  const uint8_t lead = byte(0);
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

// One iconv conversion state, closed when destroyed; a state per call keeps the function safe
// from any thread without a lock.
class Converter {
 public:
  Converter() : cd_(iconv_open("WINDOWS-1251", "UTF-8")) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts one well-formed character; false when the code page has no such character.
  bool Convert(std::string_view character, char& out) {
    char* in = const_cast<char*>(character.data());
    size_t in_left = character.size();
    char* out_ptr = &out;
    size_t out_left = 1;
    const size_t result = iconv(cd_, &in, &in_left, &out_ptr, &out_left);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    return result != static_cast<size_t>(-1) && in_left == 0 && out_left == 0;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Utf8ToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size() && static_cast<uint8_t>(text[i]) < 0x80) ++i;
  if (i == text.size()) return std::string(text);  // plain ASCII, the common case

  Converter converter;
  out.append(text.substr(0, i));
  while (i < text.size()) {
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      out.push_back(text[i++]);
      continue;
    }
    const size_t length = MultiByteLength(text.substr(i));
    if (length == 0) {
      out.push_back(text[i++]);  // not UTF-8: the byte stands for itself
      continue;
    }
    char converted = '?';
    if (!converter.ok() || !converter.Convert(text.substr(i, length), converted)) converted = '?';
    out.push_back(converted);
    i += length;
  }
  return out;
}

}  // namespace flowsentry::platform
