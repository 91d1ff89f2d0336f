// Code page conversion at the system's text boundaries: the programs keep their texts in UTF-8,
// the files they write for Windows readers hold Windows-1251 (the Cyrillic ANSI code page).
#ifndef FLOWSENTRY_PLATFORM_CODEPAGE_H_
#define FLOWSENTRY_PLATFORM_CODEPAGE_H_

#include <string>
#include <string_view>

namespace flowsentry::platform {

// UTF-8 to Windows-1251. ASCII is unchanged; a well-formed UTF-8 character that the code page
// lacks becomes "?"; bytes that do not form UTF-8 (text already in a single-byte code page, a
// truncated sequence) pass through unchanged. Safe from any thread.
std::string Utf8ToCp1251(std::string_view text);

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_CODEPAGE_H_
