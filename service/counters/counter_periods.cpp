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
constexpr char kResetTableOpenFailed[] = "Unable to connect BD couners";
constexpr char kResetTableClosed[] = "BD counters close";
constexpr char kStatOpenFailed[] = "Unable to connect BD counters stat";
constexpr char kStatAddFailed[] = "Unable add counter in stat BD";

void LogLastError(const char* text) {
  host::WriteLog(text, static_cast<int32_t>(platform::GetLastError()));
}

// Starts today's period for one counter through a table of its own.
void ResetCounter(std::string_view countername) {
  CounterTable table;
  if (!table.Open(CountersConnectionString(), kCountersTable)) {
    LogLastError(kResetTableOpenFailed);
    return;
  }
  if (!table.IsOpen()) {
    host::WriteLog(kResetTableClosed, -1);
    return;
  }
  // Taken anew: the day may have turned since the pass began.
  if (const std::optional<int64_t> start = PeriodStart(platform::Now())) {
    table.ResetPeriod(countername, *start);
  }
  table.Close();
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

bool ArchiveCounterRow(std::string_view row_text) {
  CounterTable table;
  if (!table.Open(CountersConnectionString(), kCountersStatTable)) {
    LogLastError(kStatOpenFailed);
    return false;
  }
  // A failed duplicate test counts as a missing archive row: better a second copy than none.
  bool archived = table.HasArchivedRow(row_text);
  if (!archived) {
    archived = table.AddFromText(row_text);
    if (!archived) LogLastError(kStatAddFailed);
  }
  table.Close();
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
      const CounterRow& row = table.row();
      if (row.timecount == *today && row.timecount_status == kColumnOk) continue;
      // Reset only what is safely in the archive; otherwise the counter keeps its counts and
      // old period, and the next start tries again.
      if (ArchiveCounterRow(table.RowText())) ResetCounter(row.countername);
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
