// Reads the counters' history from a counters database through the table-access layer: the
// running periods of `counters` and the ended ones of `countersstat`. Only reads; the reading
// is one transaction, so that a roll-over that the service makes meanwhile is seen whole or not
// at all.
#ifndef FLOWSENTRY_REPORT_ARCHIVE_READER_H_
#define FLOWSENTRY_REPORT_ARCHIVE_READER_H_

#include <string>
#include <string_view>
#include <vector>

#include "report/report_model.h"
#include "service/db/db_engine.h"

namespace flowsentry::report {

// The connection string of an SQLite file (a machine path), quoted as connection strings quote.
std::string SqliteConnectionString(std::string_view path);

// Fills `histories` in the order of `counters`, then the counters that only the archive still
// holds, by name. A period's day is the local date of its `timecount` (of `timecreate` where
// `timecount` is NULL). The tables are those of `schema` when one is given (a database that
// holds the counters of many hosts, a schema each). False with one line naming the table and
// the engine's reason in `error`.
bool ReadCounterHistories(db::DbConnection& connection, std::vector<CounterHistory>& histories,
                          std::string& error, std::string_view schema = {});

// The schemas of the database that hold a table `countersstat`, by name (from
// information_schema, so not for SQLite). False with the engine's reason in `error`.
bool ListHostSchemas(db::DbConnection& connection, std::vector<std::string>& schemas,
                     std::string& error);

}  // namespace flowsentry::report

#endif  // FLOWSENTRY_REPORT_ARCHIVE_READER_H_
