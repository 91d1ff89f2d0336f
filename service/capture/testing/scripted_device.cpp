#include "service/capture/testing/scripted_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "platform/device.h"
#include "shared/control.h"
#include "shared/device_wire.h"
#include "shared/little_endian.h"

namespace flowsentry::capture::testing {
namespace {

constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010;
constexpr auto kWaitLimit = std::chrono::minutes(1);

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct ScriptedDevice::Connection {
  int fd = -1;
  std::mutex send_mu;
  bool closed = false;  // under the device's mu_

  void Reply(uint32_t id, uint32_t status, uint32_t information, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> frame;
    wire::AppendReply(frame, id, status, information, data);
    std::lock_guard lock(send_mu);
    SendAll(fd, frame);
  }
};

ScriptedDevice::ScriptedDevice() {
  const std::string path = platform::DeviceSocketPath(kDeviceName).value();
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  acceptor_ = std::thread([this] { Accept(); });
}

ScriptedDevice::~ScriptedDevice() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    for (const auto& connection : connections_) ::shutdown(connection->fd, SHUT_RDWR);
  }
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  for (std::thread& server : servers_) server.join();
  for (const auto& connection : connections_) ::close(connection->fd);
  if (listener_ >= 0) ::close(listener_);
  std::filesystem::remove(platform::DeviceSocketPath(kDeviceName).value());
}

void ScriptedDevice::Accept() {
  for (;;) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 100) < 0) return;
    {
      std::lock_guard lock(mu_);
      if (stopping_) return;
    }
    if ((waiting.revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto connection = std::make_shared<Connection>();
    connection->fd = fd;
    std::lock_guard lock(mu_);
    connections_.push_back(connection);
    servers_.emplace_back([this, connection] { Serve(connection); });
  }
}

void ScriptedDevice::Serve(std::shared_ptr<Connection> connection) {
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = ::recv(connection->fd, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
    for (;;) {
      wire::Request request;
      size_t length = 0;
      const wire::ParseResult parsed = wire::ParseRequest(bytes, request, length);
      if (parsed != wire::ParseResult::kComplete) break;
      std::unique_lock lock(mu_);
      if (request.op == wire::kOpRead ||
          (request.op == wire::kOpDeviceControl && request.code == IOCTL_READ_RECORDS)) {
        pending_.push_back(
            {connection, request.id, request.output_length, request.op == wire::kOpDeviceControl});
        changed_.notify_all();
      } else if (request.op == wire::kOpCancel) {
        const auto it = std::find_if(pending_.begin(), pending_.end(), [&](const PendingRead& r) {
          return r.connection == connection && r.id == request.id;
        });
        if (it != pending_.end()) {
          pending_.erase(it);
          ++abandoned_;
          lock.unlock();
          connection->Reply(request.id, kStatusCancelled, 0, {});
        }
      } else if (request.code == IOCTL_ENUM_BINDINGS) {
        const uint32_t status = enumeration_status_;
        lock.unlock();
        if (status != kStatusSuccess) {
          connection->Reply(request.id, status, 0, {});
        } else {
          connection->Reply(request.id, kStatusSuccess, 2, {0, 0});
        }
      } else if (request.code == IOCTL_SET_CAPTURE && request.input.size() == 1) {
        const uint8_t flags = request.input[0];
        const bool refuse = flags != 0 && switch_on_status_ != 0;
        const uint32_t status = refuse ? switch_on_status_ : kStatusSuccess;
        std::vector<uint8_t> dropped;
        if (!refuse) {
          switches_.push_back(flags);
          AppendLe32(dropped, dropped_);
          dropped_ = 0;  // handed out once, as the driver does
        }
        changed_.notify_all();
        lock.unlock();
        connection->Reply(request.id, status, refuse ? 0 : 4, dropped);
      } else {
        lock.unlock();
        connection->Reply(request.id, kStatusInvalidDeviceRequest, 0, {});
      }
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length));
    }
  }
  std::lock_guard lock(mu_);
  connection->closed = true;
  const size_t before = pending_.size();
  std::erase_if(pending_, [&](const PendingRead& r) { return r.connection == connection; });
  abandoned_ += before - pending_.size();
  ++closed_;
  ::shutdown(connection->fd, SHUT_RDWR);
  changed_.notify_all();
}

bool ScriptedDevice::WaitForPendingReads(size_t count) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, kWaitLimit, [&] { return pending_.size() >= count; });
}

bool ScriptedDevice::TakeOldest(PendingRead& read) {
  std::unique_lock lock(mu_);
  if (!changed_.wait_for(lock, kWaitLimit, [&] { return !pending_.empty(); })) return false;
  read = pending_.front();
  pending_.pop_front();
  return true;
}

bool ScriptedDevice::CompleteOldest(uint32_t status, const std::vector<uint8_t>& data,
                                    uint32_t information) {
  PendingRead read;
  if (!TakeOldest(read)) return false;
  std::vector<uint8_t> sent = data;
  if (sent.size() > read.output_length) sent.resize(read.output_length);
  read.connection->Reply(read.id, status, information, sent);
  return true;
}

bool ScriptedDevice::Deliver(const PacketRecord& record) {
  return DeliverRecords({&record, 1}) == 1;
}

size_t ScriptedDevice::DeliverRecords(std::span<const PacketRecord> records) {
  PendingRead read;
  if (records.empty() || !TakeOldest(read)) return 0;
  const size_t count =
      read.batch ? std::min(records.size(), read.output_length / kPacketRecordSize) : 1;
  std::vector<uint8_t> bytes(count * kPacketRecordSize);
  for (size_t i = 0; i < count; ++i) {
    EncodePacketRecord(records[i], std::span<uint8_t, kPacketRecordSize>(
                                       bytes.data() + i * kPacketRecordSize, kPacketRecordSize));
  }
  // A ReadFile reports the whole read buffer, as the driver does; a batch the bytes written.
  const uint32_t information =
      read.batch ? static_cast<uint32_t>(bytes.size()) : static_cast<uint32_t>(kReadSize);
  if (bytes.size() > read.output_length) bytes.resize(read.output_length);
  read.connection->Reply(read.id, kStatusSuccess, information, bytes);
  return count;
}

bool ScriptedDevice::DeliverEmpty() { return CompleteOldest(kStatusSuccess, {}, 0); }

bool ScriptedDevice::FailRead(uint32_t status) { return CompleteOldest(status, {}, 0); }

void ScriptedDevice::SetDropped(uint32_t dropped) {
  std::lock_guard lock(mu_);
  dropped_ = dropped;
}

void ScriptedDevice::RefuseSwitchOn(uint32_t status) {
  std::lock_guard lock(mu_);
  switch_on_status_ = status;
}

void ScriptedDevice::RefuseEnumeration(uint32_t status) {
  std::lock_guard lock(mu_);
  enumeration_status_ = status;
}

std::vector<uint8_t> ScriptedDevice::CaptureSwitches() const {
  std::lock_guard lock(mu_);
  return switches_;
}

size_t ScriptedDevice::AbandonedReads() const {
  std::lock_guard lock(mu_);
  return abandoned_;
}

bool ScriptedDevice::WaitForClosedConnections(size_t count) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, kWaitLimit, [&] { return closed_ >= count; });
}

}  // namespace flowsentry::capture::testing
