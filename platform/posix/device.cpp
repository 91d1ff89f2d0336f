#include "platform/device.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/posix/fd.h"
#include "platform/posix/thread_state.h"
#include "platform/root.h"
#include "shared/device_wire.h"

namespace flowsentry::platform {
namespace {

// Win32 codes this facility reports that the shared list does not carry.
constexpr Win32Error kErrorInvalidName = 123;
constexpr Win32Error kErrorMrMidNotFound = 317;

using wire::kOpCancel;
using wire::kOpDeviceControl;
using wire::kOpRead;

constexpr bool NtSuccess(uint32_t status) { return static_cast<int32_t>(status) >= 0; }
constexpr bool NtError(uint32_t status) { return (status >> 30) == 3; }

std::vector<uint8_t> RequestFrame(uint32_t id, uint8_t op, uint32_t code, uint32_t output_length,
                                  std::span<const uint8_t> input) {
  std::vector<uint8_t> frame;
  frame.reserve(wire::kSizeFieldLength + wire::kRequestFixedLength + input.size());
  wire::AppendRequest(frame, id, op, code, output_length, input);
  return frame;
}

// Reads exactly `length` bytes; false at the end of the stream or on an error.
}  // namespace

// One open handle: a connection to the device's socket. Replies are read by whichever waiting
// thread finds nobody else reading (it hands each reply to the thread it belongs to), so a handle
// needs no thread of its own.
class DeviceConnection {
 public:
  explicit DeviceConnection(posix::Fd socket) : socket_(std::move(socket)) {}

  bool IsOpen() const { return !closed_.load(); }
  bool Transact(uint8_t op, uint32_t code, std::span<const uint8_t> input,
                std::span<uint8_t> output, uint32_t* transferred);
  bool Cancel(std::thread::id thread);
  bool Close();

 private:
  struct Waiter {
    std::thread::id thread;
    std::span<uint8_t> output;
    bool sent = false;              // the request's frame is out
    bool cancel_requested = false;  // its cancel is sent, or to be sent right after the request
    bool done = false;
    uint32_t status = 0;
    uint32_t information = 0;
  };

  bool Send(const std::vector<uint8_t>& frame);
  // Called with mutex_ held: marks the waiter's request for cancelling; true when the caller is
  // to send the cancel now, false when it is already requested or its request is not out yet
  // (the sender then sends the cancel right after the request).
  bool RequestCancel(Waiter& waiter);
  void SendCancel(uint32_t id);
  // Cancels the request `id` if it still waits; for a terminated thread's request.
  void CancelRequest(uint32_t id);
  // Called with `lock` held and reader_ taken; reads one reply with the lock released.
  void ReadReply(std::unique_lock<std::mutex>& lock);
  // Waits until `done` holds, reading replies meanwhile when no other thread does.
  template <typename Done>
  void WaitUntil(std::unique_lock<std::mutex>& lock, Done done);

