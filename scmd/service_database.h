// The manager's service database as text: one section per installed service, in the manner of a
// registry export, so an operator can read it.
//
//   [flowSentry]
//   DisplayName=Meridan FlowSentry
//   Description=Meridan FlowSentry
//   ImagePath=/opt/flowsentry/flowmeter
//   Type=272
//   Start=2
//   ErrorControl=1
//   DeleteFlag=1          (only for a service marked for deletion)
//
// Pure: formatting and parsing, no I/O.
#ifndef FLOWSENTRY_SCMD_SERVICE_DATABASE_H_
#define FLOWSENTRY_SCMD_SERVICE_DATABASE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace flowsentry::scmd {

struct ServiceEntry {
  std::string name;
  std::string display_name;
  std::string description;
  std::string binary_path;  // a machine path, then the arguments, split at blanks
  uint32_t service_type = 0;
  uint32_t start_type = 0;
  uint32_t error_control = 0;
  bool marked_for_delete = false;

  bool operator==(const ServiceEntry&) const = default;
};

// The text of the database holding `entries`, in their order.
std::string FormatServiceDatabase(const std::vector<ServiceEntry>& entries);

// The entries of a database text. Lines that do not belong to a section, unknown keys and blank
// lines are passed over; a section whose name or values do not pass the checks below (a
// hand-edited file) is left out, as is a second section of a name already seen. `rejected`, when
// given, counts the sections left out.
std::vector<ServiceEntry> ParseServiceDatabase(std::string_view text, int* rejected = nullptr);

// Checks of what CreateService may store: ERROR_INVALID_NAME for an empty name, one longer than
// 256 characters or holding "/", "\" or a control character; ERROR_INVALID_PARAMETER for a
// display name, description or path with a control character (the database keeps one value a
// line), an empty path, a display name over 256 characters, a path or description over 4096,
// and for a type, start type or error control the manager does not run.
platform::Win32Error CheckServiceName(std::string_view name);
platform::Win32Error CheckServiceEntry(const ServiceEntry& entry);

// Service names compare without regard to ASCII case, as on Windows.
bool SameServiceName(std::string_view a, std::string_view b);

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_SERVICE_DATABASE_H_
