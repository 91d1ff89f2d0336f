// The service's process-wide state in one object, which the service's start makes and every
// worker thread is given: the settings, the accounting mode with its settings, ServiceLock and
// SyncEvent, the credits of the packet mode (the one table of every credit and what it carries),
// and the batch mode's delta arrays and flusher.
//
// Lifetime: made by start once ServiceLock and SyncEvent exist, destroyed by stop after every
// thread that was given it has ended or been terminated. Threads: the accessors may be used from
// any thread; what each part allows is said where it is declared (credits only under lock()).
#ifndef FLOWSENTRY_SERVICE_CAPTURE_SERVICE_CONTEXT_H_
#define FLOWSENTRY_SERVICE_CAPTURE_SERVICE_CONTEXT_H_

#include <mutex>
#include <optional>

#include "platform/threads.h"
#include "service/counters/counter_credits.h"
#include "service/host/config.h"

namespace flowsentry::capture {

class ServiceContext {
 public:
  // Takes ServiceLock and SyncEvent (service_sync.h), which must exist for its whole life.
  explicit ServiceContext(const host::AccountingSettings& accounting);
  ServiceContext(const ServiceContext&) = delete;
  ServiceContext& operator=(const ServiceContext&) = delete;
  // Ends the flusher thread without its final flush, should FinishAccounting not have run.
  ~ServiceContext();

  // Batch mode: starts the flusher's thread (true in packet mode, which has none). False, with the
  // thread's last error, when the thread cannot be made.
  bool StartFlusher();

  // Once every capture thread has ended or been terminated, the last counts of the run: the
  // flusher's final flush (its thread then ends), or the packet mode's carried credits, under
  // lock(). Only the first call does anything; any thread.
  void FinishAccounting();

  const host::Settings& settings() const { return settings_; }
  const host::AccountingSettings& accounting() const { return accounting_; }
  bool batch() const { return accounting_.mode == host::AccountingMode::kBatch; }

  // ServiceLock.
  platform::CriticalSection& lock() const { return lock_; }
  // True once SyncEvent is signalled: a wait of 0 ms on it answers WAIT_OBJECT_0.
  bool StopRequested() const;

  counters::CounterCredits& credits() { return credits_; }
  counters::DeltaRegistry& deltas() { return deltas_; }
  counters::DeltaFlusher& flusher() { return flusher_; }

 private:
  const host::Settings& settings_;
  const host::AccountingSettings accounting_;
  platform::CriticalSection& lock_;
  platform::Event& sync_event_;
  counters::CounterCredits credits_;
  counters::DeltaRegistry deltas_;
  counters::DeltaFlusher flusher_;
  std::optional<platform::Thread> flusher_thread_;
  std::mutex finish_mutex_;
  bool finished_ = false;
};

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_SERVICE_CONTEXT_H_
