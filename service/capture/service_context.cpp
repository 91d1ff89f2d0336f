#include "service/capture/service_context.h"

#include "service/capture/service_sync.h"

namespace flowsentry::capture {

ServiceContext::ServiceContext(const host::AccountingSettings& accounting)
    : settings_(host::settings()),
      accounting_(accounting),
      lock_(ServiceLock()),
      sync_event_(*SyncEvent()),
      flusher_(deltas_, lock_, accounting_.flushInterval) {}

ServiceContext::~ServiceContext() {
  if (flusher_thread_.has_value()) flusher_thread_->Terminate(0);
}

bool ServiceContext::StartFlusher() {
  if (!batch()) return true;
  flusher_thread_ = platform::Thread::Create([this] { return flusher_.Run(); });
  if (flusher_thread_->IsValid()) return true;
  flusher_thread_.reset();
  return false;
}

void ServiceContext::FinishAccounting() {
  std::lock_guard lock(finish_mutex_);
  if (finished_) return;
  finished_ = true;
  if (flusher_thread_.has_value()) {
    flusher_.Stop();
    flusher_thread_->Wait(platform::INFINITE);
  } else if (batch()) {
    flusher_.FinalFlush();
  } else {
    platform::CriticalSectionLock service_lock(lock_);
    credits_.WriteCarried();
  }
}

bool ServiceContext::StopRequested() const {
  return sync_event_.Wait(0) == platform::WAIT_OBJECT_0;
}

}  // namespace flowsentry::capture
