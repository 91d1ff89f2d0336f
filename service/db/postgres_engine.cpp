#include "service/db/postgres_engine.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/errors.h"

namespace flowsentry::db {
namespace {

constexpr char kSource[] = "PostgreSQL";
constexpr char kCannotConnect[] = "08001";
constexpr char kConnectionLost[] = "08006";

// Type OIDs of the built-in types a row buffer can store into (fixed by the server's catalog).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kTextOid = 25;
constexpr Oid kBpcharOid = 1042;
constexpr Oid kVarcharOid = 1043;

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

std::mutex clock_mutex;
PostgresClock& ClockSlot() {
  static PostgresClock clock;
  return clock;
}

int64_t NowMs() {
  {
    std::lock_guard lock(clock_mutex);
    if (ClockSlot()) return ClockSlot()();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string TrimmedMessage(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

DbError EngineError(std::string_view sqlstate, std::string message) {
  const std::string record = "SQLSTATE " + std::string(sqlstate) + ": " + message;
  return DbError{HResultForSqlState(sqlstate),
                 kSource,
                 std::move(message),
                 {{PackSqlState(sqlstate), record}}};
}

DbError ConnectionError(PGconn* connection, const char* sqlstate) {
  return EngineError(
      sqlstate, TrimmedMessage(connection != nullptr ? PQerrorMessage(connection)
                                                     : "out of memory allocating a connection"));
}

DbError ResultError(PGconn* connection, const PGresult* result) {
  const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  if (sqlstate == nullptr) {
    // Without an answer from the server the connection is what failed.
    return ConnectionError(
        connection, PQstatus(connection) == CONNECTION_BAD ? kConnectionLost : kCannotConnect);
  }
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  return EngineError(sqlstate,
                     TrimmedMessage(primary != nullptr ? primary : PQresultErrorMessage(result)));
}

DbError ClosedObject() {
  return DbError{kAdoObjectClosed,
                 kAccessLayerSource,
                 "Operation is not allowed when the object is closed.",
                 {}};
}

// A statement's "?" placeholders as PostgreSQL's "$1", "$2", ...; quoted texts and names are
// left alone.
std::string NumberPlaceholders(std::string_view sql) {
  std::string out;
  int number = 0;
  char quote = 0;
  for (const char c : sql) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      out += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      out += c;
    } else if (c == '?') {
      out += "$" + std::to_string(++number);
    } else {
      out += c;
    }
  }
  return out;
}

DbColumnType ColumnTypeOf(const PGresult* shape, int column) {
  DbColumnType type;
  const Oid oid = PQftype(shape, column);
  const int modifier = PQfmod(shape, column);
  switch (oid) {
    case kInt4Oid:
      type = {DbColumnKind::kInteger, -1, "integer"};
      break;
    case kInt8Oid:
      type = {DbColumnKind::kInteger, -1, "bigint"};
      break;
    case kInt2Oid:
      type = {DbColumnKind::kOther, -1, "smallint"};
      break;
    case kTextOid:
      type = {DbColumnKind::kText, -1, "text"};
      break;
    case kVarcharOid:
    case kBpcharOid:
      // The type modifier of a sized character type is its length plus a 4-byte header.
      type = {DbColumnKind::kText, modifier >= 4 ? modifier - 4 : -1,
              oid == kVarcharOid ? "character varying" : "character"};
      if (type.max_length >= 0) type.name += "(" + std::to_string(type.max_length) + ")";
      break;
    default:
      type = {DbColumnKind::kOther, -1, "type " + std::to_string(oid)};
      break;
  }
  return type;
}

DbValue ValueOf(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::monostate{};
  const char* text = PQgetvalue(result, row, column);
  const std::string_view value(text, static_cast<size_t>(PQgetlength(result, row, column)));
  const Oid oid = PQftype(result, column);
  // A truth value reads as the number SQLite gives for it, so that one query serves both.
  if (oid == kBoolOid) return int64_t{value == "t" ? 1 : 0};
  if (oid == kInt2Oid || oid == kInt4Oid || oid == kInt8Oid) {
    int64_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec == std::errc() && end == value.data() + value.size()) return number;
  }
  return std::string(value);
}

class PostgresConnection final : public DbConnection {
 public:
  PostgresConnection(Connection connection, std::string quoted_schema)
      : connection_(std::move(connection)),
        quoted_schema_(std::move(quoted_schema)),
        last_attempt_ms_(NowMs()) {}
  ~PostgresConnection() override { Close(); }

