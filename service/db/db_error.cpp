#include "service/db/db_error.h"

#include <cstdio>

#include "platform/last_error.h"
#include "service/host/log.h"

namespace flowsentry::db {
namespace {

struct MessageEntry {
  HResult hresult;
  const char* text;
};

// The texts an operator reads in "Code meaning": what the code says, in the words the system
// keeps for it. Windows codes appear here in their FACILITY_WIN32 form.
constexpr MessageEntry kMessages[] = {
    {0x00000000, "The operation completed successfully."},
    {kEFail, "Unspecified error"},
    {kEOutOfMemory, "Not enough memory is available to complete this operation."},
    {0x80070002, "The system cannot find the file specified."},
    {0x80070003, "The system cannot find the path specified."},
    {0x80070004, "The system cannot open the file: too many files are open."},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x80070008, "Not enough memory is available to process this command."},
    {0x8007000D, "The data is invalid."},
    {0x80070013, "The media is write protected."},
    {0x80070011, "The system cannot move the file to a different disk drive."},
    {0x80070015, "The device is not ready."},
    {0x8007001F, "A device attached to the system is not functioning."},
    {0x80070020, "The process cannot access the file because it is being used by another process."},
    {0x80070021,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {0x80070032, "The request is not supported."},
    {0x80070050, "The file exists."},
    {0x80070057, "The parameter is incorrect."},
    {0x80070070, "There is not enough space on the disk."},
    {0x80070091, "The directory is not empty."},
    {0x800700AA, "The requested resource is in use."},
    {0x800700B7, "Cannot create a file when that file already exists."},
    {0x800700CE, "The file name or extension is too long."},
    {0x8007045D, "The request could not be performed because of an I/O device error."},
    {0x80070781, "The name of the file cannot be resolved by the system."},
    {kDbCantConvertValue, "The value could not be converted to the type of its column."},
    {kDbErrorsInCommand, "One or more errors occurred while the command was processed."},
    {kDbIntegrityViolation, "The change would violate the integrity constraints of the table."},
    {kDbNoTable, "The table does not exist in the database."},
    {kDbDataOverflow, "A value in the command exceeded the range of its type."},
    {kAdoObjectClosed, "Operation is not allowed when the object is closed."},
    {kAdoProviderNotFound, "Provider cannot be found. It may not be properly installed."},
};

std::string Hex(uint32_t value, bool pad8) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, pad8 ? "%08x" : "%x", value);
  return buffer;
}

void LeaveLastError(const DbError& error) { platform::SetLastError(LastErrorFor(error.hresult)); }

}  // namespace

std::string HResultMessage(HResult hresult) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.hresult == hresult) return entry.text;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X", hresult);
  return buffer;
}

std::string FormatErrorEntry(const DbError& error) {
  return "Code Error " + Hex(error.hresult, true) +
         ", Code meaning = " + HResultMessage(error.hresult) + ", Source = " + error.source +
         ", Description = " + error.description;
}

std::string FormatEngineErrorsEntry(const DbError& error) {
  std::string text;
  for (const EngineError& record : error.engine_errors) {
    text += ";\r\nCode Error " + Hex(static_cast<uint32_t>(record.number), false) +
            " Description " + record.description;
  }
  return text;
}

void ReportDbError(const DbError& error, std::string_view own_message) {
  host::WriteLog(FormatErrorEntry(error), -1);
  if (!error.engine_errors.empty()) host::WriteLog(FormatEngineErrorsEntry(error), -1);
  host::WriteLog(own_message, -1);
  LeaveLastError(error);
}

void ReportOpenError(const DbError& error) {
  if (!error.engine_errors.empty()) host::WriteLog(FormatEngineErrorsEntry(error), -1);
  host::WriteLog(FormatErrorEntry(error), -1);
  LeaveLastError(error);
}

}  // namespace flowsentry::db
