// The service `flowSentry`: its main function, control handler and status reports, the start
// and stop of its worker threads, the UpdateTime thread that restarts it when the local day
// changes, and the restart itself through the setup tool.
//
// Process-wide state (the status handle and record, CheckPoint, the thread handles and numbers)
// lives in service_main.cpp. ServiceMain runs on the thread the dispatcher gives it; Handler,
// and with it stop, run on the dispatcher's thread.
#ifndef FLOWSENTRY_SERVICE_FLOWMETER_SERVICE_MAIN_H_
#define FLOWSENTRY_SERVICE_FLOWMETER_SERVICE_MAIN_H_

#include <cstdint>

#include "shared/service_name.h"

namespace flowsentry::flowmeter {

// The process entry: hands the main thread to the service control dispatcher. 0 once the
// dispatcher returned, 1 when it could not start ("StartServiceCtrlDispatcher failed" is logged
// with the last error, 1063 when the program was not started by the service control manager).
int RunService();

void ServiceMain();
void Handler(uint32_t control);
bool ReportStatus(uint32_t state, uint32_t win32_exit_code, uint32_t wait_hint);

bool start();
void stop();
void restart();
uint32_t UpdateTime();

// Time-outs of stop's waits and the UpdateTime thread's look at the clock, in milliseconds.
inline constexpr uint32_t kThreadStopWait = 10000;
inline constexpr uint32_t kUpdateTimePeriod = 5000;
inline constexpr uint32_t kStartWaitHint = 3000;

}  // namespace flowsentry::flowmeter

#endif  // FLOWSENTRY_SERVICE_FLOWMETER_SERVICE_MAIN_H_
