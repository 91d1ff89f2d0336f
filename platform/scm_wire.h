// The service control manager's wire format, spoken on the manager's socket (clients: open,
// create, start, control, query, delete) and on the channel between the manager and a service
// program it started (start, controls, status reports, control completions). Pure: building and
// reading frames, no I/O.
//
// A frame is a 32-bit little-endian body length followed by the body: one byte of operation,
// then the operation's fields in order, each a 32-bit little-endian integer or a string (its
// 32-bit length, then its bytes). A reply to a client request is a body of kOpReply: the Windows
// error code of the request, then the request's result fields when that code is 0 (a control's
// status also on a refusal). Bodies longer than kMaxBody are refused by both ends.
#ifndef FLOWSENTRY_PLATFORM_SCM_WIRE_H_
#define FLOWSENTRY_PLATFORM_SCM_WIRE_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace flowsentry::platform::scm_wire {

inline constexpr uint32_t kMaxBody = 64 * 1024;
inline constexpr size_t kLengthField = 4;

// The environment variable that hands a started service program its channel's descriptor.
inline constexpr char kChannelVariable[] = "FLOWSENTRY_SCM_CHANNEL";

enum Op : uint8_t {
  // Client requests; fields after the op byte, and the reply's fields after its error code.
  kOpOpenManager = 1,    // access                                   -> -
  kOpCreate = 2,         // name, display, access, type, start, error control, path -> -
  kOpDescribe = 3,       // name, description                        -> -
  kOpOpenService = 4,    // name, access                             -> -
  kOpStart = 5,          // name                                     -> -
  kOpControl = 6,        // name, control                            -> 7 status fields
  kOpQuery = 7,          // name                                     -> 9 status-process fields
  kOpQueryConfig = 8,    // name -> type, start, error control, path, display, description
  kOpDelete = 9,         // name                                     -> -
  kOpCloseService = 10,  // name                                     -> -
  kOpReply = 11,         // error, fields
  // Manager to service program.
  kOpServiceStart = 20,    // name
  kOpServiceControl = 21,  // control
  // Service program to manager.
  kOpStartTaken = 30,   // error (0 when the service's main function runs)
  kOpStatus = 31,       // 7 status fields
  kOpControlDone = 32,  // -
};

// Builds one frame. The length field is filled by Frame().
class Writer {
 public:
  explicit Writer(uint8_t op);
  Writer& U32(uint32_t value);
  Writer& Str(std::string_view value);
  // The whole frame: length field and body.
  std::vector<uint8_t> Frame() const;

 private:
  std::vector<uint8_t> bytes_;
};

// Reads the fields of one body in order; every read fails (and keeps failing) past the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> body);
  // The body's op; 0 for an empty body.
  uint8_t op() const { return op_; }
  bool U32(uint32_t& value);
  // Fails also for a string longer than `max_length`.
  bool Str(std::string& value, size_t max_length = kMaxBody);
  // True when every byte has been read and no read failed: a body with trailing bytes is
  // malformed.
  bool Done() const { return ok_ && position_ == body_.size(); }
  bool ok() const { return ok_; }

 private:
  std::span<const uint8_t> body_;
  size_t position_ = 1;
  uint8_t op_ = 0;
  bool ok_ = true;
};

// The body length a frame's first four bytes announce.
uint32_t BodyLength(const uint8_t* length_field);

}  // namespace flowsentry::platform::scm_wire

#endif  // FLOWSENTRY_PLATFORM_SCM_WIRE_H_
