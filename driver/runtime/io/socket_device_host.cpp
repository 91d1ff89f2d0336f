#include "driver/runtime/io/socket_device_host.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "driver/runtime/io/irp.h"
#include "platform/posix/fd.h"
#include "platform/root.h"
#include "shared/device_wire.h"
#include "shared/little_endian.h"

namespace flowsentry::ddk {
namespace {

using platform::posix::Fd;

// Replies waiting beyond this many bytes stop the reading of further requests until the client
// has taken some: a client that sends without reading cannot make the host buffer without end.
constexpr size_t kOutputBacklogLimit = 1u << 20;

// How long the replies of a handle being closed may take to drain into a client that does not
// read them, before the connection is closed regardless.
constexpr auto kFinalFlushLimit = std::chrono::seconds(2);

// A handle's thread runs dispatch and cancel routines, which keep their state in the driver, not
// on the stack, which is why Limits::connection_stack_size can be small.
// How long the acceptor waits before it tries again when it could neither accept a connection
// nor turn it away (no descriptor, not even the spare one, or no kernel memory).
constexpr int kAcceptBackoffMs = 100;

// A joinable thread made with pthread_create, so that a thread that cannot be made is a value
// (false from Start) rather than an exception, and its stack size is ours to choose.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { Join(); }

  // Runs `body(argument)` on a new thread; false when the thread cannot be made.
  bool Start(void* (*body)(void*), void* argument, size_t stack_size) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setstacksize(&attributes, stack_size);
    const int error = pthread_create(&thread_, &attributes, body, argument);
    pthread_attr_destroy(&attributes);
    started_ = error == 0;
    return started_;
  }
  void Join() {
    if (started_) pthread_join(thread_, nullptr);
    started_ = false;
  }

 private:
  pthread_t thread_{};
  bool started_ = false;
};

// An eventfd that wakes a thread blocked in poll.
class Waker {
 public:
  bool Open() {
    fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd_.valid();
  }
  int fd() const { return fd_.get(); }
  void Signal() {
    const uint64_t one = 1;
    // A full counter still wakes the poller, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = ::write(fd_.get(), &one, sizeof one);
  }
  void Drain() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(fd_.get(), &count, sizeof count);
  }

 private:
  Fd fd_;
};

