#include "service/capture/service_sync.h"

#include <optional>

#include "platform/errors.h"
#include "platform/last_error.h"

namespace flowsentry::capture {
namespace {

// The two objects the design keeps process-wide; see the header for who may touch them when.
std::optional<platform::CriticalSection> service_lock;
std::optional<platform::Event> sync_event;

}  // namespace

void InitializeServiceLock() { service_lock.emplace(); }

void DeleteServiceLock() { service_lock.reset(); }

platform::CriticalSection& ServiceLock() { return *service_lock; }

bool CreateSyncEvent() {
  if (sync_event.has_value()) {
    platform::SetLastError(platform::ERROR_ALREADY_EXISTS);
    return false;
  }
  sync_event.emplace(false);
  return true;
}

void CloseSyncEvent() { sync_event.reset(); }

platform::Event* SyncEvent() { return sync_event.has_value() ? &*sync_event : nullptr; }

bool StopRequested() {
  return sync_event.has_value() && sync_event->Wait(0) == platform::WAIT_OBJECT_0;
}

}  // namespace flowsentry::capture
