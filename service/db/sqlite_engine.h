// The SQLite engine behind DbConnection.
//
// Each connection opens the database file read-write (never creating it: a missing file fails
// the open with the operating system's error), switches it to the write-ahead log, and waits up
// to kSqliteBusyTimeoutMs (unless SetBusyTimeout says otherwise) for a lock another connection
// holds, so that the service's connections and an operator's sqlite3 shell take turns instead of
// failing each other. Every
// statement outside an explicit transaction commits by itself; synchronous=NORMAL keeps every
// commit safe from the death of the process (not from the loss of power) without waiting for
// the disk at each one.
//
// Engine errors map to HRESULTs (see db_error.h): SQLITE_CANTOPEN and SQLITE_IOERR with an
// operating-system error to HRESULT_FROM_WIN32 of its Windows code (without one: 0x80070003
// and 0x8007045D), SQLITE_BUSY and SQLITE_LOCKED to 0x80070021 (lock violation),
// SQLITE_NOMEM to E_OUTOFMEMORY, SQLITE_READONLY, SQLITE_PERM and SQLITE_AUTH to 0x80070005,
// SQLITE_FULL to 0x80070070, SQLITE_CORRUPT and SQLITE_NOTADB to 0x8007000D (invalid data),
// SQLITE_CONSTRAINT to DB_E_INTEGRITYVIOLATION, SQLITE_MISMATCH to DB_E_CANTCONVERTVALUE,
// SQLITE_TOOBIG and SQLITE_RANGE to DB_E_DATAOVERFLOW, SQLITE_ERROR to DB_E_ERRORSINCOMMAND
// (DB_E_NOTABLE when a table to open is missing), anything else to E_FAIL. The source is
// "SQLite", the description SQLite's own message, and the one engine error record carries the
// extended result code and the same message.
#ifndef FLOWSENTRY_SERVICE_DB_SQLITE_ENGINE_H_
#define FLOWSENTRY_SERVICE_DB_SQLITE_ENGINE_H_

#include <memory>
#include <string_view>

#include "service/db/db_engine.h"

namespace flowsentry::db {

inline constexpr int kSqliteBusyTimeoutMs = 5000;

// `path` is a machine path (mapped with platform::HostPath). A `read_only` connection opens the
// file for reading only and leaves its journal mode as it is: it never writes to the database.
bool OpenSqliteConnection(std::string_view path, std::unique_ptr<DbConnection>& connection,
                          DbError& error, bool read_only = false);

}  // namespace flowsentry::db

#endif  // FLOWSENTRY_SERVICE_DB_SQLITE_ENGINE_H_