// The address of a socket path. A path too long for sun_path is reached through the descriptor
// of its folder (/proc/self/fd/N/NAME), which stays open as long as the address is in use.
class UnixAddress {
 public:
  bool Set(const std::string& path) {
    std::memset(&address_, 0, sizeof address_);
    address_.sun_family = AF_UNIX;
    std::string usable = path;
    if (usable.size() >= sizeof address_.sun_path) {
      const size_t slash = path.rfind('/');
      if (slash == std::string::npos) return false;
      folder_.Reset(::open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (!folder_.valid()) return false;
      usable = "/proc/self/fd/" + std::to_string(folder_.get()) + path.substr(slash);
      if (usable.size() >= sizeof address_.sun_path) return false;
    }
    std::memcpy(address_.sun_path, usable.data(), usable.size());
    return true;
  }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t length() const { return sizeof address_; }

 private:
  sockaddr_un address_{};
  Fd folder_;
};

// The device's own name from its symbolic link: "\DosDevices\NAME" or "\??\NAME".
bool LinkName(std::string_view symbolic_link, std::string& name) {
  for (std::string_view prefix : {std::string_view("\\DosDevices\\"), std::string_view("\\??\\")}) {
    if (symbolic_link.substr(0, prefix.size()) == prefix) {
      const std::string_view rest = symbolic_link.substr(prefix.size());
      if (rest.empty() || rest == "." || rest == ".." ||
          rest.find_first_of("\\/") != std::string_view::npos ||
          rest.find('\0') != std::string_view::npos) {
        return false;
      }
      name = rest;
      return true;
    }
  }
  return false;
}

// A socket file nobody listens on any more: left by a process that ended.
bool IsStaleSocket(const std::string& path, const UnixAddress& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  return ::connect(probe.get(), address.get(), address.length()) != 0 && errno == ECONNREFUSED;
}

class Connection;

// A buffer of a request: size() bytes at the start of storage that may be larger, since a
// connection hands its blocks on from one request to the next rather than allocating (and
// zeroing) a megabyte for every large one. Fresh storage is zeroed; a block handed on holds what
// the earlier requests of the same handle left in it, never another handle's bytes.
class Block {
 public:
  void Resize(size_t size) {
    if (size > capacity_) {
      storage_ = std::make_unique<uint8_t[]>(size);
      capacity_ = size;
    }
    size_ = size;
  }
  uint8_t* data() { return storage_.get(); }
  const uint8_t* data() const { return storage_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

 private:
  std::unique_ptr<uint8_t[]> storage_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// A read or device control of a handle, with the buffers its Irp points at: `buffer` is the
// read's buffer or the system buffer (the input, for the direct methods), `output` the output
// buffer of the direct methods and METHOD_NEITHER. `reply` names the one of them the caller's
// output comes back from.
class Request final : public IrpOwner {
 public:
  Request(Connection& connection, uint32_t id, uint32_t output_length)
      : connection(connection), id(id), output_length(output_length) {}
  void IrpCompleted(Irp& irp) override;
  size_t held_bytes() const { return buffer.size() + output.size(); }

  Connection& connection;
  const uint32_t id;
  const uint32_t output_length;
  Irp irp;
  Mdl mdl;
  Block buffer;
  Block output;
  const Block* reply = &buffer;
};

// The sizes of the two buffers of a request, as SetUpBuffers makes them: the read's buffer or
// the system buffer, and the output buffer of the direct methods and METHOD_NEITHER.
std::pair<size_t, size_t> BufferSizes(const wire::Request& request) {
  if (request.op == wire::kOpRead) return {request.output_length, 0};
  const size_t input = request.input.size();
  if (IoControlMethod(request.code) == METHOD_BUFFERED) {
    return {std::max<size_t>(input, request.output_length), 0};
  }
  return {input, request.output_length};
}

// Gives the Irp of `request` its buffers, as the I/O manager does for the request's type and
// method. Each descriptor covers exactly the bytes behind it.
void SetUpBuffers(const wire::Request& request, Request& pending, bool fail_mappings) {
  Irp& irp = pending.irp;
  const uint32_t output_length = request.output_length;
  const std::span<const uint8_t> input = request.input;
  auto describe = [&](Block& bytes) {
    pending.mdl.StartVa = bytes.data();
    pending.mdl.ByteCount = static_cast<uint32_t>(bytes.size());
    pending.mdl.mapping_fails = fail_mappings;
    irp.MdlAddress = &pending.mdl;
  };
  if (request.op == wire::kOpRead) {
    // Direct I/O maps the caller's own buffer, so the bytes the driver does not write stay as the
    // caller had them: the client sends them along, and they go back with the reply. Bytes it did
    // not send read as zeros.
    pending.buffer.Resize(output_length);
    const size_t sent = std::min<size_t>(input.size(), output_length);
    std::copy_n(input.begin(), sent, pending.buffer.data());
    std::fill(pending.buffer.data() + sent, pending.buffer.data() + output_length, 0);
    irp.stack.Parameters.Read.Length = output_length;
    if (output_length > 0) {
      describe(pending.buffer);
      irp.SystemBuffer = pending.buffer.data();
    }
    return;
  }
  auto& parameters = irp.stack.Parameters.DeviceIoControl;
  parameters.IoControlCode = request.code;
  parameters.InputBufferLength = static_cast<uint32_t>(input.size());
  parameters.OutputBufferLength = output_length;
  // As the I/O manager does, the output part is not cleared: the reply carries only the bytes
  // the driver reports.
  const uint32_t method = IoControlMethod(request.code);
  if (method == METHOD_BUFFERED) {
    pending.buffer.Resize(std::max<size_t>(input.size(), output_length));
    std::copy(input.begin(), input.end(), pending.buffer.data());
    if (!pending.buffer.empty()) irp.SystemBuffer = pending.buffer.data();
    return;
  }
  pending.buffer.Resize(input.size());
  std::copy(input.begin(), input.end(), pending.buffer.data());
  pending.output.Resize(output_length);
  pending.reply = &pending.output;
  if (method == METHOD_NEITHER) {
    if (!pending.buffer.empty()) parameters.Type3InputBuffer = pending.buffer.data();
    if (output_length > 0) irp.UserBuffer = pending.output.data();
    return;
  }
  if (!pending.buffer.empty()) irp.SystemBuffer = pending.buffer.data();
  if (output_length > 0) describe(pending.output);
}

// Create, Cleanup and Close: the connection's thread waits for the driver to complete them.
class SyncRequest final : public IrpOwner {
 public:
  void IrpCompleted(Irp& /*irp*/) override {
    std::lock_guard lock(mutex_);
    done_ = true;
    completed_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    completed_.wait(lock, [this] { return done_; });
  }
  Irp irp;

 private:
  std::mutex mutex_;
  std::condition_variable completed_;
  bool done_ = false;
};

// One open handle: a client connection and its FileObject.
class Connection {
 public:
  // `closed` is signalled once the handle has been closed and its socket with it; `open` counts
  // the handles of the device not yet closed, this one included. Both outlive the connection.
  Connection(DeviceObject& device, const DispatchTable& table,
             const std::atomic<bool>& fail_mappings, SocketDeviceHost::Tally& tally,
             std::atomic<size_t>& open, Waker& closed, Fd socket, Waker waker,
             size_t max_held_bytes)
      : max_held_bytes_(max_held_bytes),
        device_(device),
        table_(table),
        fail_mappings_(fail_mappings),
        tally_(tally),
        open_(open),
        closed_(closed),
        socket_(std::move(socket)),
        waker_(std::move(waker)) {}

  // False when no thread can be made for the handle; the connection is then closed as it is.
  bool Start(size_t stack_size) { return thread_.Start(&Connection::ThreadBody, this, stack_size); }
  void RequestStop() {
    stop_.store(true);
    waker_.Signal();
  }
  void Join() { thread_.Join(); }
  bool finished() const { return finished_.load(); }

  // From the completing thread: sends the reply and forgets the request.
  void Completed(Request& request);

 private:
  static void* ThreadBody(void* connection) {
    static_cast<Connection*>(connection)->Run();
    return nullptr;
  }
  void Run();
  void Serve();
  // False for a protocol error, which ends the handle.
  bool Handle(const wire::Request& request);
  void Teardown();
  NTSTATUS RunSync(uint8_t major_function, DriverDispatch dispatch);
  void SendReply(uint32_t id, NTSTATUS status);
  // Sends a reply frame (its head, then its data) or queues what the socket does not take now.
  void QueueLocked(std::span<const uint8_t> head, std::span<const uint8_t> data = {});
  void RefuseLocked(uint32_t id, NTSTATUS status);
  // A spare block of the handle for a buffer of `size` bytes, or an empty one; with mutex_ held.
  Block TakeBlockLocked(size_t size);
  void GiveBackLocked(Block& block);
  void FlushLocked();
  void FinalFlush();

  const size_t max_held_bytes_;
  DeviceObject& device_;
  const DispatchTable table_;
  const std::atomic<bool>& fail_mappings_;
  SocketDeviceHost::Tally& tally_;
  std::atomic<size_t>& open_;
  Waker& closed_;
  Fd socket_;
  Waker waker_;
  FileObject file_;
  Thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};

  std::mutex mutex_;
  std::condition_variable idle_;  // pending_ became empty
  std::map<uint32_t, std::shared_ptr<Request>> pending_;
  size_t held_bytes_ = 0;      // the buffers of pending_
  std::vector<Block> spares_;  // blocks of completed requests, for the next ones
  std::vector<uint8_t> out_;   // replies not yet taken by the socket, from out_sent_ on
  size_t out_sent_ = 0;
  bool broken_ = false;  // the client is gone: replies are dropped
};

void Request::IrpCompleted(Irp& /*irp*/) { connection.Completed(*this); }

void Connection::Run() {
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (table_.create != nullptr) status = RunSync(IRP_MJ_CREATE, table_.create);
  if (NT_SUCCESS(status)) {
    Serve();
    Teardown();
  }
  // The handle's slot is free before its client sees the socket close, so a client that opens a
  // handle after closing one is not turned away for the one it closed.
  open_.fetch_sub(1);
  tally_.connections_open.fetch_sub(1);
  socket_.Reset();
  finished_.store(true);
  closed_.Signal();  // the acceptor joins this thread and frees the rest of the handle now
}

void Connection::Serve() {
  std::vector<uint8_t> in;
  std::vector<uint8_t> chunk(64 * 1024);
  for (;;) {
    bool want_out = false;
    bool throttled = false;
    {
      std::lock_guard lock(mutex_);
      if (broken_) return;
      want_out = out_sent_ < out_.size();
      throttled = out_.size() - out_sent_ > kOutputBacklogLimit;
    }
    pollfd fds[2] = {
        {socket_.get(), static_cast<short>((throttled ? 0 : POLLIN) | (want_out ? POLLOUT : 0)), 0},
        {waker_.fd(), POLLIN, 0},
    };
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) waker_.Drain();
    if (stop_.load()) return;
    if ((fds[0].revents & POLLOUT) != 0) {
      std::lock_guard lock(mutex_);
      FlushLocked();
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    const ssize_t got = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
    if (got == 0) return;  // the client closed its handle
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return;
    }
    in.insert(in.end(), chunk.begin(), chunk.begin() + got);
    size_t offset = 0;
    for (;;) {
      wire::Request request;
      size_t frame_length = 0;
      const auto result = wire::ParseRequest(std::span(in).subspan(offset), request, frame_length);
      if (result == wire::ParseResult::kIncomplete) break;
      if (result == wire::ParseResult::kMalformed) return;
      if (!Handle(request)) return;
      offset += frame_length;
    }
    in.erase(in.begin(), in.begin() + static_cast<ptrdiff_t>(offset));
  }
}

bool Connection::Handle(const wire::Request& request) {
  if (request.op == wire::kOpCancel) {
    std::shared_ptr<Request> target;
    {
      std::lock_guard lock(mutex_);
      const auto it = pending_.find(request.id);
      if (it != pending_.end()) target = it->second;
    }
    if (target != nullptr) IoCancelIrp(target->irp);
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    // Any answer to a request that reuses a pending id, a refusal included, would be a second
    // reply to that id, which the client could not tell from the first.
    if (pending_.contains(request.id)) return false;
    if (pending_.size() >= wire::kMaxPendingRequests) {
      tally_.requests_refused.fetch_add(1);
      RefuseLocked(request.id, STATUS_INSUFFICIENT_RESOURCES);
      return true;
    }
  }

  DriverDispatch dispatch = nullptr;
  uint8_t major_function = 0;
  switch (request.op) {
    case wire::kOpRead:
      dispatch = table_.read;
      major_function = IRP_MJ_READ;
      break;
    case wire::kOpDeviceControl:
      dispatch = table_.device_control;
      major_function = IRP_MJ_DEVICE_CONTROL;
      break;
    default:
      break;
  }
  if (dispatch == nullptr) {
    SendReply(request.id, STATUS_INVALID_DEVICE_REQUEST);
    return true;
  }
  if (request.output_length > wire::kMaxOutputLength) {
    SendReply(request.id, STATUS_INSUFFICIENT_RESOURCES);
    return true;
  }

  const auto [buffer_size, output_size] = BufferSizes(request);
  const size_t held = buffer_size + output_size;
  {
    std::lock_guard lock(mutex_);
    if (held_bytes_ + held > max_held_bytes_) {
      tally_.requests_refused.fetch_add(1);
      RefuseLocked(request.id, STATUS_INSUFFICIENT_RESOURCES);
      return true;
    }
  }
  auto pending = std::make_shared<Request>(*this, request.id, request.output_length);
  {
    std::lock_guard lock(mutex_);
    pending->buffer = TakeBlockLocked(buffer_size);
    if (output_size > 0) pending->output = TakeBlockLocked(output_size);
  }
  Irp& irp = pending->irp;
  irp.device = &device_;
  irp.owner = pending.get();
  irp.stack.MajorFunction = major_function;
  irp.stack.FileObject = &file_;
  SetUpBuffers(request, *pending, fail_mappings_.load());

  {
    // Only this thread adds requests, so the id checked above is still free.
    std::lock_guard lock(mutex_);
    pending_.emplace(request.id, pending);
    held_bytes_ += held;
    tally_.buffered_bytes.fetch_add(held);
  }
  const NTSTATUS status = dispatch(device_, irp);
  if (status != STATUS_PENDING && !irp.completed.load()) {
    // A routine that returns a final status without completing would leave the caller waiting
    // for ever; the status it returned is the answer.
    irp.IoStatus.Status = status;
    irp.IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return true;
}

void Connection::Completed(Request& request) {
  const NTSTATUS status = request.irp.IoStatus.Status;
  const uintptr_t information = request.irp.IoStatus.Information;
  size_t data_length = 0;
  if (!NT_ERROR(status)) {
    data_length = std::min<uintptr_t>(information, request.output_length);
    data_length = std::min(data_length, request.reply->size());
  }
  std::array<uint8_t, wire::kReplyHeaderLength> head;
  StoreLe32(head.data(), wire::kReplyFixedLength + static_cast<uint32_t>(data_length));
  StoreLe32(head.data() + 4, request.id);
  StoreLe32(head.data() + 8, status);
  StoreLe32(head.data() + 12, static_cast<uint32_t>(std::min<uintptr_t>(information, UINT32_MAX)));

  std::shared_ptr<Request> finished;  // keeps the request alive until the lock is released
  std::lock_guard lock(mutex_);
  // Forgotten before the reply goes out, so that a client that has its reply sees the request's
  // buffers counted out.
  const auto it = pending_.find(request.id);
  const bool ours = it != pending_.end() && it->second.get() == &request;
  if (ours) {
    finished = std::move(it->second);
    pending_.erase(it);
    held_bytes_ -= request.held_bytes();
    tally_.buffered_bytes.fetch_sub(request.held_bytes());
  }
  QueueLocked(head, std::span(request.reply->data(), data_length));
  if (ours) {
    // The driver is done with the buffers once it has completed the request, and the reply's
    // bytes are out or copied.
    GiveBackLocked(request.buffer);
    GiveBackLocked(request.output);
  }
  if (pending_.empty()) idle_.notify_all();
}

Block Connection::TakeBlockLocked(size_t size) {
  // The smallest spare that is large enough, else the largest (which grows when resized).
  auto best = spares_.end();
  for (auto it = spares_.begin(); it != spares_.end(); ++it) {
    if (best == spares_.end()) {
      best = it;
    } else if (it->capacity() >= size) {
      if (best->capacity() < size || it->capacity() < best->capacity()) best = it;
    } else if (best->capacity() < size && it->capacity() > best->capacity()) {
      best = it;
    }
  }
  Block block;
  if (best != spares_.end()) {
    block = std::move(*best);
    spares_.erase(best);
  }
  return block;
}

void Connection::GiveBackLocked(Block& block) {
  // A few spares cover the requests a handle has pending at once in the usual case; larger
  // blocks are the ones worth keeping.
  constexpr size_t kSpares = 4;
  if (block.capacity() == 0) return;
  if (spares_.size() < kSpares) {
    spares_.push_back(std::move(block));
    return;
  }
  auto smallest =
      std::min_element(spares_.begin(), spares_.end(),
                       [](const Block& a, const Block& b) { return a.capacity() < b.capacity(); });
  if (smallest->capacity() < block.capacity()) *smallest = std::move(block);
}

void Connection::RefuseLocked(uint32_t id, NTSTATUS status) {
  std::array<uint8_t, wire::kReplyHeaderLength> head;
  StoreLe32(head.data(), wire::kReplyFixedLength);
  StoreLe32(head.data() + 4, id);
  StoreLe32(head.data() + 8, status);
  StoreLe32(head.data() + 12, 0);
  QueueLocked(head);
}

void Connection::SendReply(uint32_t id, NTSTATUS status) {
  std::lock_guard lock(mutex_);
  RefuseLocked(id, status);
}

void Connection::QueueLocked(std::span<const uint8_t> head, std::span<const uint8_t> data) {
  if (broken_) return;
  size_t sent = 0;
  if (out_sent_ == out_.size()) {
    // Nothing waits before this reply: hand it to the socket from the completing thread, its data
    // straight from the request's buffer.
    out_.clear();
    out_sent_ = 0;
    iovec parts[2] = {{const_cast<uint8_t*>(head.data()), head.size()},
                      {const_cast<uint8_t*>(data.data()), data.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = data.empty() ? 1 : 2;
    const ssize_t result = ::sendmsg(socket_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      broken_ = true;
      waker_.Signal();
      return;
    }
    if (result > 0) sent = static_cast<size_t>(result);
    if (sent == head.size() + data.size()) return;
    waker_.Signal();  // the connection's thread sends the rest when the socket takes it
  }
  if (sent < head.size()) {
    out_.insert(out_.end(), head.begin() + static_cast<ptrdiff_t>(sent), head.end());
    sent = 0;
  } else {
    sent -= head.size();
  }
  out_.insert(out_.end(), data.begin() + static_cast<ptrdiff_t>(sent), data.end());
}

void Connection::FlushLocked() {
  while (!broken_ && out_sent_ < out_.size()) {
    const ssize_t result = ::send(socket_.get(), out_.data() + out_sent_, out_.size() - out_sent_,
                                  MSG_DONTWAIT | MSG_NOSIGNAL);
    if (result < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) broken_ = true;
      return;
    }
    out_sent_ += static_cast<size_t>(result);
  }
  if (out_sent_ == out_.size()) {
    out_.clear();
    out_sent_ = 0;
  }
}

void Connection::FinalFlush() {
  const auto deadline = std::chrono::steady_clock::now() + kFinalFlushLimit;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      FlushLocked();
      if (broken_ || out_.empty()) return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd fd = {socket_.get(), POLLOUT, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) == 0) return;
  }
}

void Connection::Teardown() {
  // As closing the last handle does on Windows: the handle's pending requests are cancelled,
  // Cleanup runs, and Close runs once no request of the handle is left.
  std::vector<std::shared_ptr<Request>> cancelled;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, request] : pending_) cancelled.push_back(request);
  }
  for (const auto& request : cancelled) IoCancelIrp(request->irp);
  cancelled.clear();
  RunSync(IRP_MJ_CLEANUP, table_.cleanup);
  {
    // Requests the driver had already taken when the cancellation came are completed by it.
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_.empty(); });
  }
  RunSync(IRP_MJ_CLOSE, table_.close);
  FinalFlush();
}