  posix::Fd socket_;
  std::atomic<bool> closed_{false};
  std::mutex send_mutex_;  // one frame at a time on the socket

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, Waiter*> waiting_;  // registered, reply not yet read
  uint32_t next_id_ = 1;
  bool reader_ = false;  // a thread is reading replies
  bool ended_ = false;   // the host closed the connection: no reply comes any more
};

bool DeviceConnection::Send(const std::vector<uint8_t>& frame) {
  std::lock_guard lock(send_mutex_);
  return posix::SendAll(socket_.get(), frame.data(), frame.size());
}

void DeviceConnection::ReadReply(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::array<uint8_t, wire::kReplyHeaderLength> head{};
  wire::ReplyHeader header;
  bool ok = posix::ReceiveExactly(socket_.get(), head.data(), head.size());
  ok = ok && wire::ParseReplyHeader(head, header);
  const uint32_t id = header.id;
  const size_t data_length = ok ? header.data_length : 0;

  Waiter* waiter = nullptr;
  if (ok) {
    lock.lock();
    const auto it = waiting_.find(id);
    if (it != waiting_.end()) waiter = it->second;
    lock.unlock();
  }
  // The waiter cannot go away meanwhile: it leaves only once done is set or the stream has
  // ended, and both are this thread's to decide.
  size_t copied = 0;
  if (ok && waiter != nullptr) {
    copied = std::min(data_length, waiter->output.size());
    ok = posix::ReceiveExactly(socket_.get(), waiter->output.data(), copied);
  }
  std::vector<uint8_t> rest(data_length - copied);
  ok = ok && posix::ReceiveExactly(socket_.get(), rest.data(), rest.size());

  lock.lock();
  if (!ok) {
    ended_ = true;
  } else if (waiter != nullptr) {
    waiter->status = header.status;
    waiter->information = header.information;
    waiter->done = true;
    waiting_.erase(id);
  }
}

template <typename Done>
void DeviceConnection::WaitUntil(std::unique_lock<std::mutex>& lock, Done done) {
  while (!done() && !ended_) {
    if (reader_) {
      changed_.wait(lock);
      continue;
    }
    reader_ = true;
    ReadReply(lock);
    reader_ = false;
    changed_.notify_all();
  }
}

bool DeviceConnection::RequestCancel(Waiter& waiter) {
  if (waiter.cancel_requested) return false;
  waiter.cancel_requested = true;
  return waiter.sent;
}

void DeviceConnection::SendCancel(uint32_t id) {
  // A failed send means the connection is ending, which cancels the request all the same.
  Send(RequestFrame(id, kOpCancel, 0, 0, {}));
}

void DeviceConnection::CancelRequest(uint32_t id) {
  {
    std::lock_guard lock(mutex_);
    const auto it = waiting_.find(id);
    if (it == waiting_.end() || !RequestCancel(*it->second)) return;
  }
  SendCancel(id);
}

bool DeviceConnection::Transact(uint8_t op, uint32_t code, std::span<const uint8_t> input,
                                std::span<uint8_t> output, uint32_t* transferred) {
  if (transferred != nullptr) *transferred = 0;
  Waiter waiter;
  waiter.thread = std::this_thread::get_id();
  waiter.output = output;
  uint32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (closed_.load() || ended_) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    do {
      id = next_id_++;
    } while (waiting_.contains(id));
    waiting_[id] = &waiter;
  }
  // A terminated thread's request is cancelled like any other, and one made once the thread is
  // terminated is never sent. The point is entered and left with none of this connection's
  // locks held, since its canceller takes them.
  auto cancel = [this, id] { CancelRequest(id); };
  const posix::Canceller canceller(cancel);
  posix::TerminationPoint point;
  if (!point.Enter(canceller)) {
    std::lock_guard lock(mutex_);
    waiting_.erase(id);
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }

  const bool sent = Send(RequestFrame(id, op, code, static_cast<uint32_t>(output.size()), input));
  std::unique_lock lock(mutex_);
  if (sent) {
    // A cancel that came while the request was on its way waited for it: sending it only now
    // keeps it behind its request, since the host ignores a cancel for a request it does not hold.
    waiter.sent = true;
    if (waiter.cancel_requested) {
      lock.unlock();
      SendCancel(id);
      lock.lock();
    }
    WaitUntil(lock, [&] { return waiter.done; });
  }
  const bool done = waiter.done;
  if (!done) waiting_.erase(id);
  lock.unlock();
  point.Leave();

  if (point.terminated()) {
    // Stopped where it stood: whatever the driver answered is not handed on.
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  if (!done) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // As on Windows, an error transfers nothing; a warning reports its count with its data.
  if (transferred != nullptr && !NtError(waiter.status)) {
    *transferred = static_cast<uint32_t>(std::min<size_t>(waiter.information, output.size()));
  }
  if (NtSuccess(waiter.status)) return true;
  SetLastError(Win32ErrorFromNtStatus(waiter.status));
  return false;
}

bool DeviceConnection::Cancel(std::thread::id thread) {
  uint32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const auto& entry) {
      return entry.second->thread == thread && !entry.second->cancel_requested;
    });
    if (it == waiting_.end() || closed_.load() || ended_) {
      SetLastError(ERROR_NOT_FOUND);
      return false;
    }
    if (!RequestCancel(*it->second)) return true;  // its sender sends the cancel
    id = it->first;
  }
  SendCancel(id);
  return true;
}

bool DeviceConnection::Close() {
  if (closed_.exchange(true)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // The host sees the end of the requests, cancels what is pending, runs Cleanup and Close and
  // then closes its side: reading to the end waits for all of that.
  ::shutdown(socket_.get(), SHUT_WR);
  std::unique_lock lock(mutex_);
  WaitUntil(lock, [] { return false; });
  return true;
}

DeviceHandle::DeviceHandle() = default;
DeviceHandle::DeviceHandle(std::unique_ptr<DeviceConnection> connection)
    : connection_(std::move(connection)) {}
DeviceHandle::DeviceHandle(DeviceHandle&& other) noexcept = default;

DeviceHandle& DeviceHandle::operator=(DeviceHandle&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) connection_->Close();
    connection_ = std::move(other.connection_);
  }
  return *this;
}

DeviceHandle::~DeviceHandle() {
  if (IsOpen()) connection_->Close();
}

