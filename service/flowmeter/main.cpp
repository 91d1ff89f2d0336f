// flowmeter: the FlowSentry service. Started by the service control manager; started any other
// way it logs "StartServiceCtrlDispatcher failed" and exits with 1.
#include <cstdlib>

#include "service/flowmeter/service_main.h"

int main() {
  // The dispatcher returns once the service has reported stopped, which may come while the
  // UpdateTime thread still runs; end without destroying the state it may still touch.
  std::quick_exit(flowsentry::flowmeter::RunService());
}