NTSTATUS Connection::RunSync(uint8_t major_function, DriverDispatch dispatch) {
  if (dispatch == nullptr) return STATUS_SUCCESS;
  SyncRequest request;
  request.irp.device = &device_;
  request.irp.owner = &request;
  request.irp.stack.MajorFunction = major_function;
  request.irp.stack.FileObject = &file_;
  const NTSTATUS status = dispatch(device_, request.irp);
  if (status != STATUS_PENDING) return status;
  request.Wait();
  return request.irp.IoStatus.Status;
}

}  // namespace

struct SocketDeviceHost::Device {
  DeviceObject object;
  std::string kernel_name;
  std::string name;
  DispatchTable table;
  std::string socket_path;
  std::string global_path;
  ino_t socket_inode = 0;
  Fd listener;
  // Held open so that, with every other descriptor taken, a waiting client can still be accepted
  // and turned away instead of being left unanswered while the acceptor polls again and again.
  Fd spare;
  Waker waker;  // stop, or a handle closed
  std::atomic<bool> stop{false};
  std::thread acceptor;
  std::atomic<size_t> open{0};                           // handles not yet closed
  std::vector<std::unique_ptr<Connection>> connections;  // the acceptor's, until it has stopped

  void AcceptLoop(const std::atomic<bool>& fail_mappings, const Limits& limits, Tally& tally);
  // Accepts one waiting connection and serves it, or turns it away. False when the acceptor
  // should wait a while before it tries again.
  bool AcceptOne(const std::atomic<bool>& fail_mappings, const Limits& limits, Tally& tally);
  void ReapClosed();
  void Stop();
};

