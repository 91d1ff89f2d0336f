#include "sc/sc.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/last_error.h"
#include "platform/service_control.h"
#include "sc/format.h"

namespace flowsentry::sc {
namespace {

namespace p = platform;

// What one verb asks of the service and the name sc gives its failed open.
struct Verb {
  std::string_view name;
  uint32_t access;
  std::string_view open_operation;
};

constexpr Verb kVerbs[] = {
    {"query", p::SERVICE_QUERY_STATUS, "EnumQueryServicesStatus:OpenService"},
    {"queryex", p::SERVICE_QUERY_STATUS, "EnumQueryServicesStatus:OpenService"},
    {"qc", p::SERVICE_QUERY_CONFIG, "OpenService"},
    {"start", p::SERVICE_START | p::SERVICE_QUERY_STATUS, "OpenService"},
    {"stop", p::SERVICE_STOP, "OpenService"},
    {"interrogate", p::SERVICE_INTERROGATE, "OpenService"},
    {"delete", p::DELETE, "OpenService"},
};

p::Win32Error Failed(std::string_view operation, std::string& out) {
  const p::Win32Error code = p::GetLastError();
  out += FormatFailure(operation, code);
  return code;
}

}  // namespace

p::Win32Error RunSc(std::span<const std::string_view> arguments, std::string& out) {
  if (arguments.size() == 1 && arguments[0] == "--help") {
    out += UsageText();
    return p::ERROR_SUCCESS;
  }
  const Verb* verb = nullptr;
  if (arguments.size() == 2) {
    for (const Verb& candidate : kVerbs) {
      if (candidate.name == arguments[0]) verb = &candidate;
    }
  }
  if (verb == nullptr) {
    if (!arguments.empty() && std::none_of(std::begin(kVerbs), std::end(kVerbs),
                                           [&](const Verb& v) { return v.name == arguments[0]; })) {
      out += "[SC] unknown command: " + std::string(arguments[0]) + "\n";
    }
    out += UsageText();
    return p::ERROR_INVALID_PARAMETER;
  }
  const std::string_view name = arguments[1];

  p::ScHandle manager = p::OpenSCManager(p::SC_MANAGER_CONNECT);
  if (!manager.IsValid()) return Failed("OpenSCManager", out);
  p::ScHandle service = p::OpenService(manager, name, verb->access);
  if (!service.IsValid()) return Failed(verb->open_operation, out);

  if (verb->name == "query") {
    p::SERVICE_STATUS status;
    if (!p::QueryServiceStatus(service, status)) return Failed("QueryServiceStatus", out);
    out += FormatStatus(name, status);
  } else if (verb->name == "queryex") {
    p::SERVICE_STATUS_PROCESS status;
    if (!p::QueryServiceStatusEx(service, status)) return Failed("QueryServiceStatusEx", out);
    out += FormatStatusEx(name, status);
  } else if (verb->name == "qc") {
    p::ServiceConfig config;
    if (!p::QueryServiceConfig(service, config)) return Failed("QueryServiceConfig", out);
    out += FormatConfig(name, config);
  } else if (verb->name == "start") {
    if (!p::StartService(service)) return Failed("StartService", out);
    // As sc.exe does, show the status right after the start was taken: normally start-pending.
    p::SERVICE_STATUS_PROCESS status;
    if (!p::QueryServiceStatusEx(service, status)) return Failed("QueryServiceStatusEx", out);
    out += FormatStatusEx(name, status);
  } else if (verb->name == "stop" || verb->name == "interrogate") {
    const uint32_t control =
        verb->name == "stop" ? p::SERVICE_CONTROL_STOP : p::SERVICE_CONTROL_INTERROGATE;
    p::SERVICE_STATUS status;
    if (!p::ControlService(service, control, status)) return Failed("ControlService", out);
    out += FormatStatus(name, status);
  } else {
    if (!p::DeleteService(service)) return Failed("DeleteService", out);
    out += FormatSuccess("DeleteService");
  }
  return p::ERROR_SUCCESS;
}

}  // namespace flowsentry::sc
