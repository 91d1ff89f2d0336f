// The two ways the service adds matched packets to their counters.
//
// CounterCredits (packet mode): one committed update per credit. A credit the database refuses
// (locked beyond the busy wait, disk full, I/O error, no connection) is reported as a failed
// credit and carried: added to the next credit of the same counter, and written once more by
// WriteCarried, so that no count is lost while the service runs.
//
// CounterDeltas, DeltaRegistry and DeltaFlusher (batch mode): each capture thread adds its matches
// to a delta array of its own in memory, without a lock and without database work; one flusher
// takes every array's deltas at each interval and commits them all in one transaction. A commit
// the database refuses keeps the deltas, added to what comes next, and is tried again at the next
// interval.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_COUNTER_CREDITS_H_
#define FLOWSENTRY_SERVICE_COUNTERS_COUNTER_CREDITS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/threads.h"
#include "service/counters/counter_rule.h"
#include "service/counters/counter_table.h"

namespace flowsentry::counters {

// Threads: callers serialize every call (the capture threads hold ServiceLock).
class CounterCredits {
 public:
  // Adds one packet of `length` bytes, and what the counter carries, to the counter the rule
  // names. The table that serves every credit is opened at the first call (and again at the next
  // call after a failed open, which is reported as "Unable to connect BD couners") and stays open
  // for the life of this object. A counter whose row is gone is reported ("Не изменяются
  // значения счетчика") and its credit dropped; an empty table takes nothing and says nothing.
  void Credit(const CounterRule& rule, uint32_t length);

  // Writes every carried credit once more, as Credit writes it; what is refused again stays
  // carried. The service's stop calls it once the capture threads have ended.
  void WriteCarried();

  // Counters whose credits are carried.
  size_t carried() const { return carried_.size(); }

 private:
  // Adds the counts; true unless the database refused them.
  bool Write(const std::string& name, CountDelta delta);

  CounterTable table_;
  CountDeltas carried_;
};

// One capture thread's deltas: one slot per entry of its rule list, in list order. Only the
// owning thread adds (relaxed atomics: the counts are taken whole by exchange, their order does
// not matter); the flusher takes them from any thread. A packet added while its slot is taken may
// have its packet and its bytes taken by two flushes in turn; nothing is taken twice or lost.
class CounterDeltas {
 public:
  explicit CounterDeltas(const CounterRuleArray& rules);
  CounterDeltas(const CounterDeltas&) = delete;
  CounterDeltas& operator=(const CounterDeltas&) = delete;

  // One packet of `length` bytes for the rule at `index` of the list. No lock, no allocation.
  void Add(size_t index, uint32_t length) {
    Slot& slot = slots_[index];
    slot.packets.fetch_add(1, std::memory_order_relaxed);
    slot.bytes.fetch_add(length, std::memory_order_relaxed);
  }

  // Takes every slot's counts (leaving 0) and adds them by counter name into `into`.
  void TakeInto(CountDeltas& into);

 private:
  struct Slot {
    std::atomic<int64_t> packets{0};
    std::atomic<int64_t> bytes{0};
  };
  std::vector<std::string> names_;  // empty for an empty entry of the list
  std::unique_ptr<Slot[]> slots_;
};

// Every capture thread's delta array, kept until the registry goes: a thread that ended or was
// terminated leaves its deltas to be taken. Threads: any.
class DeltaRegistry {
 public:
  // A new delta array for a rule list; valid for the registry's life.
  CounterDeltas& Register(const CounterRuleArray& rules);
  // Takes the deltas of every array into `into`.
  void TakeInto(CountDeltas& into);

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<CounterDeltas>> arrays_;
};

// Commits the registry's deltas in one transaction per flush, under `lock` (ServiceLock), on a
// table of its own. While the capture threads run, its connection waits at most BusyTimeout for a
// write lock held elsewhere, so that the capture threads never wait long on `lock` behind it; the
// final flush, when no capture thread is left, waits as long as every other table does.
//
// Threads: Run on a thread of its own; Stop from any thread; Flush on one thread at a time.
class DeltaFlusher {
 public:
  DeltaFlusher(DeltaRegistry& registry, platform::CriticalSection& lock,
               uint32_t flush_interval_ms);

  // The busy timeout of the flushes while capture threads run: half the interval, at most 250
  // ms. Pure.
  static uint32_t BusyTimeout(uint32_t flush_interval_ms);

  // Takes the deltas and commits what is pending. A refused commit (reported once) or a table
  // that cannot be opened ("Unable to connect BD couners") keeps everything pending; counters
  // whose rows are gone are reported with one "Не изменяются значения счетчика" line and their
  // deltas dropped. True when nothing is left pending.
  bool Flush();
  // The flush once no capture thread is left: as Flush, waiting for a lock held elsewhere as long
  // as every other table does.
  bool FinalFlush();

  // The flusher thread: a flush every interval until Stop, then FinalFlush. Returns 0; a
  // terminated flusher returns at once, without the final flush.
  uint32_t Run();
  void Stop() { stop_.Set(); }

 private:
  DeltaRegistry& registry_;
  platform::CriticalSection& lock_;
  const uint32_t interval_ms_;
  uint32_t busy_timeout_ms_;
  platform::Event stop_;
  CounterTable table_;
  CountDeltas pending_;
};

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_CREDITS_H_
