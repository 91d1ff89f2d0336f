#include "service/counters/counter_credits.h"

#include <algorithm>
#include <iterator>

#include "platform/last_error.h"
#include "service/db/sqlite_engine.h"
#include "service/host/log.h"

namespace flowsentry::counters {
namespace {

constexpr char kNoCounterRow[] = "Не изменяются значения счетчика";
constexpr char kCreditTableOpenFailed[] = "Unable to connect BD couners";
constexpr uint32_t kMaxFlushBusyTimeoutMs = 250;

// Opens `table` on `counters` unless it is open; reports a failed open as a credit does.
bool EnsureOpen(CounterTable& table) {
  if (table.IsOpen() || table.Open(CountersConnectionString(), kCountersTable)) return true;
  host::WriteLog(kCreditTableOpenFailed, static_cast<int32_t>(platform::GetLastError()));
  return false;
}

}  // namespace

void CounterCredits::Credit(const CounterRule& rule, uint32_t length) {
  CountDelta delta{1, length};
  // Nothing is carried almost always: the lookup is skipped then.
  const auto carried = carried_.empty() ? carried_.end() : carried_.find(rule.name);
  if (carried != carried_.end()) {
    delta.packets += carried->second.packets;
    delta.bytes += carried->second.bytes;
  }
  if (Write(rule.name, delta)) {
    if (carried != carried_.end()) carried_.erase(carried);
  } else if (carried != carried_.end()) {
    carried->second = delta;
  } else {
    carried_.emplace(rule.name, delta);
  }
}

void CounterCredits::WriteCarried() {
  for (auto it = carried_.begin(); it != carried_.end();) {
    it = Write(it->first, it->second) ? carried_.erase(it) : std::next(it);
  }
}

bool CounterCredits::Write(const std::string& name, CountDelta delta) {
  if (!EnsureOpen(table_)) return false;
  switch (table_.AddCounts(name, delta.packets, delta.bytes)) {
    case CounterTable::CreditResult::kFailed:
      return false;
    case CounterTable::CreditResult::kNoRow:
      host::WriteLog(kNoCounterRow, -1);
      return true;
    case CounterTable::CreditResult::kCredited:
    case CounterTable::CreditResult::kEmptyTable:
      return true;
  }
  return true;
}

CounterDeltas::CounterDeltas(const CounterRuleArray& rules)
    : slots_(std::make_unique<Slot[]>(rules.size())) {
  names_.reserve(rules.size());
  for (const auto& rule : rules) names_.push_back(rule != nullptr ? rule->name : std::string());
}

void CounterDeltas::TakeInto(CountDeltas& into) {
  for (size_t i = 0; i < names_.size(); ++i) {
    const int64_t packets = slots_[i].packets.exchange(0, std::memory_order_relaxed);
    const int64_t bytes = slots_[i].bytes.exchange(0, std::memory_order_relaxed);
    if (packets == 0 && bytes == 0) continue;
    CountDelta& sum = into[names_[i]];
    sum.packets += packets;
    sum.bytes += bytes;
  }
}

CounterDeltas& DeltaRegistry::Register(const CounterRuleArray& rules) {
  std::lock_guard lock(mutex_);
  arrays_.push_back(std::make_unique<CounterDeltas>(rules));
  return *arrays_.back();
}

void DeltaRegistry::TakeInto(CountDeltas& into) {
  std::lock_guard lock(mutex_);
  for (const auto& deltas : arrays_) deltas->TakeInto(into);
}

DeltaFlusher::DeltaFlusher(DeltaRegistry& registry, platform::CriticalSection& lock,
                           uint32_t flush_interval_ms)
    : registry_(registry),
      lock_(lock),
      interval_ms_(flush_interval_ms),
      busy_timeout_ms_(BusyTimeout(flush_interval_ms)) {}

uint32_t DeltaFlusher::BusyTimeout(uint32_t flush_interval_ms) {
  return std::min(flush_interval_ms / 2, kMaxFlushBusyTimeoutMs);
}

bool DeltaFlusher::Flush() {
  registry_.TakeInto(pending_);
  const bool any = std::any_of(pending_.begin(), pending_.end(), [](const auto& entry) {
    return entry.second.packets != 0 || entry.second.bytes != 0;
  });
  if (!any) {
    pending_.clear();
    return true;
  }
  // The table is the flusher's own: opening it (which may wait for the file) needs no lock.
  if (!table_.IsOpen()) {
    if (!EnsureOpen(table_)) return false;
    table_.SetBusyTimeout(busy_timeout_ms_);
  }
  platform::CriticalSectionLock lock(lock_);
  size_t missing = 0;
  if (!table_.AddCountsInOneTransaction(pending_, missing)) return false;
  if (missing > 0) host::WriteLog(kNoCounterRow, -1);
  pending_.clear();
  return true;
}

uint32_t DeltaFlusher::Run() {
  for (;;) {
    const uint32_t waited = stop_.Wait(interval_ms_);
    if (waited == platform::WAIT_OBJECT_0) break;
    if (platform::ThisThreadTerminated()) return 0;
    Flush();
  }
  FinalFlush();
  return 0;
}

bool DeltaFlusher::FinalFlush() {
  // No capture thread is left to wait on the lock behind this flush.
  busy_timeout_ms_ = db::kSqliteBusyTimeoutMs;
  table_.SetBusyTimeout(busy_timeout_ms_);
  return Flush();
}

}  // namespace flowsentry::counters
