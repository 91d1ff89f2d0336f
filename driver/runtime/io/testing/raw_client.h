// For tests: a client of a device served by SocketDeviceHost that speaks the wire protocol
// (shared/device_wire.h) frame by frame, so that a test can do what the device client does
// not: keep several requests outstanding on one handle, cancel one by its id, read with any
// buffer length, and look at the status and byte count of every reply.
//
// One object is one connection, that is one open handle. Sending and receiving may happen on two
// threads at once; each of the two is not thread-safe by itself.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_IO_TESTING_RAW_CLIENT_H_
#define FLOWSENTRY_DRIVER_RUNTIME_IO_TESTING_RAW_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flowsentry::ddk::testing {

class RawClient {
 public:
  struct Reply {
    uint32_t id = 0;
    uint32_t status = 0;
    uint32_t information = 0;
    std::vector<uint8_t> data;
  };

  enum class Outcome {
    kReply,     // a reply was read
    kTimedOut,  // none arrived within the limit
    kEnded,     // the host closed the connection (or it broke)
  };

  // How long Receive without a limit waits before it gives up, so that a driver that never
  // answers fails a test instead of hanging it.
  static constexpr std::chrono::milliseconds kGuardLimit{10'000};

  // Connects to the socket at the host path `socket_path`; connected() tells whether it worked.
  explicit RawClient(const std::string& socket_path);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }

  // Each sends one request frame; false when the connection cannot take it.
  bool Send(uint32_t id, uint8_t op, uint32_t code, uint32_t output_length,
            std::span<const uint8_t> input = {});
  bool SendRead(uint32_t id, uint32_t output_length);
  bool SendControl(uint32_t id, uint32_t code, std::span<const uint8_t> input,
                   uint32_t output_length);
  bool SendCancel(uint32_t id);
  bool SendBytes(std::span<const uint8_t> bytes);
  bool SendBytes(const std::vector<uint8_t>& bytes) { return SendBytes(std::span(bytes)); }

  // The next reply. The first form is false at the end of the stream and after kGuardLimit.
  bool Receive(Reply& reply);
  Outcome Receive(Reply& reply, std::chrono::milliseconds limit);

  // Sends a control request and waits for the next reply, which must be its own (nothing else
  // may be outstanding whose completion could come first). False when no reply came or it
  // carries another id.
  bool Call(uint32_t id, uint32_t code, std::span<const uint8_t> input, uint32_t output_length,
            Reply& reply);

  // Closes the handle: shuts down the sending side, which makes the host cancel what is pending
  // and run Cleanup and Close, and collects every reply until the host ends the connection
  // (after Close). Returns the replies in the order they came.
  std::vector<Reply> Close();

 private:
  bool ReadExactly(uint8_t* data, size_t length);

  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace flowsentry::ddk::testing

#endif  // FLOWSENTRY_DRIVER_RUNTIME_IO_TESTING_RAW_CLIENT_H_
