#include "service/db/sqlite_engine.h"

#include <sqlite3.h>

#include <cctype>
#include <functional>
#include <utility>

#include "platform/errno_map.h"
#include "platform/root.h"

namespace flowsentry::db {
namespace {

constexpr char kSource[] = "SQLite";

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

// "name" as an SQL identifier: in double quotes, with inner double quotes doubled.
std::string QuoteIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

bool Contains(const std::string& upper, const char* part) {
  return upper.find(part) != std::string::npos;
}

// A column's kind from its declared type, by SQLite's rules of type affinity: INTEGER and
// NUMERIC affinity keep whole numbers as integers; TEXT affinity keeps texts; a column without a
// declared type (or ANY) keeps whatever it is given; REAL affinity turns integers into reals and
// a declared BLOB is meant for bytes, so both count as other.
DbColumnType DeclaredType(const char* declared) {
  DbColumnType type;
  type.name = declared != nullptr ? declared : "";
  std::string upper = type.name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (Contains(upper, "INT")) {
    type.kind = DbColumnKind::kInteger;
  } else if (Contains(upper, "CHAR") || Contains(upper, "CLOB") || Contains(upper, "TEXT")) {
    // SQLite keeps texts whole whatever length the declaration gives.
    type.kind = DbColumnKind::kText;
  } else if (upper.empty() || upper == "ANY") {
    type.kind = DbColumnKind::kAny;
  } else if (Contains(upper, "BLOB") || Contains(upper, "REAL") || Contains(upper, "FLOA") ||
             Contains(upper, "DOUB")) {
    type.kind = DbColumnKind::kOther;
  } else {
    type.kind = DbColumnKind::kInteger;  // NUMERIC affinity
  }
  return type;
}

// The Windows code of an operating-system error SQLite met; 0 when it met none.
platform::Win32Error SystemError(sqlite3* db) {
  const int system_errno = sqlite3_system_errno(db);
  return system_errno == 0 ? 0 : platform::Win32ErrorFromErrno(system_errno);
}

HResult MapResult(int extended_code, platform::Win32Error system_error) {
  switch (extended_code & 0xFF) {
    case SQLITE_CANTOPEN:
      return HResultFromWin32(system_error != 0 ? system_error : platform::ERROR_PATH_NOT_FOUND);
    case SQLITE_IOERR:
      return HResultFromWin32(system_error != 0 ? system_error : platform::ERROR_IO_DEVICE);
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return HResultFromWin32(platform::ERROR_LOCK_VIOLATION);
    case SQLITE_NOMEM:
      return kEOutOfMemory;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return HResultFromWin32(platform::ERROR_ACCESS_DENIED);
    case SQLITE_FULL:
      return HResultFromWin32(platform::ERROR_DISK_FULL);
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return HResultFromWin32(platform::ERROR_INVALID_DATA);
    case SQLITE_CONSTRAINT:
      return kDbIntegrityViolation;
    case SQLITE_MISMATCH:
      return kDbCantConvertValue;
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
      return kDbDataOverflow;
    case SQLITE_ERROR:
      return kDbErrorsInCommand;
    default:
      return kEFail;
  }
}

DbError EngineFailure(sqlite3* db, int code) {
  const int extended = db != nullptr ? sqlite3_extended_errcode(db) : code;
  const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  const platform::Win32Error system_error = db != nullptr ? SystemError(db) : 0;
  return DbError{MapResult(extended, system_error), kSource, message, {{extended, message}}};
}

DbError ClosedObject() {
  return DbError{kAdoObjectClosed,
                 kAccessLayerSource,
                 "Operation is not allowed when the object is closed.",
                 {}};
}

class SqliteConnection;

class SqliteRecordset final : public DbRecordset {
 public:
  SqliteRecordset(SqliteConnection& connection, std::string table, std::vector<std::string> columns,
                  std::vector<DbColumnType> types)
      : connection_(&connection),
        table_(std::move(table)),
        columns_(std::move(columns)),
        types_(std::move(types)) {}

