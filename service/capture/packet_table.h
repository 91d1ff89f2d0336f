// The packet log's table writer: one row per packet in the table TABLENAME of the database
// STRINGCONNECT names (SQLite or PostgreSQL, db_engine.h), filled from the packet line.
//
// The table must exist with at least ten columns whose first ten take, in order: the adapter
// number (integer), the time of day (text), the source and destination MAC addresses (texts),
// the EtherType (integer), the source and destination IP addresses (texts), the source and
// destination ports and the frame length (integers). Columns are bound by position; further
// columns take their defaults. The writer never creates the table.
//
// Threads: the process's writer and its row buffer have no lock of their own. Callers
// serialize every call below but CreatePacketTableWriter, which takes the lock it is given
// itself: the capture threads hold ServiceLock around each.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_PACKET_TABLE_H_
#define FLOWSENTRY_SERVICE_CAPTURE_PACKET_TABLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/threads.h"
#include "service/capture/packet_batch.h"
#include "service/db/ado_table.h"

namespace flowsentry::capture {

// Size of a text column's buffer: 49 characters and the terminating zero a C buffer holds.
inline constexpr size_t kPacketTextBufferSize = 50;

// The row buffer, bound by ordinal to the table's first ten columns, with each column's status.
struct PacketRow {
  int32_t interface = 0;    // ordinal 1
  std::string time;         // ordinal 2
  std::string source_mac;   // ordinal 3
  std::string dest_mac;     // ordinal 4
  int32_t ether_type = 0;   // ordinal 5
  std::string source_ip;    // ordinal 6
  std::string dest_ip;      // ordinal 7
  int32_t source_port = 0;  // ordinal 8
  int32_t dest_port = 0;    // ordinal 9
  int32_t length = 0;       // ordinal 10

  uint32_t status[10] = {};  // one per ordinal, from ordinal 1
};

// The tokens of a packet line: maximal runs of characters other than '"' and ' ', each trimmed
// of white space; the first token that is then empty ends the list (the line end gives one).
std::vector<std::string_view> SplitPacketLine(std::string_view line);

// The row a packet line describes: tokens 1, 5, 8, 9 and 10 as decimals (atoi: leading white
// space, a sign, digits up to the first other character; none gives 0) into the integer
// columns, tokens 2, 3, 4, 6 and 7 into the text columns (cut to their buffers); missing tokens
// leave 0 and empty texts, further tokens are ignored. Every status is 0.
PacketRow ParsePacketLine(std::string_view line);

class PacketTableWriter : public db::AdoTable {
 public:
  PacketTableWriter();

  // The base's binding, then a check that the table fits the row: at least ten columns, the
  // integer ordinals of a type that keeps 32-bit whole numbers, the text ordinals of a text type
  // long enough for the longest field (17 characters), or of a type that keeps any value. A
  // table that does not fit fails the open, reported as every failed open is.
  bool Bind() override;

  // Adds the row a packet line describes and stores it. False when the table is not fully open
  // (nothing reported) or the engine refuses the row (reported with the access layer's error
  // report and "Ошибка при добавлениии трафика в БД через ADO").
  bool AddFromText(std::string_view line) override;
  // Adds the rows of the batch's lines, in order, with one transaction (SQLite) or as few
  // statements as its size allows (PostgreSQL). False when the table is not fully open or the
  // engine refuses a row, with `stored` the number of leading rows that were kept; nothing is
  // reported, so that the caller can go on with the others one by one.
  bool AddFromLines(const PacketLineBatch& batch, size_t& stored);
  // Packet rows are never removed: does nothing and succeeds.
  bool RemoveRow(std::string_view key) override;
  void ClearRow() override;

  const PacketRow& row() const { return row_; }

 private:
  PacketRow row_;
};

// The process's writer. Creates a PacketTableWriter and opens it with STRINGCONNECT and
// TABLENAME without holding `lock` (a connect may wait for its server), then, holding `lock`,
// makes it the process's writer, so that threads delivering under `lock` meanwhile see no writer
// or a fully open one. When the open fails, writes "Thread N <thread_number> Unable to connect
// BD" with the thread's last error, closes the writer and destroys it holding `lock`, and
// answers false: the process then has no writer.
bool CreatePacketTableWriter(uint16_t thread_number, platform::CriticalSection& lock);

// Closes and destroys the process's writer, if there is one, and clears the reference.
void ClosePacketTableWriter();

// Whether the process has a writer.
bool HasPacketTableWriter();

// Adds `line` to the table through the process's writer; writes "Error add Record" with code 0
// when the writer refuses it. Does nothing without a writer.
void addPacketRow(std::string_view line);

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_PACKET_TABLE_H_
