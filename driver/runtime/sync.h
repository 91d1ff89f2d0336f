// Spin locks, events and the short sleep of NDIS, on the host's threads.
//
// A spin lock here is a mutex: holders may be preempted, which the kernel's would not allow,
// but every ordering a driver relies on (no nesting of its own locks, no waits under a lock)
// holds the same. Locks are not recursive.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SYNC_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SYNC_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace flowsentry::ndis {

struct NDIS_SPIN_LOCK {
  std::mutex mutex;
};

void NdisAllocateSpinLock(NDIS_SPIN_LOCK* lock);
void NdisFreeSpinLock(NDIS_SPIN_LOCK* lock);
void NdisAcquireSpinLock(NDIS_SPIN_LOCK* lock);
void NdisReleaseSpinLock(NDIS_SPIN_LOCK* lock);
// At DISPATCH_LEVEL already: the same lock without raising the level.
void NdisDprAcquireSpinLock(NDIS_SPIN_LOCK* lock);
void NdisDprReleaseSpinLock(NDIS_SPIN_LOCK* lock);

// Holds a spin lock for a scope. Release() and Acquire() let a holder drop the lock for a
// moment (to sleep or to call out) and take it again; the destructor releases only if held.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(NDIS_SPIN_LOCK& lock) : lock_(lock) { Acquire(); }
  ~SpinLockGuard() {
    if (held_) Release();
  }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

  void Acquire() {
    NdisAcquireSpinLock(&lock_);
    held_ = true;
  }
  void Release() {
    held_ = false;
    NdisReleaseSpinLock(&lock_);
  }

 private:
  NDIS_SPIN_LOCK& lock_;
  bool held_ = false;
};

// A notification event: once set it stays set, releasing every waiter, until reset.
struct NDIS_EVENT {
  std::mutex mutex;
  std::condition_variable signalled;
  bool state = false;
};

void NdisInitializeEvent(NDIS_EVENT* event);
void NdisSetEvent(NDIS_EVENT* event);
void NdisResetEvent(NDIS_EVENT* event);
// Waits until the event is set, at most `milliseconds` (0: no limit). True if it was set.
bool NdisWaitEvent(NDIS_EVENT* event, uint32_t milliseconds);

// Sleeps for at least `microseconds` (PASSIVE_LEVEL only).
void NdisMSleep(uint32_t microseconds);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SYNC_H_