  bool IsOpen() const override { return connection_ != nullptr; }
  void Close() override {
    connection_ = nullptr;
    keys_.clear();
    row_.clear();
  }
  size_t ColumnCount() const override { return columns_.size(); }
  DbColumnType ColumnType(size_t index) const override {
    return index < types_.size() ? types_[index] : DbColumnType{};
  }
  bool IsBof() const override { return keyed_ && keys_.empty(); }
  bool IsEof() const override { return keyed_ && position_ >= keys_.size(); }
  bool MoveFirst() override {
    if (!keyed_ && !TakeKeys()) return false;
    position_ = 0;
    return Fetch();
  }
  bool MoveNext() override {
    if (!keyed_) return MoveFirst();
    if (position_ < keys_.size()) ++position_;
    return Fetch();
  }
  const std::vector<DbValue>& CurrentRow() const override { return row_; }
  bool AddRow(std::span<const DbParameter> values) override;
  // One transaction: every row is kept, or none.
  bool AddRows(std::span<const DbParameter> values, size_t width, size_t& stored) override;

 private:
  // The INSERT of one row of `count` values; false (error set) when the table has fewer columns.
  bool InsertSql(size_t count, std::string& sql);
  bool TakeKeys();
  // Reads the row at position_, passing over keys whose rows have gone since they were taken.
  bool Fetch();
  std::string ColumnList(size_t count) const {
    std::string list;
    for (size_t i = 0; i < count; ++i) {
      if (i > 0) list += ", ";
      list += QuoteIdentifier(columns_[i]);
    }
    return list;
  }

  SqliteConnection* connection_;  // not owned; null once closed
  std::string table_;
  std::vector<std::string> columns_;
  std::vector<DbColumnType> types_;
  bool keyed_ = false;
  std::vector<int64_t> keys_;  // rowids, in the table's order
  size_t position_ = 0;
  std::vector<DbValue> row_;
};

class SqliteConnection final : public DbConnection {
 public:
  explicit SqliteConnection(Database db) : db_(std::move(db)) {}
  ~SqliteConnection() override { Close(); }

  bool IsOpen() const override { return db_ != nullptr; }
  void Close() override {
    statements_.clear();
    db_.reset();
  }

  bool OpenTable(std::string_view table, std::unique_ptr<DbRecordset>& recordset) override;
  bool Execute(std::string_view sql, std::span<const DbParameter> parameters,
               int64_t* rows_affected) override;
  bool QueryValue(std::string_view sql, std::span<const DbParameter> parameters,
                  std::optional<DbValue>& value) override;
  bool QueryRows(std::string_view sql, std::span<const DbParameter> parameters,
                 const std::function<void(const std::vector<DbValue>&)>& row) override;
  const DbError& error() const override { return error_; }
  void SetBusyTimeout(uint32_t milliseconds) override {
    if (db_ != nullptr) sqlite3_busy_timeout(db_.get(), static_cast<int>(milliseconds));
  }
  // IMMEDIATE takes the write lock at once: a transaction that first reads and then writes could
  // otherwise meet another writer in between and fail without waiting.
  bool BeginWrite() override { return Execute("BEGIN IMMEDIATE", {}, nullptr); }

  // A prepared statement for `sql`, kept for the life of the connection, reset and with its
  // parameters bound; null (with error() set) on failure.
  sqlite3_stmt* Prepare(std::string_view sql, std::span<const DbParameter> parameters);

  // Steps a prepared statement through every row, giving each to `row`; resets it after.
  bool Run(sqlite3_stmt* statement, const std::function<void(sqlite3_stmt*)>& row);

  bool Fail(int code) {
    error_ = EngineFailure(db_.get(), code);
    return false;
  }
  bool Fail(DbError error) {
    error_ = std::move(error);
    return false;
  }

