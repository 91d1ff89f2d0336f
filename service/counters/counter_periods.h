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
#include "service/counters/counter_table.h"

namespace flowsentry::counters {

// The start of the period that holds `now`: local midnight of its day, converted back with the
// system's daylight-saving rules, as seconds since 1970-01-01 UTC; nullopt when the local time
// cannot be computed.
std::optional<int64_t> PeriodStart(int64_t now);

// Empties `rules`, rolls the periods over, then refills `rules` from `counters` in the table's
// order. Ends at the first row whose `countername` is NULL or longer than 254
// characters.
void LoadCounterRules(CounterRuleArray& rules);

// Archives and resets every counter whose period is not today's: its `timecount`, or for a
// `timecount` of NULL (a row added with the schema's default) the period of its `timecreate`. A
// NULL in today's period is set to today's start, nothing else changed. Each counter's archive
// copy and reset are one transaction; a counter whose copy or reset fails is left as it stands
// (counts and `timecount`), so that the next start archives and resets it. A row whose row text
// does not read back as the row (RowTextReadsBack) is neither archived nor reset, and a line of
// the diagnostic log gives its text. False when `counters` could not be opened.
bool RollOverCounters();

// On `archive`, a CounterTable opened on `countersstat`: copies a row (as row text) into the
// archive, or, when the archive already holds the row's counter and period, sets that archive
// row's counts to the text's. True when the archive holds the row's counts afterwards.
bool ArchiveCounterRow(CounterTable& archive, std::string_view row_text);

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_PERIODS_H_
