// AdoTable: the service's base class of table access. One connection, one cursor on one table,
// and one row buffer that a subclass binds to the table's columns by position; the engine behind
// the connection is chosen by the connection string (db_engine.h).
//
// Not shared between threads, except where a caller serializes all use under its own lock.
// Operations that meet a database error report it to the diagnostic log themselves (db_error.h)
// and answer false; no exception leaves them.
#ifndef FLOWSENTRY_SERVICE_DB_ADO_TABLE_H_
#define FLOWSENTRY_SERVICE_DB_ADO_TABLE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "service/db/db_engine.h"

namespace flowsentry::db {

// Status of a bound column after a read, with the values ADO gives them.
inline constexpr uint32_t kColumnOk = 0;            // read whole
inline constexpr uint32_t kColumnCantConvert = 2;   // the value is not of the column's kind: 0 read
inline constexpr uint32_t kColumnNull = 3;          // NULL: empty text or 0 read
inline constexpr uint32_t kColumnTruncated = 4;     // text longer than its buffer: cut
inline constexpr uint32_t kColumnDataOverflow = 6;  // number wider than its buffer: low bits kept

// The length in bytes of the first `characters` characters of a UTF-8 text (all of it when it
// has no more). A character is one well-formed UTF-8 sequence; a byte that begins no well-formed
// sequence counts as one character of its own, as a single-byte code page would read it, so a
// cut never splits a sequence and a text in a legacy code page is still cut by its characters.
size_t Utf8PrefixBytes(std::string_view text, size_t characters);

// A text column's buffer: holds at most `buffer_size` - 1 characters (the last place of a C
// buffer would hold the terminating zero); a longer text is cut to them.
struct TextBuffer {
  std::string* value;
  size_t buffer_size;
};

// One bound column: its ordinal (from 1), the buffer its value is read into and stored from, and
// its status. A column whose status is kColumnNull is stored as NULL.
struct ColumnBinding {
  size_t ordinal;
  std::variant<TextBuffer, int64_t*, int32_t*, uint8_t*> buffer;
  uint32_t* status;
};

class AdoTable {
 public:
  AdoTable() = default;
  AdoTable(const AdoTable&) = delete;
  AdoTable& operator=(const AdoTable&) = delete;
  virtual ~AdoTable();

  // Binds the row buffer to the open cursor: false without a connection or a cursor, or when
  // the table has fewer columns than the row binds (reported as a failed open).
  virtual bool Bind();
  // Adds one row built from a delimited text; true once it is stored.
  virtual bool AddFromText(std::string_view text) = 0;
  // Removes the rows with this key.
  virtual bool RemoveRow(std::string_view key) = 0;
  // Sets every value of the row buffer and every status to zero (empty texts, zero numbers).
  virtual void ClearRow() = 0;

  // Connects with the connection string, opens a cursor on `table` and binds the row buffer.
  // On a failure the error is reported (engine records first, then the error itself), the
  // connection is released, the thread's last error is set from the error, and the answer is
  // false.
  bool Open(std::string_view connection_string, std::string_view table);

  // The connection, the cursor and the binding all exist and none is closed.
  bool IsOpen() const;

  // Releases the binding and closes the cursor and the connection; nothing here fails.
  void Close();

  // The open connection's wait for a lock held elsewhere (DbConnection::SetBusyTimeout); until
  // the next Open.
  void SetBusyTimeout(uint32_t milliseconds);

 protected:
  // Called by the subclass's constructor with the bindings of its row buffer; the buffers must
  // live as long as the table.
  void SetRowBinding(std::vector<ColumnBinding> bindings) { bindings_ = std::move(bindings); }

  // Moves to the first or the next row and reads it into the bound buffers. False (error() set)
  // on an engine error; true otherwise, also when the move lands past the end (AtEnd tells it,
  // and the buffers are left as they were).
  bool MoveAndRead(bool first);
  bool AtEnd() const;

  // Adds and stores a row from the bound buffers, in ordinal order.
  bool AddBoundRow();
  // Adds and stores `count` rows, each from the bound buffers as `fill` (called with 0 to
  // count - 1, in order) leaves them, with as few round trips as the engine allows. On a refusal
  // answers false (error() set) with `stored` the number of leading rows that were kept.
  bool AddBoundRows(size_t count, const std::function<void(size_t)>& fill, size_t& stored);

  const std::string& table() const { return table_; }
  DbConnection* connection() { return connection_.get(); }
  // The open cursor, for a subclass's Bind to look at the table's columns; null until opened.
  const DbRecordset* recordset() const { return recordset_.get(); }
  // For a subclass's Bind that refuses the table: the error the failed open reports.
  void SetBindError(DbError error) { open_error_ = std::move(error); }
  // The error of the connection's last failed operation.
  const DbError& error() const;

 private:
  std::unique_ptr<DbConnection> connection_;
  std::unique_ptr<DbRecordset> recordset_;
  bool bound_ = false;
  std::string table_;
  std::vector<ColumnBinding> bindings_;
  // The values of AddBoundRows and the texts they point into, kept between calls for their
  // memory.
  std::vector<DbParameter> batch_values_;
  std::vector<std::string> batch_texts_;
  DbError open_error_;
};

}  // namespace flowsentry::db

#endif  // FLOWSENTRY_SERVICE_DB_ADO_TABLE_H_
