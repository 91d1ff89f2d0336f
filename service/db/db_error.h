// Errors of the table-access layer, in the shape ADO reports them: an HRESULT with a source and
// a description, plus the engine's own error records (the connection's Errors collection).
//
// HRESULTs the engines map their errors to (each engine documents its own mapping):
//   0x80004005 E_FAIL                   anything without a closer match
//   0x8007000E E_OUTOFMEMORY            the engine ran out of memory
//   0x8007xxxx HRESULT_FROM_WIN32(code) a failed file or system call: the Windows code of the
//                                       operating-system error (0x80070002: file not found)
//   0x80040E07 DB_E_CANTCONVERTVALUE    a value does not fit the column's type
//   0x80040E14 DB_E_ERRORSINCOMMAND     the statement text is in error
//   0x80040E2F DB_E_INTEGRITYVIOLATION  a constraint refused the change (unique, not null)
//   0x80040E37 DB_E_NOTABLE             the table to open does not exist
//   0x80040E57 DB_E_DATAOVERFLOW        a value too large for the engine
//   0x800A0E78 adErrObjectClosed        an operation on a closed connection or cursor
//   0x800A0E7A adErrProviderNotFound    the connection string names an unknown provider
#ifndef FLOWSENTRY_SERVICE_DB_DB_ERROR_H_
#define FLOWSENTRY_SERVICE_DB_DB_ERROR_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace flowsentry::db {

using HResult = uint32_t;

inline constexpr HResult kEFail = 0x80004005;
inline constexpr HResult kEOutOfMemory = 0x8007000E;
inline constexpr HResult kDbCantConvertValue = 0x80040E07;
inline constexpr HResult kDbErrorsInCommand = 0x80040E14;
inline constexpr HResult kDbIntegrityViolation = 0x80040E2F;
inline constexpr HResult kDbNoTable = 0x80040E37;
inline constexpr HResult kDbDataOverflow = 0x80040E57;
inline constexpr HResult kAdoObjectClosed = 0x800A0E78;
inline constexpr HResult kAdoProviderNotFound = 0x800A0E7A;

// The source the access layer itself reports under (connection strings, providers, closed
// objects), as ADO does.
inline constexpr char kAccessLayerSource[] = "ADODB.Connection";

constexpr HResult HResultFromWin32(platform::Win32Error error) {
  return error == 0 ? 0 : ((error & 0xFFFF) | 0x80070000u);
}

// The Windows error code to leave as the thread's last error after a failed database
// operation: the Windows code inside a FACILITY_WIN32 HRESULT, otherwise the HRESULT itself.
constexpr platform::Win32Error LastErrorFor(HResult hresult) {
  return (hresult & 0xFFFF0000u) == 0x80070000u ? (hresult & 0xFFFF) : hresult;
}

// One record of the engine's own error list.
struct EngineError {
  int32_t number = 0;  // the engine's error number (SQLite: the extended result code)
  std::string description;
};

struct DbError {
  HResult hresult = 0;
  std::string source;
  std::string description;
  std::vector<EngineError> engine_errors;  // empty for errors the access layer raises itself
};

// The system's message text for an HRESULT ("Code meaning" of the error report); "Unknown error
// 0x%08X" for a value without one.
std::string HResultMessage(HResult hresult);

// The three diagnostic log texts of an error report (codes are the caller's: -1 for each).
// Entry 2 is empty when the error carries no engine records.
std::string FormatErrorEntry(const DbError& error);
std::string FormatEngineErrorsEntry(const DbError& error);

// Writes the report of a failed table operation, every entry with code -1: the error entry,
// the engine errors entry (when there are records) and `own_message`; then leaves the error's
// code as the thread's last error.
void ReportDbError(const DbError& error, std::string_view own_message);

// The report of a failed Open: the engine errors entry first, the error entry second, no own
// message; then leaves the error's code as the thread's last error, for the caller's message.
void ReportOpenError(const DbError& error);

}  // namespace flowsentry::db

#endif  // FLOWSENTRY_SERVICE_DB_DB_ERROR_H_
