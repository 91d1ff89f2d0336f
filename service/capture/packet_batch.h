// A batch of packet lines: the packet log's hand-off of many records at once, as the batch
// accounting mode reads them. The lines lie back to back in one text, each with the capture time
// of its record, so that the writers can deliver a batch with one write or one transaction while
// keeping the per-line rules (rotation by packet time, one row per line).
//
// Threads: a batch is owned by one thread; the writers' calls are serialized by their callers
// (ServiceLock), as for single lines.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_PACKET_BATCH_H_
#define FLOWSENTRY_SERVICE_CAPTURE_PACKET_BATCH_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared/packet_record.h"

namespace flowsentry::capture {

class PacketLineBatch {
 public:
  struct Line {
    uint32_t end;  // offset in text() one past the line's CR LF
    uint32_t seconds;
    uint32_t microseconds;
  };

  // Appends the line of `record` (AppendPacketLine with `options`).
  void Add(const PacketRecord& record, uint32_t options);
  // Empties the batch, keeping its memory for the next one.
  void Clear();

  bool empty() const { return lines_.empty(); }
  size_t size() const { return lines_.size(); }
  const std::string& text() const { return text_; }
  const std::vector<Line>& lines() const { return lines_; }
  // Line `i`, CR LF included.
  std::string_view line(size_t i) const;

 private:
  std::string text_;
  std::vector<Line> lines_;
};

// The batch's lines delivered to the packet text file as writePacketText delivers each of them
// (same files, same bytes, same failure messages), with one write for the lines between two
// rotations.
void writePacketLines(const PacketLineBatch& batch);

// The batch's lines added to the packet table as addPacketRow adds each of them, in one
// transaction (SQLite) or as few statements as the batch's size allows (PostgreSQL). When the
// database refuses a row, the rows it refused with are added again one by one as addPacketRow
// adds them: each row it still refuses is reported ("Error add Record") and the others are kept.
// Does nothing without a writer.
void addPacketRows(const PacketLineBatch& batch);

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_PACKET_BATCH_H_
