#include "service/capture/packet_text.h"

#include <span>

#include "platform/files.h"
#include "platform/time.h"
#include "service/capture/packet_batch.h"
#include "service/host/config.h"
#include "service/host/log.h"

namespace flowsentry::capture {
namespace {

constexpr char kWriteFailed[] = "error write to text fail";
constexpr char kTextFileName[] = "out.log";

struct TextWriterState {
  platform::File file;
  uint32_t stamp_seconds = 0;
  uint32_t stamp_microseconds = 0;
};

TextWriterState& State() {
  static TextWriterState state;
  return state;
}

std::string InPacketDirectory(std::string_view name) {
  return host::settings().DIRPACKETS + "/" + std::string(name);
}

platform::File OpenTextFile(platform::Disposition disposition) {
  // No sharing: an operator's tool cannot hold the live file open while it is rotated.
  return platform::File::Open(InPacketDirectory(kTextFileName),
                              platform::GENERIC_READ | platform::GENERIC_WRITE, 0, disposition);
}

bool RotationDue(uint32_t seconds, const TextWriterState& state) {
  // The distance is taken as a signed 32-bit number (a packet stamped before the file's start
  // never rotates it), and the interval in minutes is turned into seconds in 64 bits, so that an
  // interval too large for 32 bits means "never" instead of wrapping around.
  const auto elapsed = static_cast<int32_t>(seconds - state.stamp_seconds);
  const int64_t interval = int64_t{host::settings().INTERVALCREATEFILE} * 60;
  return int64_t{elapsed} > interval;
}

// Moves the current file aside and starts a new one. False when the file could not be moved
// (it then stays closed and the stamp stays as it was) or the new one not created.
bool Rotate(uint32_t seconds, uint32_t microseconds, TextWriterState& state) {
  const std::string name = RotatedFileName(seconds, microseconds);
  state.file.Close();
  if (!platform::MoveFile(InPacketDirectory(kTextFileName), InPacketDirectory(name))) {
    return false;
  }
  state.stamp_seconds = seconds;
  state.stamp_microseconds = microseconds;
  state.file = OpenTextFile(platform::Disposition::kCreateAlways);
  return state.file.IsOpen();
}

// Writes the lines [first, last) of `text` to the open file with one write. A line that is not
// written whole is lost and reported, as it would have been on its own.
void WriteRun(std::string_view text, std::span<const PacketLineBatch::Line> lines, size_t first,
              size_t last, TextWriterState& state) {
  if (first == last) return;
  const uint32_t begin = first == 0 ? 0 : lines[first - 1].end;
  const std::string_view run = text.substr(begin, lines[last - 1].end - begin);
  uint32_t written = 0;
  if (state.file.Seek(0, platform::SeekOrigin::kEnd) && state.file.Write(run, &written) &&
      written == run.size()) {
    return;
  }
  for (size_t i = first; i < last; ++i) {
    if (lines[i].end > begin + written) host::WriteLog(kWriteFailed, -1);
  }
}

// Delivers lines lying back to back in `text` as writePacketText delivers each: the rotation
// test is made line by line, and the lines between two rotations go out with one write. Writing
// a run only when a rotation or the end comes changes nothing a line could see: a failed write
// neither closes the file nor moves the stamp, and the file is shared with no one.
void DeliverLines(std::string_view text, std::span<const PacketLineBatch::Line> lines) {
  TextWriterState& state = State();
  size_t first = 0;  // the first line not yet written; the lines from it on need an open file
  for (size_t i = 0; i < lines.size(); ++i) {
    const PacketLineBatch::Line& line = lines[i];
    // A file that cannot be opened here shows up as the failure of a later step.
    if (!state.file.IsOpen()) state.file = OpenTextFile(platform::Disposition::kOpenAlways);
    if (state.stamp_seconds == 0 && state.stamp_microseconds == 0) {
      state.stamp_seconds = line.seconds;
      state.stamp_microseconds = line.microseconds;
    } else if (RotationDue(line.seconds, state)) {
      WriteRun(text, lines, first, i, state);
      first = i;
      if (!Rotate(line.seconds, line.microseconds, state)) {
        host::WriteLog(kWriteFailed, -1);
        first = i + 1;
        continue;
      }
    }
    if (!state.file.IsOpen()) {
      host::WriteLog(kWriteFailed, -1);
      first = i + 1;
    }
  }
  WriteRun(text, lines, first, lines.size(), state);
}

}  // namespace

std::string RotatedFileName(uint32_t seconds, uint32_t microseconds) {
  std::string stamp;
  if (const auto local = platform::ToLocalTime(seconds)) {
    stamp = platform::FormatTime("%d_%m_%Y_%H_%M_%S", *local);
  }
  return stamp + "_" + std::to_string(microseconds) + ".pkt";
}

void writePacketText(std::string_view line, uint32_t seconds, uint32_t microseconds, bool close) {
  if (close) {
    State().file.Close();
    return;
  }
  const PacketLineBatch::Line one{static_cast<uint32_t>(line.size()), seconds, microseconds};
  DeliverLines(line, std::span(&one, 1));
}

void writePacketLines(const PacketLineBatch& batch) { DeliverLines(batch.text(), batch.lines()); }

void ResetPacketTextForTesting() {
  TextWriterState& state = State();
  state.file.Close();
  state.stamp_seconds = 0;
  state.stamp_microseconds = 0;
}

}  // namespace flowsentry::capture
