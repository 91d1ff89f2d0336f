#include "service/capture/packet_table.h"

#include <cctype>
#include <cstdio>

#include "platform/last_error.h"
#include "service/host/config.h"
#include "service/host/log.h"

namespace flowsentry::capture {
namespace {

using db::ColumnBinding;
using db::DbColumnKind;
using db::DbColumnType;
using db::DbError;
using db::TextBuffer;

constexpr char kAddFailed[] = "Ошибка при добавлениии трафика в БД через ADO";
constexpr char kAddRecordFailed[] = "Error add Record";
constexpr char kConnectFailed[] = "Unable to connect BD";
constexpr size_t kColumnCount = 10;
// The longest text a line puts in a text column: a MAC address.
constexpr int64_t kLongestText = 17;

bool IsIntegerOrdinal(size_t ordinal) {
  return ordinal == 1 || ordinal == 5 || ordinal == 8 || ordinal == 9 || ordinal == 10;
}

bool Fits(const db::DbColumnType& type, bool integer) {
  switch (type.kind) {
    case db::DbColumnKind::kUnknown:  // the engine cannot tell: the first row will
    case db::DbColumnKind::kAny:
      return true;
    case db::DbColumnKind::kInteger:
      return integer;
    case db::DbColumnKind::kText:
      return !integer && (type.max_length < 0 || type.max_length >= kLongestText);
    case db::DbColumnKind::kOther:
      return false;
  }
  return false;
}

bool IsTrimmed(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::unique_ptr<PacketTableWriter>& ProcessWriter() {
  static std::unique_ptr<PacketTableWriter> writer;
  return writer;
}

}  // namespace

std::vector<std::string_view> SplitPacketLine(std::string_view line) {
  std::vector<std::string_view> tokens;
  const auto is_separator = [](char c) { return c == '"' || c == ' '; };
  size_t i = 0;
  for (;;) {
    while (i < line.size() && is_separator(line[i])) ++i;
    size_t end = i;
    while (end < line.size() && !is_separator(line[end])) ++end;
    std::string_view token = line.substr(i, end - i);
    while (!token.empty() && IsTrimmed(token.front())) token.remove_prefix(1);
    while (!token.empty() && IsTrimmed(token.back())) token.remove_suffix(1);
    if (token.empty()) break;
    tokens.push_back(token);
    i = end;
  }
  return tokens;
}

PacketRow ParsePacketLine(std::string_view line) {
  PacketRow row;
  const std::vector<std::string_view> tokens = SplitPacketLine(line);
  const auto token = [&tokens](size_t n) {
    return n <= tokens.size() ? tokens[n - 1] : std::string_view();
  };
  const auto text = [&token](size_t n) {
    return std::string(token(n).substr(0, kPacketTextBufferSize - 1));
  };
  row.interface = host::DecimalToInt32(token(1));
  row.time = text(2);
  row.source_mac = text(3);
  row.dest_mac = text(4);
  row.ether_type = host::DecimalToInt32(token(5));
  row.source_ip = text(6);
  row.dest_ip = text(7);
  row.source_port = host::DecimalToInt32(token(8));
  row.dest_port = host::DecimalToInt32(token(9));
  row.length = host::DecimalToInt32(token(10));
  return row;
}

PacketTableWriter::PacketTableWriter() {
  SetRowBinding({
      {1, &row_.interface, &row_.status[0]},
      {2, db::TextBuffer{&row_.time, kPacketTextBufferSize}, &row_.status[1]},
      {3, db::TextBuffer{&row_.source_mac, kPacketTextBufferSize}, &row_.status[2]},
      {4, db::TextBuffer{&row_.dest_mac, kPacketTextBufferSize}, &row_.status[3]},
      {5, &row_.ether_type, &row_.status[4]},
      {6, db::TextBuffer{&row_.source_ip, kPacketTextBufferSize}, &row_.status[5]},
      {7, db::TextBuffer{&row_.dest_ip, kPacketTextBufferSize}, &row_.status[6]},
      {8, &row_.source_port, &row_.status[7]},
      {9, &row_.dest_port, &row_.status[8]},
      {10, &row_.length, &row_.status[9]},
  });
}

bool PacketTableWriter::Bind() {
  // Checked here, once, rather than met row by row: a table that cannot take a whole row would
  // otherwise refuse every packet or keep numbers as texts nobody can add up. Checked before the
  // base binds, so that the table never counts as open while its columns are still in doubt; a
  // table short of columns is left to the base, which says so.
  const db::DbRecordset* cursor = recordset();
  if (cursor != nullptr && cursor->ColumnCount() >= kColumnCount) {
    for (size_t ordinal = 1; ordinal <= kColumnCount; ++ordinal) {
      const db::DbColumnType type = cursor->ColumnType(ordinal - 1);
      const bool integer = IsIntegerOrdinal(ordinal);
      if (Fits(type, integer)) continue;
      SetBindError(db::DbError{db::kDbCantConvertValue,
                               db::kAccessLayerSource,
                               "Column " + std::to_string(ordinal) + " of the table " + table() +
                                   " is of type " + (type.name.empty() ? "?" : type.name) +
                                   ", which cannot keep the " + (integer ? "integer" : "text") +
                                   " the packet log stores there.",
                               {}});
      return false;
    }
  }
  return db::AdoTable::Bind();
}

bool PacketTableWriter::AddFromText(std::string_view line) {
  if (!IsOpen()) return false;
  ClearRow();
  row_ = ParsePacketLine(line);
  if (!AddBoundRow()) {
    db::ReportDbError(error(), kAddFailed);
    return false;
  }
  return true;
}

bool PacketTableWriter::AddFromLines(const PacketLineBatch& batch, size_t& stored) {
  return AddBoundRows(
      batch.size(), [this, &batch](size_t i) { row_ = ParsePacketLine(batch.line(i)); }, stored);
}

bool PacketTableWriter::RemoveRow(std::string_view /*key*/) { return true; }

void PacketTableWriter::ClearRow() { row_ = PacketRow{}; }

bool CreatePacketTableWriter(uint16_t thread_number, platform::CriticalSection& lock) {
  auto writer = std::make_unique<PacketTableWriter>();
  const bool opened = writer->Open(host::settings().STRINGCONNECT, host::settings().TABLENAME);
  if (!opened) {
    const platform::Win32Error error = platform::GetLastError();
    char text[64];
    std::snprintf(text, sizeof text, "%s %d %s", "Thread N", thread_number, kConnectFailed);
    host::WriteLog(text, static_cast<int32_t>(error));
    writer->Close();
  }
  platform::CriticalSectionLock hold(lock);
  ProcessWriter() = opened ? std::move(writer) : nullptr;
  writer.reset();
  return opened;
}

void ClosePacketTableWriter() {
  std::unique_ptr<PacketTableWriter>& writer = ProcessWriter();
  if (writer == nullptr) return;
  writer->Close();
  writer.reset();
}

bool HasPacketTableWriter() { return ProcessWriter() != nullptr; }

void addPacketRow(std::string_view line) {
  PacketTableWriter* writer = ProcessWriter().get();
  if (writer == nullptr) return;
  if (!writer->AddFromText(line)) host::WriteLog(kAddRecordFailed, 0);
}

void addPacketRows(const PacketLineBatch& batch) {
  PacketTableWriter* writer = ProcessWriter().get();
  if (writer == nullptr || batch.empty()) return;
  size_t stored = 0;
  if (writer->AddFromLines(batch, stored)) return;
  // Nothing of the refusal is reported yet: the rows from the refused one on are tried again
  // one by one, and only those the database still refuses are reported, each as on its own.
  for (size_t i = stored; i < batch.size(); ++i) addPacketRow(batch.line(i));
}

}  // namespace flowsentry::capture
