// The service's process-wide lock `ServiceLock` and its stop event `SyncEvent`.
//
// Both are created by the service's start before any worker thread exists and destroyed by its
// stop after every worker thread has ended or been terminated; in between, any thread may use
// them. Only the capture threads take ServiceLock: around loading their rules, each credit, each
// packet log hand-off and every change of the process's packet table writer, never while waiting
// on the driver or testing a rule. SyncEvent is a manual-reset event: signalled means "stop".
#ifndef FLOWSENTRY_SERVICE_CAPTURE_SERVICE_SYNC_H_
#define FLOWSENTRY_SERVICE_CAPTURE_SERVICE_SYNC_H_

#include "platform/threads.h"

namespace flowsentry::capture {

// InitializeCriticalSection / DeleteCriticalSection of ServiceLock.
void InitializeServiceLock();
void DeleteServiceLock();

// ServiceLock; only between InitializeServiceLock and DeleteServiceLock.
platform::CriticalSection& ServiceLock();

// CreateEvent(manual reset, not signalled) / CloseHandle of SyncEvent. Creating fails only when
// the event already exists (false, ERROR_ALREADY_EXISTS).
bool CreateSyncEvent();
void CloseSyncEvent();

// SyncEvent, or null when there is none.
platform::Event* SyncEvent();

// True when SyncEvent exists and is signalled: a wait of 0 ms on it answers WAIT_OBJECT_0.
bool StopRequested();

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_SERVICE_SYNC_H_
