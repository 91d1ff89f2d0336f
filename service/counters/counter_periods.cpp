#include "service/counters/counter_periods.h"

#include <string>
#include <tuple>

#include "platform/last_error.h"
#include "platform/time.h"
#include "service/counters/counter_table.h"
#include "service/host/log.h"

namespace flowsentry::counters {
namespace {

constexpr char kCountersOpenFailed[] = "Unable to connect BD counters";
constexpr char kStatOpenFailed[] = "Unable to connect BD counters stat";
constexpr char kStatAddFailed[] = "Unable add counter in stat BD";

constexpr char kRowTextUnreadable[] =
    "Counter not archived and not reset, its row text does not read back as the row: ";

void LogLastError(const char* text) {
  host::WriteLog(text, static_cast<int32_t>(platform::GetLastError()));
}

// Rolls back a transaction unless it was committed.
class TransactionGuard {
 public:
  explicit TransactionGuard(CounterTable& table) : table_(table) {}
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;
  ~TransactionGuard() {
    if (!committed_) table_.RollbackTransaction();
  }
  bool Commit() {
    committed_ = table_.CommitTransaction();
    return committed_;
  }

 private:
  CounterTable& table_;
  bool committed_ = false;
};

// Ends one counter's period: its archive copy and its reset as one transaction, so that a
// failure or the death of the process between them leaves either both or neither. `as_read` is
// the row as the pass read it, `row_text` its text with the period start it ends. False (and the
// counter as it stood) when any step fails.
bool EndCounterPeriod(const CounterRow& as_read, std::string_view row_text) {
  CounterTable archive;
  if (!archive.Open(CountersConnectionString(), kCountersStatTable)) {
    LogLastError(kStatOpenFailed);
    return false;
  }
  if (!archive.BeginTransaction()) return false;
  TransactionGuard transaction(archive);
  // Another start of this host (on a server that several processes reach) may be ending the
  // same period: whichever locks the row first archives it, and the other then finds the row
  // changed and leaves it.
  if (archive.LockUnchangedRow(as_read) != CounterTable::ResetResult::kReset) return false;
  if (!ArchiveCounterRow(archive, row_text)) return false;
  // Taken anew: the day may have turned since the pass began.
  const std::optional<int64_t> start = PeriodStart(platform::Now());
  if (!start) return false;
  // Both tables live in one database, so the archive's connection resets the counter inside the
  // same transaction. A row credited or edited since it was read is left for the next start.
  if (archive.ResetEndedPeriod(as_read, *start) != CounterTable::ResetResult::kReset) return false;
  return transaction.Commit();
}

// A row added without a period start (`timecount` NULL, the schema's default) belongs to the
// period of the day it was created, computed here as the service computes every period start.
std::optional<int64_t> EffectivePeriod(const CounterRow& row) {
  if (row.timecount_status != db::kColumnNull) return row.timecount;
  return PeriodStart(row.timecreate);
}

}  // namespace

std::optional<int64_t> PeriodStart(int64_t now) {
  // The first second whose local date is the date of `now`. Found by bisection over local dates
  // rather than by converting 00:00 back: where 00:00 occurs twice the conversion back answers
  // whichever instant the C library's state favours, and where it does not occur at all it has
  // no answer of its own.
  const std::optional<platform::LocalTime> local = platform::ToLocalTime(now);
  if (!local) return std::nullopt;
  const auto before_today = [&local](int64_t t) -> std::optional<bool> {
    const std::optional<platform::LocalTime> other = platform::ToLocalTime(t);
    if (!other) return std::nullopt;
    return std::tie(other->year, other->month, other->day) <
           std::tie(local->year, local->month, local->day);
  };
  // Two days back is on an earlier date in every zone: no offset change spans a day.
  int64_t earlier = now - 2 * 86400;  // before today
  int64_t today = now;                // on today's date
  if (const std::optional<bool> is_before = before_today(earlier); !is_before || !*is_before) {
    return std::nullopt;
  }
  while (today - earlier > 1) {
    const int64_t middle = earlier + (today - earlier) / 2;
    const std::optional<bool> is_before = before_today(middle);
    if (!is_before) return std::nullopt;
    (*is_before ? earlier : today) = middle;
  }
  return today;
}

bool ArchiveCounterRow(CounterTable& archive, std::string_view row_text) {
  // A failed duplicate test counts as a missing archive row: the archive's unique index then
  // refuses a second copy.
  bool archived = archive.HasArchivedRow(row_text)
                      // An earlier start archived this period but could not reset the counter,
                      // which has gone on counting in it since: the archive takes its counts now.
                      ? archive.UpdateArchivedCounts(row_text)
                      : archive.AddFromText(row_text);
  if (!archived) LogLastError(kStatAddFailed);
  return archived;
}

bool RollOverCounters() {
  CounterTable table;
  if (!table.Open(CountersConnectionString(), kCountersTable)) {
    LogLastError(kCountersOpenFailed);
    return false;
  }
  const std::optional<int64_t> today = PeriodStart(platform::Now());
  // Without a local date there is no telling which periods have ended: nothing is touched.
  if (today) {
    for (bool on_row = table.MoveToRow(true); on_row; on_row = table.MoveToRow(false)) {
      const CounterRow& as_read = table.row();
      const std::optional<int64_t> period = EffectivePeriod(as_read);
      if (!period) continue;
      if (*period == *today && as_read.timecount_status != db::kColumnCantConvert &&
          as_read.timecount_status != db::kColumnDataOverflow) {
        if (as_read.timecount_status == db::kColumnNull)
          table.StartPeriod(as_read.countername, *today);
        continue;
      }
      CounterRow ended = as_read;
      ended.timecount = *period;
      if (ended.timecount_status == db::kColumnNull) ended.timecount_status = db::kColumnOk;
      const std::string row_text = FormatRowText(ended);
      // A text that does not read back as the row would archive some other row (or none) and
      // then reset this one: its counts would be lost. It stays as it is, and says so.
      if (!RowTextReadsBack(ended)) {
        host::WriteLog(kRowTextUnreadable + row_text, -1);
        continue;
      }
      EndCounterPeriod(as_read, row_text);
    }
  }
  table.Close();
  return true;
}

void LoadCounterRules(CounterRuleArray& rules) {
  rules.clear();
  RollOverCounters();
  CounterTable table;
  if (!table.Open(CountersConnectionString(), kCountersTable)) {
    LogLastError(kCountersOpenFailed);
    return;
  }
  for (bool on_row = table.MoveToRow(true); on_row; on_row = table.MoveToRow(false)) {
    const CounterRow& row = table.row();
    BuildCounterRule(row.countername, row.state, row.parameters, rules);
  }
  table.Close();
}

}  // namespace flowsentry::counters
