// The wire protocol of a device served on a Unix-domain socket: how a user-mode client (the
// platform's device client) speaks to a driver's device through the driver host's
// SocketDeviceHost. Both ends encode and parse frames here.
//
// One connection is one open handle. Connecting runs the driver's Create; closing the connection
// cancels the handle's pending requests, then runs Cleanup and Close. A client that needs to know
// the driver is done with the handle shuts down its sending side and reads until the host closes
// the connection: that happens after Close.
//
// Every integer is little-endian. A frame starts with its size, the number of bytes after the
// size field.
//
//   request:  u32 size      13 + the number of input bytes
//             u32 id        chosen by the client; names the request in its reply and in a cancel
//             u8  op        1 read, 2 device control, 3 cancel the pending request named by id
//             u32 code      the control code for op 2, else 0
//             u32 output_length  the length of the caller's buffer (read or control output)
//             ...           the input bytes: for a device control its input; for a read the
//                           caller's buffer as it stands (at most output_length bytes are used,
//                           none may be sent), which the driver's writes land on
//
//   reply:    u32 size      12 + the number of data bytes
//             u32 id        the request's id
//             u32 status    the NTSTATUS the driver completed the request with
//             u32 information  the driver's byte count (IoStatus.Information)
//             ...           the bytes the driver wrote into the caller's buffer: none when the
//                           status is an error (0xC0000000 and up); else min(information,
//                           output_length) bytes of the read's buffer or of the control output
//
// Several requests may be outstanding on one connection; each gets exactly one reply, in the
// order the driver completes them, which need not be the order they were sent. A cancel has no
// reply of its own: the request it names completes with its own reply (STATUS_CANCELLED when the
// cancellation reached it, its normal reply when the driver had already taken it); a cancel
// naming no pending request is ignored. An id may be reused once its reply has arrived.
//
// Requests the host refuses without calling the driver, each with one reply: an unknown op or a
// request type the driver does not serve (STATUS_INVALID_DEVICE_REQUEST), an output length above
// kMaxOutputLength, or a request arriving while kMaxPendingRequests of the connection are
// pending (STATUS_INSUFFICIENT_RESOURCES).
//
// Protocol errors end the connection, as closing it would (its pending requests are cancelled
// and answered, then Cleanup and Close run): a frame shorter than 13 bytes, a frame with more
// than kMaxInputLength input bytes, and a request (other than a cancel) whose id is still
// pending, which could not be answered without giving that id a second reply.
//
// The host serves a limited number of connections at once; a connection beyond them, or one it
// has no resources for, is closed before any request is read.
#ifndef FLOWSENTRY_SHARED_DEVICE_WIRE_H_
#define FLOWSENTRY_SHARED_DEVICE_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/little_endian.h"

namespace flowsentry::wire {

inline constexpr uint8_t kOpRead = 1;
inline constexpr uint8_t kOpDeviceControl = 2;
inline constexpr uint8_t kOpCancel = 3;

inline constexpr size_t kSizeFieldLength = 4;
inline constexpr uint32_t kRequestFixedLength = 13;  // id, op, code, output_length
inline constexpr uint32_t kReplyFixedLength = 12;    // id, status, information
inline constexpr uint32_t kMaxInputLength = 1u << 20;
inline constexpr uint32_t kMaxOutputLength = 1u << 20;
inline constexpr size_t kMaxPendingRequests = 256;  // per connection

struct Request {
  uint32_t id = 0;
  uint8_t op = 0;
  uint32_t code = 0;
  uint32_t output_length = 0;
  std::span<const uint8_t> input;  // points into the bytes parsed
};

enum class ParseResult {
  kIncomplete,  // the bytes hold no whole frame yet
  kComplete,    // `request` and `frame_length` are set
  kMalformed,   // the stream cannot be understood any further
};

// Parses the frame at the start of `bytes`. On kComplete, `frame_length` is the number of bytes
// the frame takes, size field included.
inline ParseResult ParseRequest(std::span<const uint8_t> bytes, Request& request,
                                size_t& frame_length) {
  if (bytes.size() < kSizeFieldLength) return ParseResult::kIncomplete;
  const uint32_t size = LoadLe32(bytes.data());
  // Checked before waiting for the rest, so that a bad size cannot make the reader buffer
  // gigabytes of a stream it will throw away.
  if (size < kRequestFixedLength || size - kRequestFixedLength > kMaxInputLength) {
    return ParseResult::kMalformed;
  }
  if (bytes.size() - kSizeFieldLength < size) return ParseResult::kIncomplete;
  const uint8_t* p = bytes.data() + kSizeFieldLength;
  request.id = LoadLe32(p);
  request.op = p[4];
  request.code = LoadLe32(p + 5);
  request.output_length = LoadLe32(p + 9);
  request.input = bytes.subspan(kSizeFieldLength + kRequestFixedLength, size - kRequestFixedLength);
  frame_length = kSizeFieldLength + size;
  return ParseResult::kComplete;
}

inline void AppendRequest(std::vector<uint8_t>& out, uint32_t id, uint8_t op, uint32_t code,
                          uint32_t output_length, std::span<const uint8_t> input = {}) {
  AppendLe32(out, kRequestFixedLength + static_cast<uint32_t>(input.size()));
  AppendLe32(out, id);
  out.push_back(op);
  AppendLe32(out, code);
  AppendLe32(out, output_length);
  out.insert(out.end(), input.begin(), input.end());
}

// The head of a reply frame: the size field and the fixed fields, read in one piece.
inline constexpr size_t kReplyHeaderLength = kSizeFieldLength + kReplyFixedLength;

struct ReplyHeader {
  uint32_t id = 0;
  uint32_t status = 0;
  uint32_t information = 0;
  size_t data_length = 0;  // the data bytes that follow the head
};

// Parses the head of a reply frame. False when its size cannot be a reply's (shorter than the
// fixed fields, or more data than any buffer may take): the stream cannot be understood any
// further. Pure; the caller reads the `data_length` bytes that follow.
inline bool ParseReplyHeader(std::span<const uint8_t, kReplyHeaderLength> bytes,
                             ReplyHeader& header) {
  const uint32_t size = LoadLe32(bytes.data());
  if (size < kReplyFixedLength || size - kReplyFixedLength > kMaxOutputLength) return false;
  header.id = LoadLe32(bytes.data() + 4);
  header.status = LoadLe32(bytes.data() + 8);
  header.information = LoadLe32(bytes.data() + 12);
  header.data_length = size - kReplyFixedLength;
  return true;
}

inline void AppendReply(std::vector<uint8_t>& out, uint32_t id, uint32_t status,
                        uint32_t information, std::span<const uint8_t> data) {
  AppendLe32(out, kReplyFixedLength + static_cast<uint32_t>(data.size()));
  AppendLe32(out, id);
  AppendLe32(out, status);
  AppendLe32(out, information);
  out.insert(out.end(), data.begin(), data.end());
}

}  // namespace flowsentry::wire

#endif  // FLOWSENTRY_SHARED_DEVICE_WIRE_H_