  bool IsOpen() const override { return connection_ != nullptr; }
  void Close() override { connection_.reset(); }

  bool OpenTable(std::string_view table, std::unique_ptr<DbRecordset>& recordset) override;
  bool Execute(std::string_view sql, std::span<const DbParameter> parameters,
               int64_t* rows_affected) override {
    Result result = Run(NumberPlaceholders(sql), parameters, PGRES_COMMAND_OK);
    if (result == nullptr) return false;
    if (rows_affected != nullptr) {
      const char* count = PQcmdTuples(result.get());
      *rows_affected = count != nullptr && *count != '\0' ? std::atoll(count) : 0;
    }
    return true;
  }
  bool QueryValue(std::string_view sql, std::span<const DbParameter> parameters,
                  std::optional<DbValue>& value) override {
    value.reset();
    Result result = Run(NumberPlaceholders(sql), parameters, PGRES_TUPLES_OK);
    if (result == nullptr) return false;
    if (PQntuples(result.get()) > 0 && PQnfields(result.get()) > 0) {
      value = ValueOf(result.get(), 0, 0);
    }
    return true;
  }
  bool QueryRows(std::string_view sql, std::span<const DbParameter> parameters,
                 const std::function<void(const std::vector<DbValue>&)>& row) override {
    Result result = Run(NumberPlaceholders(sql), parameters, PGRES_TUPLES_OK);
    if (result == nullptr) return false;
    std::vector<DbValue> values;
    for (int i = 0; i < PQntuples(result.get()); ++i) {
      values.clear();
      for (int column = 0; column < PQnfields(result.get()); ++column) {
        values.push_back(ValueOf(result.get(), i, column));
      }
      row(values);
    }
    return true;
  }
  const DbError& error() const override { return error_; }
  bool BeginWrite() override { return Execute("BEGIN", {}, nullptr); }
  std::string_view RowLockClause() const override { return " FOR UPDATE"; }

  // Points the session's search_path at the connection string's schema, if it names one. A
  // reconnected session starts from the server's default again, so this follows every connect.
  // A session whose setting failed (the server went away in between, say) is set again before
  // its next statement.
  bool SetSearchPath() {
    // Marked first, so that Run's look at the session lets this statement through.
    search_path_set_ = true;
    if (quoted_schema_.empty()) return true;
    const DbParameter parameters[] = {std::string_view(quoted_schema_)};
    search_path_set_ = Run("SELECT pg_catalog.set_config('search_path', $1, false)", parameters,
                           PGRES_TUPLES_OK) != nullptr;
    return search_path_set_;
  }

  // Runs `sql` with `parameters` bound to $1, $2, ... (sent as texts, typed by the server from
  // where they go), reconnecting first when the connection has broken. The result when its
  // status is `expected`; null with error() set otherwise.
  Result Run(const std::string& sql, std::span<const DbParameter> parameters,
             ExecStatusType expected) {
    if (!Usable()) return nullptr;
    std::vector<std::optional<std::string>> texts;
    texts.reserve(parameters.size());
    for (const DbParameter& parameter : parameters) {
      if (const auto* number = std::get_if<int64_t>(&parameter)) {
        texts.emplace_back(std::to_string(*number));
      } else if (const auto* text = std::get_if<std::string_view>(&parameter)) {
        texts.emplace_back(std::string(*text));
      } else {
        texts.emplace_back(std::nullopt);
      }
    }
    std::vector<const char*> values;
    values.reserve(texts.size());
    for (const auto& text : texts) values.push_back(text ? text->c_str() : nullptr);
    Result result(PQexecParams(connection_.get(), sql.c_str(), static_cast<int>(values.size()),
                               nullptr, values.data(), nullptr, nullptr, 0));
    if (result == nullptr || PQresultStatus(result.get()) != expected) {
      error_ = ResultError(connection_.get(), result.get());
      return nullptr;
    }
    return result;
  }

