// The PostgreSQL engine behind DbConnection, through libpq: a packet log table that many hosts
// share on one server.
//
// Connection string keys, as ADO users write them (letter case ignored): Data Source, Server or
// Host: the server's host name or address, or a folder path, which names the folder of the
// server's Unix-domain socket (a path of this host as libpq takes it, not one under the machine
// root); Port; Initial Catalog, Database or Location: the database; User ID, UID or User;
// Password or PWD; Connect Timeout: seconds to wait for a connection, kPostgresConnectTimeout
// when not given (the service waits under its one lock, so a server that does not answer must
// not hold it long); Schema: the schema the session's unqualified names are looked up in (its
// search_path, set right after every connection and reconnection): a plain identifier (letters,
// digits and "_", not beginning with a digit, at most 63 characters), folded to lower case as SQL
// folds an unquoted name; any other value fails the connection. Other keys are ignored. Values
// reach libpq as separate parameters, never as one built string.
//
// Every statement runs with its values bound as parameters and commits by itself; names are
// quoted as identifiers. A connection that breaks (the server restarted or went away) is
// reconnected before the next operation, at most once every kPostgresReconnectIntervalMs; an
// operation meanwhile fails with the error of the broken connection.
//
// Errors map to HRESULTs (see db_error.h) by the SQLSTATE of the server's answer: 42P01
// (undefined table) to DB_E_NOTABLE, other class 42 errors to DB_E_ERRORSINCOMMAND but 42501
// (insufficient privilege) to 0x80070005, class 28 (authorization) to 0x80070005, class 23
// (integrity) to DB_E_INTEGRITYVIOLATION, 22001 and 22003 (too long, out of range) to
// DB_E_DATAOVERFLOW, other class 22 errors (data) to DB_E_CANTCONVERTVALUE, 40001 and 40P01
// (serialization, deadlock) to 0x80070021, 53100 (disk full) to 0x80070070, 53200 (out of
// memory) to E_OUTOFMEMORY, anything else, connection failures included, to E_FAIL. The source
// is "PostgreSQL", the description the server's or libpq's message; the one engine error record
// carries the SQLSTATE packed into a number as the server packs it (six bits per character, the
// first character lowest) and "SQLSTATE <code>: <message>". A connection that cannot be made
// or is lost has no SQLSTATE from the server and reports 08001 or 08006.
#ifndef FLOWSENTRY_SERVICE_DB_POSTGRES_ENGINE_H_
#define FLOWSENTRY_SERVICE_DB_POSTGRES_ENGINE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "service/db/db_engine.h"

namespace flowsentry::db {

inline constexpr char kPostgresConnectTimeout[] = "3";
inline constexpr int64_t kPostgresReconnectIntervalMs = 1000;
// The most values one INSERT of many rows binds (the protocol allows 65535).
inline constexpr size_t kPostgresParametersPerInsert = 10000;

// Connects with the properties of a parsed connection string (see above).
bool OpenPostgresConnection(const ConnectionProperties& properties,
                            std::unique_ptr<DbConnection>& connection, DbError& error);

// The number an SQLSTATE code is packed into ("42P01" and the like); 0 for a code that is not
// five characters long.
int32_t PackSqlState(std::string_view sqlstate);

// The HRESULT an SQLSTATE code maps to (see above).
HResult HResultForSqlState(std::string_view sqlstate);

// The clock that paces reconnection: milliseconds of a monotonic clock. Tests replace it to
// step time forward without waiting; an empty function brings back the steady clock. Set it
// only while no PostgreSQL connection is in use.
using PostgresClock = std::function<int64_t()>;
void SetPostgresClockForTesting(PostgresClock clock);

}  // namespace flowsentry::db

#endif  // FLOWSENTRY_SERVICE_DB_POSTGRES_ENGINE_H_
