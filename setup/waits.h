// The setup tool's waits on the service control manager: the poll after a stop request and the
// watch over a pending start. Pure logic: the status queries, the sleep and the clock are
// handed in, so the program uses the real ones and tests script them.
#ifndef FLOWSENTRY_SETUP_WAITS_H_
#define FLOWSENTRY_SETUP_WAITS_H_

#include <cstdint>
#include <functional>

#include "platform/service_control.h"

namespace flowsentry::setup {

// How the tool passes time. Both functions must be set.
struct Waits {
  std::function<void(uint32_t ms)> sleep;
  std::function<uint32_t()> tick_count;  // milliseconds, wrapping at 2^32
};

// Sleep and GetTickCount of the platform.
Waits RealWaits();

inline constexpr uint32_t kAfterStopMs = 1000;
inline constexpr uint32_t kPollMs = 500;

// The wait after an accepted stop control: sleeps 1000 ms, then queries, and while a query
// succeeds with SERVICE_STOP_PENDING sleeps 500 ms and queries again, without limit. `status`
// comes in as the stop control answered it and leaves as the last status seen (a failed query
// leaves it as it was).
void WaitWhileStopPending(const std::function<bool(platform::SERVICE_STATUS&)>& query,
                          platform::SERVICE_STATUS& status, const Waits& waits);

// How long to sleep between looks at a pending start: a tenth of the wait hint, at least 1000 and
// at most 10000 ms.
uint32_t StartPollMs(uint32_t wait_hint);

// The watch over a pending start. `status` holds the first answer of the extended query; while
// its state is SERVICE_START_PENDING: sleep StartPollMs(wait hint), query again (false at once
// when that fails), and when the check point has grown note it and the time, otherwise give up
// once more than the wait hint has passed since the last noted time. Returns true with `status`
// holding the last answer when the wait ended without a failed query.
bool WaitWhileStartPending(const std::function<bool(platform::SERVICE_STATUS_PROCESS&)>& query,
                           platform::SERVICE_STATUS_PROCESS& status, const Waits& waits);

}  // namespace flowsentry::setup

#endif  // FLOWSENTRY_SETUP_WAITS_H_