  // `name` quoted as an identifier; empty (error() set) on failure.
  std::string QuoteIdentifier(std::string_view name) {
    char* quoted = PQescapeIdentifier(connection_.get(), name.data(), name.size());
    if (quoted == nullptr) {
      error_ = ConnectionError(connection_.get(), kCannotConnect);
      error_.hresult = kDbErrorsInCommand;
      return {};
    }
    std::string text(quoted);
    PQfreemem(quoted);
    return text;
  }

  bool Fail(DbError error) {
    error_ = std::move(error);
    return false;
  }

 private:
  // True when the connection can take a statement: it is good, or it had broken and one
  // reconnection, paced to one a second, has just brought it back.
  bool Usable() {
    if (connection_ == nullptr) return Fail(ClosedObject());
    if (PQstatus(connection_.get()) == CONNECTION_OK) return search_path_set_ || SetSearchPath();
    const int64_t now = NowMs();
    if (now - last_attempt_ms_ < kPostgresReconnectIntervalMs) {
      return Fail(EngineError(
          kConnectionLost,
          "The connection to the server is broken; the next attempt to "
          "reconnect is due in " +
              std::to_string(kPostgresReconnectIntervalMs - (now - last_attempt_ms_)) + " ms."));
    }
    last_attempt_ms_ = now;
    PQreset(connection_.get());
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
      return Fail(ConnectionError(connection_.get(), kCannotConnect));
    }
    search_path_set_ = false;
    return SetSearchPath();
  }

  Connection connection_;
  std::string quoted_schema_;     // empty without a Schema key
  bool search_path_set_ = false;  // for this session
  int64_t last_attempt_ms_;       // the last connection attempt, by NowMs()
  DbError error_;
};

class PostgresRecordset final : public DbRecordset {
 public:
  PostgresRecordset(PostgresConnection& connection, std::string quoted_table,
                    std::vector<std::string> quoted_columns, std::vector<DbColumnType> types)
      : connection_(&connection),
        quoted_table_(std::move(quoted_table)),
        quoted_columns_(std::move(quoted_columns)),
        types_(std::move(types)) {}

  bool IsOpen() const override { return connection_ != nullptr; }
  void Close() override {
    connection_ = nullptr;
    rows_.reset();
    current_.clear();
  }
  size_t ColumnCount() const override { return quoted_columns_.size(); }
  DbColumnType ColumnType(size_t index) const override {
    return index < types_.size() ? types_[index] : DbColumnType{};
  }
  bool IsBof() const override { return rows_ != nullptr && PQntuples(rows_.get()) == 0; }
  bool IsEof() const override { return rows_ != nullptr && position_ >= PQntuples(rows_.get()); }

  // The rows are read once, at the first move: the cursor walks that snapshot.
  bool MoveFirst() override {
    if (connection_ == nullptr) return false;
    rows_ = connection_->Run("SELECT * FROM " + quoted_table_, {}, PGRES_TUPLES_OK);
    position_ = 0;
    return Read();
  }
  bool MoveNext() override {
    if (rows_ == nullptr) return MoveFirst();
    if (position_ < PQntuples(rows_.get())) ++position_;
    return Read();
  }
  const std::vector<DbValue>& CurrentRow() const override { return current_; }

  bool AddRow(std::span<const DbParameter> values) override {
    return Insert(values, values.size());
  }

