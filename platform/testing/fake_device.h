// For tests: a device served by the test itself, in place of a driver host.
#ifndef FLOWSENTRY_PLATFORM_TESTING_FAKE_DEVICE_H_
#define FLOWSENTRY_PLATFORM_TESTING_FAKE_DEVICE_H_

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace flowsentry::platform::testing {

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A device that a test serves by hand on the device socket `path`, one request and one reply at a
// time, speaking the wire protocol frame by frame. One connection at a time; the test's thread
// serves it.
class FakeDevice {
 public:
  explicit FakeDevice(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
  }
  ~FakeDevice() {
    Hangup();
    ::close(listener_);
  }
  void Accept() { connection_ = ::accept(listener_, nullptr, nullptr); }
  void Hangup() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }
  // Ends both directions at once, waking a thread blocked on the connection (closing it would
  // not), so that a test can give up on a request that never completes.
  void Shutdown() { ::shutdown(connection_, SHUT_RDWR); }

  struct Request {
    uint32_t id = 0;
    uint8_t op = 0;
    uint32_t code = 0;
    uint32_t output_length = 0;
    std::vector<uint8_t> input;
  };
  // False at the end of the client's requests.
  bool Receive(Request& request) {
    uint8_t size[4];
    if (!ReadExactly(size, 4)) return false;
    std::vector<uint8_t> body(Load32(size));
    if (!ReadExactly(body.data(), body.size())) return false;
    request.id = Load32(body.data());
    request.op = body[4];
    request.code = Load32(body.data() + 5);
    request.output_length = Load32(body.data() + 9);
    request.input.assign(body.begin() + 13, body.end());
    return true;
  }
  void Reply(uint32_t id, uint32_t status, uint32_t information, std::vector<uint8_t> data = {}) {
    const uint32_t header[4] = {static_cast<uint32_t>(12 + data.size()), id, status, information};
    std::vector<uint8_t> frame(16);
    std::memcpy(frame.data(), header, 16);
    frame.insert(frame.end(), data.begin(), data.end());
    ASSERT_EQ(::send(connection_, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
  }

 private:
  bool ReadExactly(uint8_t* data, size_t length) {
    while (length > 0) {
      const ssize_t got = ::recv(connection_, data, length, 0);
      if (got <= 0) return false;
      data += got;
      length -= static_cast<size_t>(got);
    }
    return true;
  }

  int listener_ = -1;
  int connection_ = -1;
};

}  // namespace flowsentry::platform::testing

#endif  // FLOWSENTRY_PLATFORM_TESTING_FAKE_DEVICE_H_