Fd OpenSpare() { return Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

void SocketDeviceHost::Device::ReapClosed() {
  std::erase_if(connections, [](std::unique_ptr<Connection>& c) {
    if (!c->finished()) return false;
    c->Join();
    return true;
  });
}

void SocketDeviceHost::Device::AcceptLoop(const std::atomic<bool>& fail_mappings,
                                          const Limits& limits, Tally& tally) {
  bool back_off = false;
  for (;;) {
    pollfd fds[2] = {{listener.get(), static_cast<short>(back_off ? 0 : POLLIN), 0},
                     {waker.fd(), POLLIN, 0}};
    if (::poll(fds, 2, back_off ? kAcceptBackoffMs : -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) waker.Drain();
    if (stop.load()) return;
    ReapClosed();
    back_off = false;
    if ((fds[0].revents & POLLIN) != 0) back_off = !AcceptOne(fail_mappings, limits, tally);
  }
}

bool SocketDeviceHost::Device::AcceptOne(const std::atomic<bool>& fail_mappings,
                                         const Limits& limits, Tally& tally) {
  Fd socket(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!socket.valid()) {
    if (errno != EMFILE && errno != ENFILE) {
      // A client that gave up before it was accepted, a signal: nothing to wait for. Anything
      // else (no kernel memory) passes with time.
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR ||
             errno == EPROTO;
    }
    tally.accepts_without_descriptor.fetch_add(1);
    if (!spare.valid()) spare = OpenSpare();  // lost the last time round; perhaps free again
    if (!spare.valid()) return false;
    // The client's connection is still waiting and keeps the listener readable: give up the
    // spare to accept it, close it (the client sees its handle closed), and take the spare back.
    spare.Reset();
    Fd turned(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const bool turned_away = turned.valid();
    // Counted before the close, so that a client that sees its handle closed sees it counted.
    if (turned_away) tally.connections_refused.fetch_add(1);
    turned.Reset();
    spare = OpenSpare();
    // Not accepted even so: another thread took the descriptor; wait for one to come free.
    return turned_away;
  }
  if (open.load() >= limits.max_connections) {
    tally.connections_refused.fetch_add(1);
    return true;
  }
  Waker connection_waker;
  if (!connection_waker.Open()) {
    tally.connections_refused.fetch_add(1);
    return true;
  }
  auto connection = std::make_unique<Connection>(object, table, fail_mappings, tally, open, waker,
                                                 std::move(socket), std::move(connection_waker),
                                                 limits.max_held_bytes);
  open.fetch_add(1);
  tally.connections_open.fetch_add(1);
  if (!connection->Start(limits.connection_stack_size)) {
    // No thread for it (address space or thread limit): this client is turned away, the handles
    // already open go on.
    open.fetch_sub(1);
    tally.connections_open.fetch_sub(1);
    tally.connections_refused.fetch_add(1);
    return true;
  }
  connections.push_back(std::move(connection));
  return true;
}

void SocketDeviceHost::Device::Stop() {
  // New opens fail from here on.
  struct stat info {};
  if (::lstat(global_path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    ::unlink(global_path.c_str());
  }
  if (::lstat(socket_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
      info.st_ino == socket_inode) {
    ::unlink(socket_path.c_str());
  }
  stop.store(true);
  waker.Signal();
  if (acceptor.joinable()) acceptor.join();
  listener.Reset();

  // The acceptor has ended: the connections are this thread's now.
  for (auto& connection : connections) connection->RequestStop();
  for (auto& connection : connections) connection->Join();
  connections.clear();
}

SocketDeviceHost::SocketDeviceHost(Limits limits) : limits_(limits) {}

SocketDeviceHost::Counters SocketDeviceHost::counters() const {
  Counters counters;
  counters.connections_open = tally_.connections_open.load();
  counters.connections_refused = tally_.connections_refused.load();
  counters.accepts_without_descriptor = tally_.accepts_without_descriptor.load();
  counters.requests_refused = tally_.requests_refused.load();
  counters.buffered_bytes = tally_.buffered_bytes.load();
  return counters;
}

SocketDeviceHost::~SocketDeviceHost() {
  std::vector<std::unique_ptr<Device>> devices;
  {
    std::lock_guard lock(mutex_);
    devices.swap(devices_);
  }
  for (auto& device : devices) device->Stop();
}

NTSTATUS SocketDeviceHost::CreateDevice(std::string_view kernel_name,
                                        std::string_view symbolic_link, const DispatchTable& table,
                                        DeviceObject*& device) {
  device = nullptr;
  auto created = std::make_unique<Device>();
  if (kernel_name.empty() || !LinkName(symbolic_link, created->name)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  created->kernel_name = kernel_name;
  created->table = table;

  std::lock_guard lock(mutex_);
  for (const auto& other : devices_) {
    if (other->kernel_name == created->kernel_name || other->name == created->name) {
      return STATUS_OBJECT_NAME_COLLISION;
    }
  }

  const std::string folder = platform::LocationPath(platform::Location::kDevices);
  std::error_code error;
  std::filesystem::create_directories(folder + "/Globals", error);
  if (error) return STATUS_INSUFFICIENT_RESOURCES;
  created->socket_path = folder + "/" + created->name;
  created->global_path = folder + "/Globals/" + created->name;

  UnixAddress address;
  if (!address.Set(created->socket_path)) return STATUS_OBJECT_NAME_INVALID;
  created->listener.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!created->listener.valid()) return STATUS_INSUFFICIENT_RESOURCES;
  if (::bind(created->listener.get(), address.get(), address.length()) != 0) {
    if (errno != EADDRINUSE) return STATUS_INSUFFICIENT_RESOURCES;
    if (!IsStaleSocket(created->socket_path, address)) return STATUS_OBJECT_NAME_COLLISION;
    ::unlink(created->socket_path.c_str());
    if (::bind(created->listener.get(), address.get(), address.length()) != 0) {
      return errno == EADDRINUSE ? STATUS_OBJECT_NAME_COLLISION : STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  struct stat info {};
  if (::lstat(created->socket_path.c_str(), &info) != 0) return STATUS_INSUFFICIENT_RESOURCES;
  created->socket_inode = info.st_ino;
  const auto undo = [&](NTSTATUS status) {
    ::unlink(created->socket_path.c_str());
    return status;
  };
  if (::listen(created->listener.get(), SOMAXCONN) != 0) {
    return undo(STATUS_INSUFFICIENT_RESOURCES);
  }

  // The global name is a link to the socket, as \GLOBAL??\NAME is to \Device\NAME.
  if (::lstat(created->global_path.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) return undo(STATUS_OBJECT_NAME_COLLISION);
    ::unlink(created->global_path.c_str());
  }
  if (::symlink(("../" + created->name).c_str(), created->global_path.c_str()) != 0) {
    return undo(STATUS_INSUFFICIENT_RESOURCES);
  }
  if (!created->waker.Open()) {
    ::unlink(created->global_path.c_str());
    return undo(STATUS_INSUFFICIENT_RESOURCES);
  }

  Device& served = *created;
  served.spare = OpenSpare();
  served.acceptor =
      std::thread([&served, this] { served.AcceptLoop(fail_mappings_, limits_, tally_); });
  device = &served.object;
  devices_.push_back(std::move(created));
  return STATUS_SUCCESS;
}

void SocketDeviceHost::DeleteDevice(DeviceObject* device) {
  std::unique_ptr<Device> removed;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [device](const auto& d) { return &d->object == device; });
    if (it == devices_.end()) return;
    removed = std::move(*it);
    devices_.erase(it);
  }
  removed->Stop();
}

}  // namespace flowsentry::ddk
