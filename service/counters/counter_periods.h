// Loading of a capture thread's counter rules, and the daily periods of the counters: every
// counter whose period is not today's is archived into `countersstat` and reset before the
// rules are read.
//
// All of these run in a capture thread inside ServiceLock, so no credit of this process falls
// between a counter's archive copy and its reset, and no two threads roll over at once. Each
// opens its own tables and closes them before it returns.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PERIODS_H_
#define FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PERIODS_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "service/counters/counter_rule.h"

namespace flowsentry::counters {

// The start of the period that holds `now`: local midnight of its day, converted back with the
// system's daylight-saving rules, as seconds since 1970-01-01 UTC; nullopt when the local time
// cannot be computed.
std::optional<int64_t> PeriodStart(int64_t now);

// Empties `rules`, rolls the periods over, then refills `rules` from `counters` in the table's
// order. Ends at the first row whose `countername` is NULL or longer than 254 bytes.
void LoadCounterRules(CounterRuleArray& rules);

// Archives and resets every counter whose `timecount` is not today's period start. False when
// `counters` could not be opened. A counter whose archive copy failed is left as it stands
// (counts and `timecount`), so that the next start archives and resets it.
bool RollOverCounters();

// Copies a row (as row text) into `countersstat` unless the archive already holds it. True when
// the archive holds the row afterwards.
bool ArchiveCounterRow(std::string_view row_text);

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PERIODS_H_