 private:
  Database db_;
  std::map<std::string, Statement, std::less<>> statements_;
  DbError error_;
};

DbValue ColumnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
      return std::monostate{};
    case SQLITE_INTEGER:
      return static_cast<int64_t>(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT: {
      // A whole number stored as real reads as that number; any other real as its text.
      const double real = sqlite3_column_double(statement, column);
      if (real >= -9.2e18 && real <= 9.2e18 &&
          real == static_cast<double>(static_cast<int64_t>(real))) {
        return static_cast<int64_t>(real);
      }
      [[fallthrough]];
    }
    default: {
      // Text and blob come as their bytes, which the binding converts as it can.
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      const int size = sqlite3_column_bytes(statement, column);
      return text == nullptr ? std::string() : std::string(text, static_cast<size_t>(size));
    }
  }
}

sqlite3_stmt* SqliteConnection::Prepare(std::string_view sql,
                                        std::span<const DbParameter> parameters) {
  if (db_ == nullptr) {
    Fail(ClosedObject());
    return nullptr;
  }
  auto found = statements_.find(sql);
  if (found == statements_.end()) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db_.get(), sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    Statement statement(raw);
    if (rc != SQLITE_OK) {
      Fail(rc);
      return nullptr;
    }
    found = statements_.emplace(std::string(sql), std::move(statement)).first;
  }
  sqlite3_stmt* statement = found->second.get();
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  int index = 1;
  for (const DbParameter& parameter : parameters) {
    int rc = SQLITE_OK;
    if (const auto* number = std::get_if<int64_t>(&parameter)) {
      rc = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string_view>(&parameter)) {
      // The parameter outlives the statement's run, which ends before this call's caller returns.
      rc = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_STATIC,
                               SQLITE_UTF8);
    } else {
      rc = sqlite3_bind_null(statement, index);
    }
    if (rc != SQLITE_OK) {
      Fail(rc);
      return nullptr;
    }
    ++index;
  }
  return statement;
}

bool SqliteConnection::Run(sqlite3_stmt* statement, const std::function<void(sqlite3_stmt*)>& row) {
  for (;;) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      if (row) row(statement);
      continue;
    }
    if (rc == SQLITE_DONE) {
      sqlite3_reset(statement);
      return true;
    }
    // The error is read before the reset, which would report it again but lose nothing.
    Fail(rc);
    sqlite3_reset(statement);
    return false;
  }
}

bool SqliteConnection::Execute(std::string_view sql, std::span<const DbParameter> parameters,
                               int64_t* rows_affected) {
  sqlite3_stmt* statement = Prepare(sql, parameters);
  if (statement == nullptr || !Run(statement, nullptr)) return false;
  if (rows_affected != nullptr) *rows_affected = sqlite3_changes64(db_.get());
  return true;
}

bool SqliteConnection::QueryValue(std::string_view sql, std::span<const DbParameter> parameters,
                                  std::optional<DbValue>& value) {
  value.reset();
  sqlite3_stmt* statement = Prepare(sql, parameters);
  if (statement == nullptr) return false;
  return Run(statement, [&value](sqlite3_stmt* s) {
    if (!value.has_value()) value = ColumnValue(s, 0);
  });
}

bool SqliteConnection::QueryRows(std::string_view sql, std::span<const DbParameter> parameters,
                                 const std::function<void(const std::vector<DbValue>&)>& row) {
  sqlite3_stmt* statement = Prepare(sql, parameters);
  if (statement == nullptr) return false;
  std::vector<DbValue> values;
  return Run(statement, [&](sqlite3_stmt* s) {
    values.clear();
    for (int i = 0; i < sqlite3_column_count(s); ++i) values.push_back(ColumnValue(s, i));
    row(values);
  });
}

bool SqliteConnection::OpenTable(std::string_view table, std::unique_ptr<DbRecordset>& recordset) {
  recordset.reset();
  if (db_ == nullptr) return Fail(ClosedObject());
  const std::string quoted = QuoteIdentifier(table);
  sqlite3_stmt* shape = Prepare("SELECT * FROM " + quoted + " LIMIT 0", {});
  if (shape == nullptr) {
    // A missing table is the one error in the statement text this can meet.
    if (error_.hresult == kDbErrorsInCommand) error_.hresult = kDbNoTable;
    return false;
  }
  std::vector<std::string> columns;
  std::vector<DbColumnType> types;
  for (int i = 0; i < sqlite3_column_count(shape); ++i) {
    columns.emplace_back(sqlite3_column_name(shape, i));
    types.push_back(DeclaredType(sqlite3_column_decltype(shape, i)));
  }
  if (!Run(shape, nullptr)) return false;
  recordset = std::make_unique<SqliteRecordset>(*this, std::string(table), std::move(columns),
                                                std::move(types));
  return true;
}

bool SqliteRecordset::TakeKeys() {
  if (connection_ == nullptr) return false;
  keys_.clear();
  sqlite3_stmt* select =
      connection_->Prepare("SELECT rowid FROM " + QuoteIdentifier(table_) + " ORDER BY rowid", {});
  if (select == nullptr || !connection_->Run(select, [this](sqlite3_stmt* s) {
        keys_.push_back(sqlite3_column_int64(s, 0));
      })) {
    keys_.clear();
    return false;
  }
  keyed_ = true;
  return true;
}

