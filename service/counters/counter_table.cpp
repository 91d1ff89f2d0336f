#include "service/counters/counter_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <limits>
#include <optional>

#include "platform/last_error.h"
#include "service/host/config.h"
#include "service/host/log.h"

namespace flowsentry::counters {
namespace {

constexpr char kAddFailed[] = "Ошибка при добавлениии счетчика в БД через ADO";
constexpr char kMoveFailed[] = "Ошибка при итерации счетчиков в текущей БД через ADO";
constexpr char kCreditFailed[] =
    "Ошибка при изменении количества пакетов и байтов счетчика в БД через ADO";
constexpr char kResetFailed[] =
    "Ошибка при обнулении количества пакетов, байтов и установки timeCount счетчика в БД через "
    "ADO";
constexpr char kSearchFailed[] =
    "Ошибка при поиске счетчика в статической БД при синхронизации через ADO";
constexpr char kRemoveFailed[] = "Ошибка при удалении счетчика в БД через ADO";

// Names travel as statement parameters, never inside the SQL text, so a name holding a quote
// is a name like any other.
constexpr char kCreditSql[] =
    "UPDATE counters SET packets = packets + ?, bytes = bytes + ? WHERE countername = ?";
constexpr char kAnyRowSql[] = "SELECT EXISTS (SELECT 1 FROM counters)";
constexpr char kResetSql[] =
    "UPDATE counters SET packets = 0, bytes = 0, timecount = ? WHERE countername = ?";
constexpr char kRemoveSql[] = "DELETE FROM counters WHERE countername = ?";
// IS NOT DISTINCT FROM compares NULL with NULL as equal, so a row read with NULLs is still
// recognized.
constexpr char kUnchangedRow[] =
    " WHERE countername = ? AND packets IS NOT DISTINCT FROM ? AND bytes IS NOT DISTINCT FROM ? "
    "AND timecreate IS NOT DISTINCT FROM ? AND timecount IS NOT DISTINCT FROM ?";
constexpr char kResetEndedSql[] = "UPDATE counters SET packets = 0, bytes = 0, timecount = ?";
constexpr char kLockUnchangedSql[] = "SELECT 1 FROM counters";
constexpr char kStartPeriodSql[] =
    "UPDATE counters SET timecount = ? WHERE countername = ? AND timecount IS NULL";
constexpr char kCommitSql[] = "COMMIT";
constexpr char kRollbackSql[] = "ROLLBACK";

// Entries one UPDATE of a flush adds: its parameters stay far below every engine's limit.
constexpr size_t kEntriesPerUpdate = 256;

// One UPDATE that adds the counts of `entries` counters, so that a flush costs a round trip per
// kEntriesPerUpdate counters rather than one per counter. The columns of VALUES are named
// column1, column2, ... by SQLite and PostgreSQL alike.
std::string BatchCreditSql(size_t entries) {
  std::string sql =
      "UPDATE counters SET packets = counters.packets + d.column1, bytes = counters.bytes + "
      "d.column2 FROM (VALUES ";
  for (size_t i = 0; i < entries; ++i) {
    sql += i == 0 ? "" : ", ";
    sql += "(CAST(? AS BIGINT), CAST(? AS BIGINT), CAST(? AS TEXT))";
  }
  return sql + ") AS d WHERE counters.countername = d.column3";
}

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string QuoteIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// A connection string value as it stands, or in double quotes when it holds what would end it.
std::string ConnectionValue(std::string_view value) {
  if (value.find_first_of(";\"'") == std::string_view::npos && Trim(value) == value) {
    return std::string(value);
  }
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string FormatRowText(const CounterRow& row) {
  return row.countername + ";" + std::to_string(row.packets) + ";" + std::to_string(row.bytes) +
         ";" + std::to_string(row.state) + ";" + std::to_string(row.timecreate) + ";" +
         std::to_string(row.timecount) + ";" + row.parameters;
}

std::vector<std::string_view> SplitRowText(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t i = 0;
  while (i <= text.size()) {
    while (i < text.size() && text[i] == ';') ++i;
    const size_t end = std::min(text.find(';', i), text.size());
    const std::string_view piece = Trim(text.substr(i, end - i));
    if (piece.empty()) break;
    pieces.push_back(piece);
    i = end + 1;
  }
  return pieces;
}

int64_t ParseDecimal64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a negative number, whose range reaches the 64-bit minimum.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) {
      return negative ? kMin : std::numeric_limits<int64_t>::max();
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

bool RowTextReadsBack(const CounterRow& row) {
  for (const uint32_t status :
       {row.countername_status, row.packets_status, row.bytes_status, row.state_status,
        row.timecreate_status, row.timecount_status, row.parameters_status}) {
    if (status != db::kColumnOk && status != db::kColumnNull) return false;
  }
  const CounterRow read_back = ParseRowText(FormatRowText(row));
  return read_back.countername == row.countername && read_back.packets == row.packets &&
         read_back.bytes == row.bytes && read_back.state == row.state &&
         read_back.timecreate == row.timecreate && read_back.timecount == row.timecount &&
         read_back.parameters == row.parameters;
}

CounterRow ParseRowText(std::string_view text) {
  CounterRow row;
  const std::vector<std::string_view> pieces = SplitRowText(text);
  const auto piece = [&pieces](size_t n) {
    return n <= pieces.size() ? pieces[n - 1] : std::string_view();
  };
  const auto cut = [](std::string_view text) {
    return std::string(text.substr(0, db::Utf8PrefixBytes(text, kCounterTextBufferSize - 1)));
  };
  row.countername = cut(piece(1));
  row.packets = ParseDecimal64(piece(2));
  row.bytes = ParseDecimal64(piece(3));
  row.state = static_cast<uint8_t>(ParseDecimal64(piece(4)));
  row.timecreate = ParseDecimal64(piece(5));
  row.timecount = ParseDecimal64(piece(6));
  row.parameters = cut(piece(7));
  return row;
}

std::string CountersConnectionString() {
  if (!host::settings().COUNTERSCONNECT.empty()) return host::settings().COUNTERSCONNECT;
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" +
         ConnectionValue(host::settings().DESTPATH + "/DB/counters.mdb");
}

CounterTable::CounterTable() {
  SetRowBinding({
      {1, db::TextBuffer{&row_.countername, kCounterTextBufferSize}, &row_.countername_status},
      {2, &row_.packets, &row_.packets_status},
      {3, &row_.bytes, &row_.bytes_status},
      {4, &row_.state, &row_.state_status},
      {5, &row_.timecreate, &row_.timecreate_status},
      {6, &row_.timecount, &row_.timecount_status},
      {7, db::TextBuffer{&row_.parameters, kCounterTextBufferSize}, &row_.parameters_status},
  });
}

bool CounterTable::AddFromText(std::string_view text) {
  if (text.empty() || !IsOpen()) return false;
  ClearRow();
  row_ = ParseRowText(text);
  if (!AddBoundRow()) {
    db::ReportDbError(error(), kAddFailed);
    return false;
  }
  return true;
}

bool CounterTable::RemoveRow(std::string_view countername) {
  if (!IsOpen()) return false;
  const db::DbParameter parameters[] = {countername};
  if (!connection()->Execute(kRemoveSql, parameters)) {
    db::ReportDbError(error(), kRemoveFailed);
    return false;
  }
  return true;
}

void CounterTable::ClearRow() { row_ = CounterRow{}; }

bool CounterTable::MoveToRow(bool first) {
  if (!IsOpen()) return false;
  // Past the end (an empty table is past its end from the start) nothing moves any more.
  if (!first && AtEnd()) return false;
  ClearRow();
  if (!MoveAndRead(first)) {
    db::ReportDbError(error(), kMoveFailed);
    return false;
  }
  return !AtEnd() && row_.countername_status == db::kColumnOk;
}

bool CounterTable::ResetPeriod(std::string_view countername, int64_t start) {
  if (!IsOpen()) return false;
  const db::DbParameter parameters[] = {start, countername};
  if (!connection()->Execute(kResetSql, parameters)) {
    db::ReportDbError(error(), kResetFailed);
    return false;
  }
  return true;
}

namespace {

// The parameters of kUnchangedRow for a row as it was read, NULL where it read NULL.
std::array<db::DbParameter, 5> UnchangedRowParameters(const CounterRow& as_read) {
  const auto value = [](int64_t number, uint32_t status) -> db::DbParameter {
    if (status == db::kColumnNull) return std::monostate{};
    return number;
  };
  return {std::string_view(as_read.countername), value(as_read.packets, as_read.packets_status),
          value(as_read.bytes, as_read.bytes_status),
          value(as_read.timecreate, as_read.timecreate_status),
          value(as_read.timecount, as_read.timecount_status)};
}

}  // namespace

CounterTable::ResetResult CounterTable::ResetEndedPeriod(const CounterRow& as_read, int64_t start) {
  if (!IsOpen()) return ResetResult::kFailed;
  const std::array<db::DbParameter, 5> row = UnchangedRowParameters(as_read);
  const db::DbParameter parameters[] = {start, row[0], row[1], row[2], row[3], row[4]};
  int64_t changed = 0;
  if (!connection()->Execute(std::string(kResetEndedSql) + kUnchangedRow, parameters, &changed)) {
    db::ReportDbError(error(), kResetFailed);
    return ResetResult::kFailed;
  }
  return changed > 0 ? ResetResult::kReset : ResetResult::kChanged;
}

CounterTable::ResetResult CounterTable::LockUnchangedRow(const CounterRow& as_read) {
  if (!IsOpen()) return ResetResult::kFailed;
  const std::array<db::DbParameter, 5> parameters = UnchangedRowParameters(as_read);
  std::optional<db::DbValue> found;
  if (!connection()->QueryValue(std::string(kLockUnchangedSql) + kUnchangedRow +
                                    std::string(connection()->RowLockClause()),
                                parameters, found)) {
    db::ReportDbError(error(), kResetFailed);
    return ResetResult::kFailed;
  }
  return found.has_value() ? ResetResult::kReset : ResetResult::kChanged;
}

bool CounterTable::StartPeriod(std::string_view countername, int64_t start) {
  if (!IsOpen()) return false;
  const db::DbParameter parameters[] = {start, countername};
  if (!connection()->Execute(kStartPeriodSql, parameters)) {
    db::ReportDbError(error(), kResetFailed);
    return false;
  }
  return true;
}

bool CounterTable::UpdateArchivedCounts(std::string_view row_text) {
  if (!IsOpen()) return false;
  const CounterRow row = ParseRowText(row_text);
  const std::string sql = "UPDATE " + QuoteIdentifier(table()) +
                          " SET packets = ?, bytes = ? WHERE countername = ? AND timecreate = ? "
                          "AND timecount = ?";
  const db::DbParameter parameters[] = {row.packets, row.bytes, std::string_view(row.countername),
                                        row.timecreate, row.timecount};
  if (!connection()->Execute(sql, parameters)) {
    db::ReportDbError(error(), kAddFailed);
    return false;
  }
  return true;
}

bool CounterTable::BeginTransaction() {
  if (!IsOpen()) return false;
  if (!connection()->BeginWrite()) {
    db::ReportDbError(error(), kResetFailed);
    return false;
  }
  return true;
}

bool CounterTable::CommitTransaction() {
  if (!IsOpen()) return false;
  if (!connection()->Execute(kCommitSql, {})) {
    db::ReportDbError(error(), kResetFailed);
    return false;
  }
  return true;
}

void CounterTable::RollbackTransaction() {
  if (IsOpen()) connection()->Execute(kRollbackSql, {});
}

bool CounterTable::HasArchivedRow(std::string_view row_text) {
  const std::vector<std::string_view> pieces = SplitRowText(row_text);
  const auto piece = [&pieces](size_t n) {
    return n <= pieces.size() ? pieces[n - 1] : std::string_view();
  };
  if (!IsOpen()) return false;
  // The index on (countername, timecreate, timecount) answers this without a scan.
  const std::string sql = "SELECT 1 FROM " + QuoteIdentifier(table()) +
                          " WHERE countername = ? AND timecreate = ? AND timecount = ? LIMIT 1";
  const db::DbParameter parameters[] = {piece(1), ParseDecimal64(piece(5)),
                                        ParseDecimal64(piece(6))};
  std::optional<db::DbValue> found;
  if (!connection()->QueryValue(sql, parameters, found)) {
    db::ReportDbError(error(), kSearchFailed);
    return false;
  }
  return found.has_value();
}

CounterTable::CreditResult CounterTable::AddCounts(std::string_view countername, int64_t packets,
                                                   int64_t bytes) {
  if (!IsOpen()) return CreditResult::kFailed;
  const db::DbParameter parameters[] = {packets, bytes, countername};
  int64_t changed = 0;
  if (!connection()->Execute(kCreditSql, parameters, &changed)) {
    db::ReportDbError(error(), kCreditFailed);
    return CreditResult::kFailed;
  }
  if (changed > 0) return CreditResult::kCredited;
  // Nothing changed: either the table is empty, which is no fault, or the counter's row is gone.
  bool empty = false;
  if (!CountersEmpty(empty)) {
    db::ReportDbError(error(), kCreditFailed);
    return CreditResult::kFailed;
  }
  return empty ? CreditResult::kEmptyTable : CreditResult::kNoRow;
}

bool CounterTable::CountersEmpty(bool& empty) {
  std::optional<db::DbValue> any;
  if (!connection()->QueryValue(kAnyRowSql, {}, any)) return false;
  empty = any.has_value() && std::holds_alternative<int64_t>(*any) && std::get<int64_t>(*any) == 0;
  return true;
}

bool CounterTable::AddCountsInOneTransaction(const CountDeltas& deltas, size_t& missing) {
  missing = 0;
  if (!IsOpen()) return false;
  // The first failure is the one reported; the rollback then undoes whatever went before it.
  const auto fail = [this] {
    db::ReportDbError(error(), kCreditFailed);
    connection()->Execute(kRollbackSql, {});
    return false;
  };
  if (!connection()->BeginWrite()) return fail();
  std::vector<db::DbParameter> parameters;
  for (auto entry = deltas.begin(); entry != deltas.end();) {
    parameters.clear();
    size_t count = 0;
    for (; entry != deltas.end() && count < kEntriesPerUpdate; ++entry) {
      if (entry->second.packets == 0 && entry->second.bytes == 0) continue;
      parameters.insert(parameters.end(), {entry->second.packets, entry->second.bytes,
                                           std::string_view(entry->first)});
      ++count;
    }
    if (count == 0) break;
    // Padded with entries that match no row, so that a connection prepares few statement texts.
    const size_t padded = std::bit_ceil(count);
    for (size_t i = count; i < padded; ++i) {
      parameters.insert(parameters.end(), {int64_t{0}, int64_t{0}, std::monostate{}});
    }
    int64_t changed = 0;
    if (!connection()->Execute(BatchCreditSql(padded), parameters, &changed)) return fail();
    missing += count - std::min(count, static_cast<size_t>(changed));
  }
  if (missing > 0) {
    bool empty = false;
    if (!CountersEmpty(empty)) return fail();
    if (empty) missing = 0;
  }
  if (!connection()->Execute(kCommitSql, {})) return fail();
  return true;
}

}  // namespace flowsentry::counters
