// flowmeter: the FlowSentry service. Started by the service control manager; started any other
// way it logs "StartServiceCtrlDispatcher failed" and exits with 1. It takes no arguments:
// --help prints its usage, anything else is refused with 2.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "service/flowmeter/service_main.h"

int main(int argc, char** argv) {
  constexpr char kUsage[] =
      "usage: flowmeter\n"
      "The flowSentry service: started by the service control manager (sc start flowSentry).\n";
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "flowmeter: unknown option %s\n%s", argv[1], kUsage);
    return 2;
  }
  // The dispatcher returns once the service has reported stopped, which may come while the
  // UpdateTime thread still runs; end without destroying the state it may still touch.
  std::quick_exit(flowsentry::flowmeter::RunService());
}