DeviceHandle DeviceHandle::Open(std::string_view name) {
  const std::optional<std::string> path = DeviceSocketPath(name);
  if (!path) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string usable = *path;
  posix::Fd folder;
  if (usable.size() >= sizeof address.sun_path) {
    // Too long for an address: reach the socket through its folder's descriptor.
    const size_t slash = usable.rfind('/');
    folder.Reset(::open(usable.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
      if (errno == ENOENT || errno == ENOTDIR) {
        SetLastError(ERROR_FILE_NOT_FOUND);
      } else {
        SetLastErrorFromErrno(errno);
      }
      return {};
    }
    usable = "/proc/self/fd/" + std::to_string(folder.get()) + usable.substr(slash);
    if (usable.size() >= sizeof address.sun_path) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return {};
    }
  }
  std::memcpy(address.sun_path, usable.data(), usable.size());

  posix::Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    SetLastErrorFromErrno(errno);
    return {};
  }
  int result = 0;
  do {
    result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    // No socket, or one left behind with nobody serving it: the device is not registered.
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) {
      SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
      SetLastErrorFromErrno(errno);
    }
    return {};
  }
  SetLastError(ERROR_SUCCESS);
  return DeviceHandle(std::make_unique<DeviceConnection>(std::move(socket)));
}

bool DeviceHandle::IsOpen() const { return connection_ != nullptr && connection_->IsOpen(); }

bool DeviceHandle::DeviceIoControl(uint32_t code, std::span<const uint8_t> input,
                                   std::span<uint8_t> output, uint32_t* bytes_returned) const {
  if (connection_ == nullptr) {
    if (bytes_returned != nullptr) *bytes_returned = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return connection_->Transact(kOpDeviceControl, code, input, output, bytes_returned);
}

bool DeviceHandle::ReadFile(std::span<uint8_t> buffer, uint32_t* bytes_read) const {
  if (connection_ == nullptr) {
    if (bytes_read != nullptr) *bytes_read = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // The driver writes into the caller's buffer in place, so the buffer goes along and what the
  // driver does not write comes back as it was. One too big for any read is refused by the host;
  // it is not sent, since no request may carry that much.
  std::span<const uint8_t> contents = buffer;
  if (contents.size() > wire::kMaxInputLength) contents = {};
  return connection_->Transact(kOpRead, 0, contents, buffer, bytes_read);
}

bool DeviceHandle::CancelSynchronousIo(std::thread::id thread) const {
  if (connection_ == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return connection_->Cancel(thread);
}

bool DeviceHandle::Close() {
  if (connection_ == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return connection_->Close();
}

Win32Error Win32ErrorFromNtStatus(uint32_t status) {
  struct Mapping {
    uint32_t status;
    Win32Error error;
  };
  static constexpr Mapping kMappings[] = {
      {0x00000000, ERROR_SUCCESS},
      {0x00000103, ERROR_IO_PENDING},
      {0x80000005, ERROR_MORE_DATA},
      {0x80000011, ERROR_BUSY},
      {0x8000001A, ERROR_NO_MORE_ITEMS},
      {0xC0000001, ERROR_GEN_FAILURE},
      {0xC0000008, ERROR_INVALID_HANDLE},
      {0xC000000D, ERROR_INVALID_PARAMETER},
      {0xC0000010, ERROR_INVALID_FUNCTION},
      {0xC0000022, ERROR_ACCESS_DENIED},
      {0xC0000023, ERROR_INSUFFICIENT_BUFFER},
      {0xC0000033, kErrorInvalidName},
      {0xC0000034, ERROR_FILE_NOT_FOUND},
      {0xC0000035, ERROR_ALREADY_EXISTS},
      {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},
      {0xC00000A3, ERROR_NOT_READY},
      {0xC00000BB, ERROR_NOT_SUPPORTED},
      {0xC0000120, ERROR_OPERATION_ABORTED},
      {0xC0000184, ERROR_BAD_COMMAND},
      {0xC0000206, ERROR_INVALID_USER_BUFFER},
  };
  for (const Mapping& mapping : kMappings) {
    if (mapping.status == status) return mapping.error;
  }
  return NtSuccess(status) ? ERROR_SUCCESS : kErrorMrMidNotFound;
}

std::optional<std::string> DeviceSocketPath(std::string_view name) {
  constexpr std::string_view kPrefix = "\\\\.\\";
  if (name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view rest = name.substr(kPrefix.size());
  std::string path = LocationPath(Location::kDevices);
  for (;;) {
    const size_t end = rest.find('\\');
    const std::string_view part = rest.substr(0, end);
    if (part.empty() || part == "." || part == ".." ||
        part.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
      return std::nullopt;
    }
    path += '/';
    path += part;
    if (end == std::string_view::npos) return path;
    rest = rest.substr(end + 1);
  }
}

}  // namespace flowsentry::platform