bool SqliteRecordset::Fetch() {
  row_.clear();
  if (connection_ == nullptr) return false;
  const std::string sql = "SELECT " + ColumnList(columns_.size()) + " FROM " +
                          QuoteIdentifier(table_) + " WHERE rowid = ?";
  while (position_ < keys_.size()) {
    const DbParameter key = keys_[position_];
    sqlite3_stmt* statement = connection_->Prepare(sql, std::span(&key, 1));
    if (statement == nullptr) return false;
    const bool ok = connection_->Run(statement, [this](sqlite3_stmt* s) {
      if (!row_.empty()) return;
      for (size_t i = 0; i < columns_.size(); ++i)
        row_.push_back(ColumnValue(s, static_cast<int>(i)));
    });
    if (!ok) {
      row_.clear();
      return false;
    }
    if (!row_.empty()) return true;
    ++position_;  // deleted since the open: passed over
  }
  return true;
}

bool SqliteRecordset::InsertSql(size_t count, std::string& sql) {
  if (count > columns_.size()) {
    return connection_->Fail(
        DbError{kDbErrorsInCommand, kSource, "More values than the table has columns.", {}});
  }
  sql = "INSERT INTO " + QuoteIdentifier(table_) + " (" + ColumnList(count) + ") VALUES (";
  for (size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ", ?";
  sql += ")";
  return true;
}

bool SqliteRecordset::AddRow(std::span<const DbParameter> values) {
  std::string sql;
  if (connection_ == nullptr || !InsertSql(values.size(), sql)) return false;
  sqlite3_stmt* statement = connection_->Prepare(sql, values);
  return statement != nullptr && connection_->Run(statement, nullptr);
}

bool SqliteRecordset::AddRows(std::span<const DbParameter> values, size_t width, size_t& stored) {
  stored = 0;
  std::string sql;
  if (connection_ == nullptr || width == 0 || !InsertSql(width, sql)) return false;
  if (!connection_->Execute("BEGIN", {}, nullptr)) return false;
  bool ok = true;
  for (size_t i = 0; ok && i + width <= values.size(); i += width) {
    // The one prepared INSERT serves every row.
    sqlite3_stmt* statement = connection_->Prepare(sql, values.subspan(i, width));
    ok = statement != nullptr && connection_->Run(statement, nullptr);
  }
  if (ok && connection_->Execute("COMMIT", {}, nullptr)) {
    stored = values.size() / width;
    return true;
  }
  // The rollback's own outcome matters to no one: the error to report is the one that ended
  // the transaction.
  DbError error = connection_->error();
  connection_->Execute("ROLLBACK", {}, nullptr);
  return connection_->Fail(std::move(error));
}

}  // namespace

bool OpenSqliteConnection(std::string_view path, std::unique_ptr<DbConnection>& connection,
                          DbError& error, bool read_only) {
  connection.reset();
  const std::string host_path = platform::HostPath(path);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(host_path.c_str(), &raw,
                                 (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                                     SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                                 nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) {
    error = EngineFailure(db.get(), rc);
    return false;
  }
  sqlite3_busy_timeout(db.get(), kSqliteBusyTimeoutMs);
  if (read_only) {
    // A file that is no database fails at the first look into it, which this is.
    if (const int look =
            sqlite3_exec(db.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        look != SQLITE_OK) {
      error = EngineFailure(db.get(), sqlite3_extended_errcode(db.get()) & 0xFF);
      return false;
    }
    connection = std::make_unique<SqliteConnection>(std::move(db));
    return true;
  }
  // Reading the journal mode is the first look into the file: a file that is no database fails
  // here. A database still in rollback mode is switched to the write-ahead log, which lets
  // readers and one writer work at once; should another connection hold it in use past the
  // busy timeout, it simply stays in its mode for now.
  if (sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db.get()) & 0xFF;
    if (code != SQLITE_BUSY && code != SQLITE_LOCKED) {
      error = EngineFailure(db.get(), code);
      return false;
    }
  }
  if (const int pragma =
          sqlite3_exec(db.get(), "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
      pragma != SQLITE_OK) {
    error = EngineFailure(db.get(), pragma);
    return false;
  }
  connection = std::make_unique<SqliteConnection>(std::move(db));
  return true;
}

}  // namespace flowsentry::db
