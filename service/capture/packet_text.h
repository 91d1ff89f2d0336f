// The packet log's text writer: appends packet lines to DIRPACKETS/out.log and, every
// INTERVALCREATEFILE minutes of packet time, moves the file aside under a name made from the
// local time of the packet that closes it ("05_12_2006_14_03_27_123456.pkt").
//
// Threads: the writer's state (the open file and the rotation stamp) is one per process and
// has no lock of its own. Callers serialize every call: the capture threads hold ServiceLock
// around each one.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_PACKET_TEXT_H_
#define FLOWSENTRY_SERVICE_CAPTURE_PACKET_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace flowsentry::capture {

// The name a rotated file gets for a closing packet at `seconds` (local time) and
// `microseconds`: "%d_%m_%Y_%H_%M_%S" + "_" + microseconds as a plain decimal + ".pkt".
std::string RotatedFileName(uint32_t seconds, uint32_t microseconds);

// With `close` clear: delivers `line` (written whole, as it is) to DIRPACKETS/out.log, opening
// the file when none is open (read/write, created when missing, appended to, shared with no
// other open) and rotating first when the packet's `seconds` are more than INTERVALCREATEFILE
// minutes past the stamp of the packet that started the file. The first line after start sets
// the stamp without rotating. A failure (open, move, seek or write) writes "error write to text
// fail" with code -1 to the diagnostic log and the line is lost; a refused move keeps the
// stamp, so the next line tries to rotate again.
// With `close` set: closes the file if one is open; the other arguments are ignored.
void writePacketText(std::string_view line, uint32_t seconds, uint32_t microseconds, bool close);

// Closes the file and clears the stamp, as at process start. For tests; the service never
// calls it.
void ResetPacketTextForTesting();

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_PACKET_TEXT_H_