  // One statement per kPostgresParametersPerInsert values, so that a large batch neither meets
  // the protocol's limit of parameters nor makes one huge statement; each statement is kept or
  // refused whole.
  bool AddRows(std::span<const DbParameter> values, size_t width, size_t& stored) override {
    stored = 0;
    if (width == 0 || connection_ == nullptr) return false;
    const size_t rows_per_insert = std::max<size_t>(1, kPostgresParametersPerInsert / width);
    const size_t rows = values.size() / width;
    while (stored < rows) {
      const size_t count = std::min(rows_per_insert, rows - stored);
      if (!Insert(values.subspan(stored * width, count * width), width)) return false;
      stored += count;
    }
    return true;
  }

 private:
  // One INSERT of the rows of `width` values lying back to back in `values`.
  bool Insert(std::span<const DbParameter> values, size_t width) {
    if (connection_ == nullptr) return false;
    if (width > quoted_columns_.size()) {
      return connection_->Fail(
          DbError{kDbErrorsInCommand, kSource, "More values than the table has columns.", {}});
    }
    std::string sql = "INSERT INTO " + quoted_table_ + " (";
    for (size_t i = 0; i < width; ++i) {
      if (i > 0) sql += ", ";
      sql += quoted_columns_[i];
    }
    sql += ") VALUES ";
    for (size_t i = 0; i < values.size(); ++i) {
      sql += i % width == 0 ? (i == 0 ? "($" : "), ($") : ", $";
      sql += std::to_string(i + 1);
    }
    sql += values.empty() ? "()" : ")";
    return connection_->Run(sql, values, PGRES_COMMAND_OK) != nullptr;
  }

  bool Read() {
    current_.clear();
    if (rows_ == nullptr) return false;
    if (position_ < PQntuples(rows_.get())) {
      for (int column = 0; column < PQnfields(rows_.get()); ++column) {
        current_.push_back(ValueOf(rows_.get(), position_, column));
      }
    }
    return true;
  }

