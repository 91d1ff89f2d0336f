#include "driver/runtime/io/testing/raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "shared/device_wire.h"

namespace flowsentry::ddk::testing {

RawClient::RawClient(const std::string& socket_path) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::Send(uint32_t id, uint8_t op, uint32_t code, uint32_t output_length,
                     std::span<const uint8_t> input) {
  std::vector<uint8_t> frame;
  wire::AppendRequest(frame, id, op, code, output_length, input);
  return SendBytes(frame);
}

bool RawClient::SendRead(uint32_t id, uint32_t output_length) {
  return Send(id, wire::kOpRead, 0, output_length);
}

bool RawClient::SendControl(uint32_t id, uint32_t code, std::span<const uint8_t> input,
                            uint32_t output_length) {
  return Send(id, wire::kOpDeviceControl, code, output_length, input);
}

bool RawClient::SendCancel(uint32_t id) { return Send(id, wire::kOpCancel, 0, 0); }

bool RawClient::SendBytes(std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool RawClient::Receive(Reply& reply) { return Receive(reply, kGuardLimit) == Outcome::kReply; }

RawClient::Outcome RawClient::Receive(Reply& reply, std::chrono::milliseconds limit) {
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return Outcome::kTimedOut;
  if (ready < 0) return Outcome::kEnded;
  // Once a frame has begun, the rest of it follows at once.
  uint8_t header[wire::kSizeFieldLength + wire::kReplyFixedLength];
  if (!ReadExactly(header, sizeof header)) return Outcome::kEnded;
  uint32_t fields[4];
  std::memcpy(fields, header, sizeof header);
  if (fields[0] < wire::kReplyFixedLength) return Outcome::kEnded;
  reply.id = fields[1];
  reply.status = fields[2];
  reply.information = fields[3];
  reply.data.resize(fields[0] - wire::kReplyFixedLength);
  if (!ReadExactly(reply.data.data(), reply.data.size())) return Outcome::kEnded;
  return Outcome::kReply;
}

bool RawClient::Call(uint32_t id, uint32_t code, std::span<const uint8_t> input,
                     uint32_t output_length, Reply& reply) {
  return SendControl(id, code, input, output_length) && Receive(reply) && reply.id == id;
}

std::vector<RawClient::Reply> RawClient::Close() {
  std::vector<Reply> replies;
  ::shutdown(fd_, SHUT_WR);
  Reply reply;
  while (Receive(reply)) replies.push_back(reply);
  return replies;
}

bool RawClient::ReadExactly(uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t got = ::recv(fd_, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace flowsentry::ddk::testing
