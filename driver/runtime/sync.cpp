#include "driver/runtime/sync.h"

#include <chrono>
#include <thread>

namespace flowsentry::ndis {

// A lock or event lives in memory the driver placed it in (often a block of
// NdisAllocateMemoryWithTag, constructed in place); initializing here has nothing to add.
void NdisAllocateSpinLock(NDIS_SPIN_LOCK* /*lock*/) {}
void NdisFreeSpinLock(NDIS_SPIN_LOCK* /*lock*/) {}
void NdisAcquireSpinLock(NDIS_SPIN_LOCK* lock) { lock->mutex.lock(); }
void NdisReleaseSpinLock(NDIS_SPIN_LOCK* lock) { lock->mutex.unlock(); }
void NdisDprAcquireSpinLock(NDIS_SPIN_LOCK* lock) { lock->mutex.lock(); }
void NdisDprReleaseSpinLock(NDIS_SPIN_LOCK* lock) { lock->mutex.unlock(); }

void NdisInitializeEvent(NDIS_EVENT* event) {
  std::lock_guard lock(event->mutex);
  event->state = false;
}

void NdisSetEvent(NDIS_EVENT* event) {
  std::lock_guard lock(event->mutex);
  event->state = true;
  event->signalled.notify_all();
}

void NdisResetEvent(NDIS_EVENT* event) {
  std::lock_guard lock(event->mutex);
  event->state = false;
}

bool NdisWaitEvent(NDIS_EVENT* event, uint32_t milliseconds) {
  std::unique_lock lock(event->mutex);
  if (milliseconds == 0) {
    event->signalled.wait(lock, [event] { return event->state; });
    return true;
  }
  return event->signalled.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [event] { return event->state; });
}

void NdisMSleep(uint32_t microseconds) {
  // The host's shortest sleep is far longer than a microsecond; a yield first keeps polling
  // loops (waits for outstanding sends, for the control device's state) responsive.
  std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

}  // namespace flowsentry::ndis
