// The database engines behind AdoTable: the few things the service's table access needs of any
// engine, as a small interface with one implementation per engine (SQLite in sqlite_engine.cpp,
// PostgreSQL in postgres_engine.cpp), chosen by the Provider of an ADO-style connection string.
//
// A connection and the recordsets opened on it are used by one thread at a time. The connection
// must outlive its recordsets. Operations answer false on failure and leave the error in the
// connection's error(), as ADO leaves it in the connection's Errors collection.
#ifndef FLOWSENTRY_SERVICE_DB_DB_ENGINE_H_
#define FLOWSENTRY_SERVICE_DB_DB_ENGINE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "service/db/db_error.h"

namespace flowsentry::db {

// What a column holds, as far as a row buffer needs to know before it stores values there.
enum class DbColumnKind {
  kUnknown,  // the engine does not tell
  kAny,      // keeps every value as it is given (SQLite: a column without a declared type)
  kInteger,  // whole numbers of at least 32 bits
  kText,     // texts
  kOther,    // anything else: reals, blobs, dates, integers narrower than 32 bits, ...
};

struct DbColumnType {
  DbColumnKind kind = DbColumnKind::kUnknown;
  // For texts: the most characters the column keeps, or -1 without a limit the engine enforces.
  int64_t max_length = -1;
  // The type as the engine names it, for messages.
  std::string name;
};

// A column value as read: NULL, a 64-bit integer or a text (bytes as stored).
using DbValue = std::variant<std::monostate, int64_t, std::string>;

// A statement parameter or a value to store: NULL, a 64-bit integer or a text that the caller
// keeps alive for the call.
using DbParameter = std::variant<std::monostate, int64_t, std::string_view>;

// A cursor over one table. Keyset: the rows it moves through are the table's rows when the
// first MoveFirst was made, in the table's order (taking the keys at the first move rather than
// at the open spares a table that is only added to, such as a packet log, from being keyed);
// their values are read afresh at every move, and rows deleted since are passed over. Rows added
// through AddRow or by others after the keys were taken are not in the keyset.
class DbRecordset {
 public:
  virtual ~DbRecordset() = default;

  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Columns of the table, in their order.
  virtual size_t ColumnCount() const = 0;

  // The type of column `index` (from 0), as the table declares it.
  virtual DbColumnType ColumnType(size_t /*index*/) const { return {}; }

  // Before the first row: true only for an empty keyset. After the last row: true for an empty
  // keyset and once MoveNext has passed the last row. Before the first MoveFirst neither end is
  // known and both answer false.
  virtual bool IsBof() const = 0;
  virtual bool IsEof() const = 0;

  // Move to the first or the next row and read its values; false on an engine error. Landing
  // past the end is no error (IsEof tells it).
  virtual bool MoveFirst() = 0;
  virtual bool MoveNext() = 0;

  // The values of the current row, one per column; empty when not on a row.
  virtual const std::vector<DbValue>& CurrentRow() const = 0;

  // Adds and stores one row whose first columns take `values` in order; the remaining columns
  // take their defaults.
  virtual bool AddRow(std::span<const DbParameter> values) = 0;

  // Adds and stores rows as AddRow does, `width` values each, lying back to back in `values`,
  // in as few round trips to the engine as it allows (`width` is at least 1). On a refusal answers
  // false (error() set) with `stored` the number of leading rows that were kept; the others were
  // not.
  virtual bool AddRows(std::span<const DbParameter> values, size_t width, size_t& stored) = 0;
};

class DbConnection {
 public:
  virtual ~DbConnection() = default;

  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Opens a cursor on the table; fails with DB_E_NOTABLE when there is no such table.
  virtual bool OpenTable(std::string_view table, std::unique_ptr<DbRecordset>& recordset) = 0;

  // Runs one statement without results, with "?" placeholders bound to `parameters` in order,
  // as its own committed transaction, or as part of the transaction that a "BEGIN" statement run
  // here opened, up to its "COMMIT" or "ROLLBACK". `rows_affected` (optional) receives the rows
  // it changed.
  virtual bool Execute(std::string_view sql, std::span<const DbParameter> parameters,
                       int64_t* rows_affected = nullptr) = 0;

  // Runs a query and gives the first column of its first row, or nullopt when it yields none.
  virtual bool QueryValue(std::string_view sql, std::span<const DbParameter> parameters,
                          std::optional<DbValue>& value) = 0;

  // Runs a query and hands each row it yields (its values, one per column) to `row`, in the
  // query's order, as the engine delivers them: a reader of a large table needs no cursor of
  // keys.
  virtual bool QueryRows(std::string_view sql, std::span<const DbParameter> parameters,
                         const std::function<void(const std::vector<DbValue>&)>& row) = 0;

  // The error of the last operation that failed.
  virtual const DbError& error() const = 0;

  // How long an operation waits for a lock another connection holds before it fails. Engines
  // without such a wait ignore it.
  virtual void SetBusyTimeout(uint32_t /*milliseconds*/) {}

  // Opens a transaction for writing, as Execute("BEGIN") does, in the engine's way of keeping
  // other writers out of what it is about to read and change: SQLite takes the database's write
  // lock at once (BEGIN IMMEDIATE), waiting as a statement waits; PostgreSQL locks each row as a
  // statement changes it, or as a query that ends with RowLockClause() reads it.
  virtual bool BeginWrite() { return Execute("BEGIN", {}); }

  // What a SELECT ends with to lock the rows it reads until the transaction ends (" FOR UPDATE"),
  // or empty for an engine that locks the whole database for a writer anyway.
  virtual std::string_view RowLockClause() const { return {}; }
};

// An ADO-style connection string: "key=value;" pairs. Keys compare without regard to letter
// case (held in lower case) and are trimmed, values are trimmed; a value may be put in single
// or double quotes, with the quote doubled inside; the last of repeated keys wins. Pieces
// without "=" are ignored.
using ConnectionProperties = std::map<std::string, std::string>;
ConnectionProperties ParseConnectionString(std::string_view text);

// Opens a connection to the engine the string's Provider names (letter case does not matter):
// - "Microsoft.Jet.OLEDB.4.0" or "SQLite": the SQLite engine on the file named by Data Source,
//   a machine path; with "Mode=Read" (ADO's adModeRead), for reading only;
// - "PostgreSQL" or "PostgreSQL OLE DB Provider": a PostgreSQL server through libpq, with the
//   keys of postgres_engine.h.
// An unknown or missing provider fails with adErrProviderNotFound.
bool OpenDbConnection(std::string_view connection_string, std::unique_ptr<DbConnection>& connection,
                      DbError& error);

}  // namespace flowsentry::db

#endif  // FLOWSENTRY_SERVICE_DB_DB_ENGINE_H_