  PostgresConnection* connection_;  // not owned; null once closed
  std::string quoted_table_;
  std::vector<std::string> quoted_columns_;
  std::vector<DbColumnType> types_;
  Result rows_;
  int position_ = 0;
  std::vector<DbValue> current_;
};

bool PostgresConnection::OpenTable(std::string_view table,
                                   std::unique_ptr<DbRecordset>& recordset) {
  recordset.reset();
  if (!Usable()) return false;
  const std::string quoted_table = QuoteIdentifier(table);
  if (quoted_table.empty()) return false;
  Result shape = Run("SELECT * FROM " + quoted_table + " LIMIT 0", {}, PGRES_TUPLES_OK);
  if (shape == nullptr) return false;
  std::vector<std::string> columns;
  std::vector<DbColumnType> types;
  for (int i = 0; i < PQnfields(shape.get()); ++i) {
    columns.push_back(QuoteIdentifier(PQfname(shape.get(), i)));
    if (columns.back().empty()) return false;
    types.push_back(ColumnTypeOf(shape.get(), i));
  }
  recordset = std::make_unique<PostgresRecordset>(*this, quoted_table, std::move(columns),
                                                  std::move(types));
  return true;
}

// Where each ADO key goes among libpq's parameters.
struct KeyMapping {
  const char* ado_key;
  const char* libpq_key;
};
constexpr KeyMapping kKeyMappings[] = {
    {"data source", "host"},
    {"server", "host"},
    {"host", "host"},
    {"port", "port"},
    {"initial catalog", "dbname"},
    {"database", "dbname"},
    {"location", "dbname"},
    {"user id", "user"},
    {"uid", "user"},
    {"user", "user"},
    {"password", "password"},
    {"pwd", "password"},
    {"connect timeout", "connect_timeout"},
};

void IgnoreNotice(void*, const char*) {}

// A name SQL takes without quotes: a letter or "_", then letters, digits or "_".
bool IsPlainIdentifier(std::string_view name) {
  constexpr size_t kMaxIdentifierLength = 63;  // the server's NAMEDATALEN - 1
  if (name.empty() || name.size() > kMaxIdentifierLength) return false;
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!letter(name.front())) return false;
  return std::all_of(name.begin(), name.end(),
                     [&letter](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// The connection string's Schema as its quoted identifier, lower case as SQL folds a plain
// name; empty without the key. False (error set) for a value that is not a plain identifier.
bool SchemaOf(const ConnectionProperties& properties, std::string& schema, DbError& error) {
  schema.clear();
  const auto found = properties.find("schema");
  if (found == properties.end() || found->second.empty()) return true;
  if (!IsPlainIdentifier(found->second)) {
    error = DbError{kEFail,
                    kAccessLayerSource,
                    "The connection string's Schema \"" + found->second +
                        "\" is not a plain identifier (letters, digits and _, not beginning with "
                        "a digit, at most 63 characters).",
                    {}};
    return false;
  }
  for (const char c : found->second) {
    schema += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  // A plain lower-case name needs no escaping inside the quotes.
  schema = "\"" + schema + "\"";
  return true;
}

}  // namespace

int32_t PackSqlState(std::string_view sqlstate) {
  if (sqlstate.size() != 5) return 0;
  uint32_t packed = 0;
  for (size_t i = 0; i < 5; ++i) {
    packed |= (static_cast<uint32_t>(sqlstate[i] - '0') & 0x3F) << (6 * i);
  }
  return static_cast<int32_t>(packed);
}

HResult HResultForSqlState(std::string_view sqlstate) {
  const std::string_view class_code = sqlstate.substr(0, 2);
  if (sqlstate == "42P01") return kDbNoTable;
  if (sqlstate == "42501" || class_code == "28") {
    return HResultFromWin32(platform::ERROR_ACCESS_DENIED);
  }
  if (class_code == "42") return kDbErrorsInCommand;
  if (class_code == "23") return kDbIntegrityViolation;
  if (sqlstate == "22001" || sqlstate == "22003") return kDbDataOverflow;
  if (class_code == "22") return kDbCantConvertValue;
  if (sqlstate == "40001" || sqlstate == "40P01") {
    return HResultFromWin32(platform::ERROR_LOCK_VIOLATION);
  }
  if (sqlstate == "53100") return HResultFromWin32(platform::ERROR_DISK_FULL);
  if (sqlstate == "53200") return kEOutOfMemory;
  return kEFail;
}

void SetPostgresClockForTesting(PostgresClock clock) {
  std::lock_guard lock(clock_mutex);
  ClockSlot() = std::move(clock);
}

bool OpenPostgresConnection(const ConnectionProperties& properties,
                            std::unique_ptr<DbConnection>& connection, DbError& error) {
  connection.reset();
  std::string schema;
  if (!SchemaOf(properties, schema, error)) return false;
  // When the string gives two keys for one parameter (Server and Host, say), the one later in
  // kKeyMappings wins.
  std::map<std::string, std::string> parameters{{"connect_timeout", kPostgresConnectTimeout},
                                                {"application_name", "flowmeter"}};
  for (const KeyMapping& mapping : kKeyMappings) {
    const auto found = properties.find(mapping.ado_key);
    if (found != properties.end()) parameters[mapping.libpq_key] = found->second;
  }
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : parameters) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  Connection raw(PQconnectdbParams(keys.data(), values.data(), /*expand_dbname=*/0));
  if (raw == nullptr || PQstatus(raw.get()) != CONNECTION_OK) {
    error = ConnectionError(raw.get(), kCannotConnect);
    return false;
  }
  PQsetNoticeProcessor(raw.get(), IgnoreNotice, nullptr);
  auto opened = std::make_unique<PostgresConnection>(std::move(raw), std::move(schema));
  if (!opened->SetSearchPath()) {
    error = opened->error();
    return false;
  }
  connection = std::move(opened);
  return true;
}

}  // namespace flowsentry::db
