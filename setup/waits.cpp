#include "setup/waits.h"

#include <algorithm>

#include "platform/process.h"
#include "platform/threads.h"

namespace flowsentry::setup {

using platform::SERVICE_START_PENDING;
using platform::SERVICE_STATUS;
using platform::SERVICE_STATUS_PROCESS;
using platform::SERVICE_STOP_PENDING;

Waits RealWaits() {
  return Waits{[](uint32_t ms) { platform::Sleep(ms); }, [] { return platform::GetTickCount(); }};
}

void WaitWhileStopPending(const std::function<bool(SERVICE_STATUS&)>& query, SERVICE_STATUS& status,
                          const Waits& waits) {
  waits.sleep(kAfterStopMs);
  // Queries fill a copy, so a failed one cannot leave a half-written record behind.
  SERVICE_STATUS answer = status;
  while (query(answer)) {
    status = answer;
    if (status.dwCurrentState != SERVICE_STOP_PENDING) return;
    waits.sleep(kPollMs);
  }
}

uint32_t StartPollMs(uint32_t wait_hint) { return std::clamp(wait_hint / 10, 1000u, 10000u); }

bool WaitWhileStartPending(const std::function<bool(SERVICE_STATUS_PROCESS&)>& query,
                           SERVICE_STATUS_PROCESS& status, const Waits& waits) {
  uint32_t start_tick = waits.tick_count();
  uint32_t old_check_point = status.dwCheckPoint;
  while (status.dwCurrentState == SERVICE_START_PENDING) {
    waits.sleep(StartPollMs(status.dwWaitHint));
    if (!query(status)) return false;
    if (status.dwCheckPoint > old_check_point) {
      start_tick = waits.tick_count();
      old_check_point = status.dwCheckPoint;
    } else if (waits.tick_count() - start_tick > status.dwWaitHint) {
      // No progress within the service's own estimate: it is not going to start.
      break;
    }
  }
  return true;
}

}  // namespace flowsentry::setup
