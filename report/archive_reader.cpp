#include "report/archive_reader.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <unordered_map>

#include "platform/time.h"

namespace flowsentry::report {
namespace {

// Positions of the columns that the queries select.
enum Column : size_t { kName = 0, kPackets, kBytes, kState, kTimeCreate, kTimeCount, kColumns };

std::optional<int64_t> Number(const db::DbValue& value) {
  if (const auto* number = std::get_if<int64_t>(&value)) return *number;
  if (const auto* text = std::get_if<std::string>(&value)) {
    int64_t parsed = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), parsed);
    if (ec == std::errc() && end == text->data() + text->size()) return parsed;
  }
  return std::nullopt;
}

std::string Text(const db::DbValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
  return {};
}

std::string Describe(std::string_view table, const db::DbError& error) {
  std::string reason =
      error.description.empty() ? db::HResultMessage(error.hresult) : error.description;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (error.hresult == db::kDbNoTable || reason.rfind("no such table", 0) == 0) {
    reason = "no such table";
  }
  return "table " + std::string(table) + ": " + reason;
}

class Reader {
 public:
  explicit Reader(db::DbConnection& connection) : connection_(connection) {}

  // One query per table, its rows taken as they come.
  bool ReadTable(std::string_view table, bool running, std::string& error) {
    bool short_row = false;
    const std::string sql =
        "SELECT countername, packets, bytes, state, timecreate, timecount FROM " +
        std::string(table);
    const bool ok = connection_.QueryRows(sql, {}, [&](const std::vector<db::DbValue>& row) {
      if (row.size() < kColumns) {
        short_row = true;
        return;
      }
      Add(row, running);
    });
    if (!ok) {
      error = Describe(table, connection_.error());
      return false;
    }
    if (short_row) {
      error = "table " + std::string(table) + ": rows of fewer columns than selected";
      return false;
    }
    return true;
  }

  std::vector<CounterHistory> Take() {
    // Counters of `counters` first, in its order; then the removed ones by name.
    std::stable_sort(histories_.begin(), histories_.end(),
                     [](const CounterHistory& a, const CounterHistory& b) {
                       if (a.in_counters != b.in_counters) return a.in_counters;
                       return !a.in_counters && a.name < b.name;
                     });
    return std::move(histories_);
  }

 private:
  void Add(const std::vector<db::DbValue>& row, bool running) {
    if (std::holds_alternative<std::monostate>(row[kName])) return;
    const std::optional<int64_t> count = Number(row[kTimeCount]);
    const std::optional<int64_t> start = count ? count : Number(row[kTimeCreate]);
    if (!start) return;
    const std::optional<int32_t> day = DayOf(*start);
    if (!day) return;
    const size_t index = IndexOf(Text(row[kName]));
    CounterHistory& history = histories_[index];
    history.records.push_back(
        {*day, {Number(row[kPackets]).value_or(0), Number(row[kBytes]).value_or(0)}});
    // The state of `counters` wins over the archive's; among archive rows, the newest.
    if (running) {
      history.in_counters = true;
      history.running_day = *day;
      history.state = static_cast<int>(Number(row[kState]).value_or(0));
    } else if (!history.in_counters && *day >= newest_[index]) {
      newest_[index] = *day;
      history.state = static_cast<int>(Number(row[kState]).value_or(0));
    }
  }

  size_t IndexOf(const std::string& name) {
    const auto [found, added] = index_.try_emplace(name, histories_.size());
    if (added) {
      histories_.emplace_back();
      histories_.back().name = name;
      newest_.push_back(INT32_MIN);
    }
    return found->second;
  }

  // Periods start at a local midnight, so few distinct values come by: each is converted once.
  std::optional<int32_t> DayOf(int64_t seconds) {
    if (const auto found = days_.find(seconds); found != days_.end()) return found->second;
    const std::optional<platform::LocalTime> local = platform::ToLocalTime(seconds);
    if (!local) return std::nullopt;
    const auto day =
        static_cast<int32_t>(DayNumber(Date{local->year + 1900, local->month + 1, local->day}));
    days_.emplace(seconds, day);
    return day;
  }

  db::DbConnection& connection_;
  std::vector<CounterHistory> histories_;
  std::unordered_map<std::string, size_t> index_;
  std::unordered_map<int64_t, int32_t> days_;
  std::vector<int32_t> newest_;  // per history: the day of its newest archive row
};

}  // namespace

std::string SqliteConnectionString(std::string_view path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return "Provider=SQLite;Data Source=" + quoted + "\";Mode=Read;";
}

bool ReadCounterHistories(db::DbConnection& connection, std::vector<CounterHistory>& histories,
                          std::string& error, std::string_view schema) {
  histories.clear();
  // Counters first, so that they come in their table's order.
  Reader reader(connection);
  if (!connection.Execute("BEGIN", {})) {
    error = Describe("counters", connection.error());
    return false;
  }
  std::string prefix;
  if (!schema.empty()) {
    prefix = "\"";
    for (char c : schema) prefix += c == '"' ? std::string("\"\"") : std::string(1, c);
    prefix += "\".";
  }
  const bool ok = reader.ReadTable(prefix + "counters", true, error) &&
                  reader.ReadTable(prefix + "countersstat", false, error);
  connection.Execute("ROLLBACK", {});
  if (!ok) return false;
  histories = reader.Take();
  return true;
}

bool ListHostSchemas(db::DbConnection& connection, std::vector<std::string>& schemas,
                     std::string& error) {
  schemas.clear();
  const bool ok = connection.QueryRows(
      "SELECT table_schema FROM information_schema.tables WHERE table_name = 'countersstat' "
      "ORDER BY table_schema",
      {}, [&](const std::vector<db::DbValue>& row) {
        if (!row.empty()) schemas.push_back(Text(row[0]));
      });
  if (!ok) error = Describe("information_schema.tables", connection.error());
  return ok;
}

}  // namespace flowsentry::report
