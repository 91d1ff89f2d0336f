// CounterTable: access to the tables `counters` and `countersstat` (the same seven columns in
// the same order), their row buffer CounterRow and its row text, and the statements that add
// matched packets to their counters' rows.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_COUNTER_TABLE_H_
#define FLOWSENTRY_SERVICE_COUNTERS_COUNTER_TABLE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "service/counters/counter_rule.h"
#include "service/db/ado_table.h"

namespace flowsentry::counters {

inline constexpr char kCountersTable[] = "counters";
inline constexpr char kCountersStatTable[] = "countersstat";

// Size of the text buffers of `countername` and `parameters`: 254 characters (UTF-8 code
// points, see Utf8PrefixBytes) and the terminating zero a C buffer would hold.
inline constexpr size_t kCounterTextBufferSize = 255;

// One row of `counters` or `countersstat`, bound by ordinal, with each column's status. The
// counts are 64-bit in the table and here.
struct CounterRow {
  std::string countername;  // ordinal 1
  int64_t packets = 0;      // ordinal 2
  int64_t bytes = 0;        // ordinal 3
  uint8_t state = 0;        // ordinal 4
  int64_t timecreate = 0;   // ordinal 5
  int64_t timecount = 0;    // ordinal 6
  std::string parameters;   // ordinal 7

  uint32_t countername_status = db::kColumnOk;
  uint32_t packets_status = db::kColumnOk;
  uint32_t bytes_status = db::kColumnOk;
  uint32_t state_status = db::kColumnOk;
  uint32_t timecreate_status = db::kColumnOk;
  uint32_t timecount_status = db::kColumnOk;
  uint32_t parameters_status = db::kColumnOk;
};

// Row text: the seven columns in ordinal order joined by ";", numbers in decimal
// ("web;10;900;0;100;200;Interface=0|"). Neither text column may hold ";".
std::string FormatRowText(const CounterRow& row);

// The pieces of a row text: split at runs of ";", each trimmed of white space; the first piece
// that is then empty ends the split.
std::vector<std::string_view> SplitRowText(std::string_view text);

// A decimal number as _atoi64 reads it (leading blanks, optional sign, digits up to the first
// other character; none gives 0), saturating at the 64-bit limits.
int64_t ParseDecimal64(std::string_view text);

// True when the row's text reads back as the row: ParseRowText(FormatRowText(row)) gives every
// value of `row`, and every column was read whole or as NULL. False for a name that is empty or
// holds ";", a text with white space at either end, a number the text cannot carry, and so on.
bool RowTextReadsBack(const CounterRow& row);

// The row a row text describes: piece 1 `countername`, pieces 2 and 3 the counts, piece 4
// `state` (kept to 8 bits), pieces 5 and 6 the times, piece 7 `parameters`; texts are cut to
// their buffers' 254 characters, missing pieces stay empty or 0, further pieces are ignored. Every
// status is 0.
CounterRow ParseRowText(std::string_view text);

// Packets and bytes to add to one counter.
struct CountDelta {
  int64_t packets = 0;
  int64_t bytes = 0;
};

// Counts to add, by counter name.
using CountDeltas = std::map<std::string, CountDelta, std::less<>>;

// The counters database's connection string: COUNTERSCONNECT when the registry sets it, else
// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + DESTPATH + "/DB/counters.mdb".
std::string CountersConnectionString();

class CounterTable : public db::AdoTable {
 public:
  CounterTable();

  // Adds the row a row text describes. False for an empty text or a table not fully open.
  bool AddFromText(std::string_view text) override;
  // Deletes the counter's row from `counters`.
  bool RemoveRow(std::string_view countername) override;
  void ClearRow() override;

  // Clears the row and moves to the first row (`first`) or the next one. True when the move
  // landed on a row whose `countername` was read whole; false at the end, for a table not fully
  // open or empty, and on a database error (reported).
  bool MoveToRow(bool first);

  // The current row as row text.
  std::string RowText() const { return FormatRowText(row_); }
  const CounterRow& row() const { return row_; }

  // Starts a new period for the counter in `counters`: both counts 0, `timecount` = `start`.
  bool ResetPeriod(std::string_view countername, int64_t start);

  // The end of a period, for a counter as it was read (`as_read`, with its statuses): both
  // counts 0 and `timecount` = `start`, provided the row still holds what was read (name, counts,
  // `timecreate` and `timecount`, NULL as NULL). kChanged when it does not (the row was credited
  // or edited since), kFailed on a database error (reported).
  enum class ResetResult { kReset, kChanged, kFailed };
  ResetResult ResetEndedPeriod(const CounterRow& as_read, int64_t start);

  // Inside a transaction: locks the counter's row in `counters` until the transaction ends,
  // waiting for a transaction elsewhere that holds it, provided the row still holds what was read
  // (as ResetEndedPeriod compares it); kReset when it does. On an engine whose transactions lock
  // the whole database (BeginTransaction) the row needs no lock of its own and is only compared.
  ResetResult LockUnchangedRow(const CounterRow& as_read);

  // Sets `timecount` = `start` for a counter whose `timecount` is NULL (a row added without a
  // period start), its counts kept. A database error is reported.
  bool StartPeriod(std::string_view countername, int64_t start);

  // On a table opened on `countersstat`: sets the counts of the archived row with the
  // `countername`, `timecreate` and `timecount` of the row text to the text's counts. A database
  // error is reported with the message of a failed add.
  bool UpdateArchivedCounts(std::string_view row_text);

  // A transaction on the table's connection (DbConnection::BeginWrite: on SQLite it holds the
  // database's write lock from its begin, waiting for it as long as a statement would; on
  // PostgreSQL it locks the rows it changes or LockUnchangedRow reads): every statement up to the
  // commit or the rollback is part of it, on either table of the database. Begin and commit report
  // their errors with the message of a failed reset; a rollback fails silently (the engine may have
  // rolled back already).
  bool BeginTransaction();
  bool CommitTransaction();
  void RollbackTransaction();

  // On a table opened on `countersstat`: true if it holds a row with the `countername`,
  // `timecreate` and `timecount` of the row text. False for a table not fully open, and on a
  // database error (reported).
  bool HasArchivedRow(std::string_view row_text);

  enum class CreditResult { kCredited, kNoRow, kEmptyTable, kFailed };

  // Adds `packets` and `bytes` to the counter's row in `counters`, as one committed transaction
  // (or as part of the one open on the connection), found through the index on `countername`. A
  // database error is reported with the message of a failed credit (kFailed); kNoRow and
  // kEmptyTable are left to the caller.
  CreditResult AddCounts(std::string_view countername, int64_t packets, int64_t bytes);

  // Adds every entry's counts to its counter's row in one transaction: BeginWrite, one update per
  // 256 entries, COMMIT. False on a database error, reported once with the message of a
  // failed credit, after which nothing has changed. On success `missing` holds how many entries
  // found no row of their counter (0 when the table is empty, which is no fault).
  bool AddCountsInOneTransaction(const CountDeltas& deltas, size_t& missing);

 private:
  // Whether `counters` holds no row; false on a database error (not reported here).
  bool CountersEmpty(bool& empty);

  CounterRow row_;
};

}  // namespace flowsentry::counters

#endif  // FLOWSENTRY_SERVICE_COUNTERS_COUNTER_TABLE_H_
