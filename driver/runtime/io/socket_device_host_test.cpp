#include "driver/runtime/io/socket_device_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/runtime/io/irp.h"
#include "driver/runtime/io/testing/raw_client.h"
#include "platform/device.h"
#include "platform/last_error.h"
#include "platform/testing/sanitizers.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"
#include "shared/device_wire.h"

namespace flowsentry::ddk {
namespace {

using platform::DeviceHandle;
using platform::GetLastError;
using testing::RawClient;

// Control codes of the test driver.
constexpr uint32_t kEcho = 0x1004;    // output = input, information = input length
constexpr uint32_t kStatus = 0x1008;  // input: u32 status, u32 information; output filled 0xAB
// With the method in the low bits: fills every output byte its buffers claim with kFillByte
// (the whole system buffer, for METHOD_BUFFERED), information = output length.
constexpr uint32_t kFill = 0x2000;
constexpr uint8_t kFillByte = 0xC5;

// A driver that serves reads as the capture driver does: each read is queued with a cancel
// routine and completed later, by the test, from the test's thread.
class TestDriver {
 public:
  TestDriver() { InitializeListHead(reads_); }

  static NTSTATUS Create(DeviceObject&, Irp& irp) { return current->Record("create", irp); }
  static NTSTATUS Cleanup(DeviceObject&, Irp& irp) { return current->Record("cleanup", irp); }
  static NTSTATUS Close(DeviceObject&, Irp& irp) { return current->Record("close", irp); }

  static NTSTATUS Read(DeviceObject&, Irp& irp) {
    if (irp.MdlAddress == nullptr) return Finish(irp, STATUS_INVALID_PARAMETER, 0);
    if (MmGetSystemAddressForMdlSafe(irp.MdlAddress, NormalPagePriority) == nullptr) {
      return Finish(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    std::lock_guard lock(current->mutex_);
    InsertTailList(current->reads_, irp.ListEntry);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    current->changed_.notify_all();
    return STATUS_PENDING;
  }

  static void CancelRead(DeviceObject&, Irp& irp) {
    IoReleaseCancelSpinLock(irp.CancelIrql);
    bool found = false;
    {
      std::lock_guard lock(current->mutex_);
      for (ListEntry* e = current->reads_.Flink; e != &current->reads_; e = e->Flink) {
        if (IrpFromListEntry(e) == &irp) {
          RemoveEntryList(*e);
          found = true;
          current->events_.push_back("cancel");
          break;
        }
      }
    }
    if (found) Finish(irp, STATUS_CANCELLED, 0);
  }

  static NTSTATUS DeviceControl(DeviceObject&, Irp& irp) {
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* buffer = static_cast<uint8_t*>(irp.SystemBuffer);
    if ((parameters.IoControlCode & ~3u) == kFill) {
      switch (IoControlMethod(parameters.IoControlCode)) {
        case METHOD_BUFFERED:
          if (buffer != nullptr) {
            std::memset(buffer, kFillByte,
                        std::max(parameters.InputBufferLength, parameters.OutputBufferLength));
          }
          break;
        case METHOD_NEITHER:
          if (irp.UserBuffer != nullptr) {
            std::memset(irp.UserBuffer, kFillByte, parameters.OutputBufferLength);
          }
          break;
        default:
          FillDescribed(irp);
      }
      return Finish(irp, STATUS_SUCCESS, parameters.OutputBufferLength);
    }
    switch (parameters.IoControlCode) {
      case kEcho:
        return Finish(irp, STATUS_SUCCESS, parameters.InputBufferLength);
      case kStatus: {
        uint32_t values[2] = {};
        std::memcpy(values, buffer, std::min<size_t>(parameters.InputBufferLength, 8));
        std::memset(buffer, 0xAB, parameters.OutputBufferLength);
        return Finish(irp, values[0], values[1]);
      }
      default:
        return Finish(irp, STATUS_NOT_SUPPORTED, 0);
    }
  }

  static NTSTATUS Finish(Irp& irp, NTSTATUS status, uintptr_t information) {
    irp.IoStatus.Status = status;
    irp.IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  void WaitForReads(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ReadCountLocked() == count; });
  }

  void WaitForEvent(const std::string& event, size_t times = 1) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return static_cast<size_t>(std::count(events_.begin(), events_.end(), event)) >= times;
    });
  }

  // Takes the read at `index` (0: the oldest) as DeliverRecords does: the cancel routine is
  // exchanged for null first, so a cancellation can no longer reach it.
  Irp* TakeRead(size_t index = 0) {
    std::lock_guard lock(mutex_);
    ListEntry* e = reads_.Flink;
    for (size_t i = 0; i < index && e != &reads_; ++i) e = e->Flink;
    if (e == &reads_) return nullptr;
    Irp* irp = IrpFromListEntry(e);
    if (IoSetCancelRoutine(*irp, nullptr) == nullptr) return nullptr;
    RemoveEntryList(*e);
    return irp;
  }

  // Writes `record` at the start of the taken read's buffer and completes it with the full
  // buffer length.
  static void CompleteRead(Irp* irp, const std::vector<uint8_t>& record) {
    auto* buffer =
        static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    std::copy(record.begin(), record.end(), buffer);
    Finish(*irp, STATUS_SUCCESS, irp->stack.Parameters.Read.Length);
  }

  // Writes kFillByte over every byte the request's descriptor claims.
  static void FillDescribed(Irp& irp) {
    if (irp.MdlAddress == nullptr) return;
    void* buffer = MmGetSystemAddressForMdlSafe(irp.MdlAddress, NormalPagePriority);
    std::memset(buffer, kFillByte, MmGetMdlByteCount(*irp.MdlAddress));
  }

  std::vector<std::string> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  static inline TestDriver* current = nullptr;

 private:
  NTSTATUS Record(const char* event, Irp& irp) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
      changed_.notify_all();
    }
    return Finish(irp, STATUS_SUCCESS, 0);
  }

  size_t ReadCountLocked() const {
    size_t n = 0;
    for (const ListEntry* e = reads_.Flink; e != &reads_; e = e->Flink) ++n;
    return n;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  ListEntry reads_;
  std::vector<std::string> events_;
};

constexpr DispatchTable kTable = {TestDriver::Create, TestDriver::Cleanup, TestDriver::Close,
                                  TestDriver::Read, TestDriver::DeviceControl};

std::vector<uint8_t> Record(uint8_t fill) { return std::vector<uint8_t>(41, fill); }

class SocketDeviceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDriver::current = &driver_;
    ASSERT_EQ(host_.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    host_.DeleteDevice(device_);
    TestDriver::current = nullptr;
  }

  std::string SocketPath() const { return root_.Host("/run/flowsentry/devices/pactrak"); }

  // Runs a blocking read on its own thread.
  struct Reader {
    std::thread thread;
    bool ok = false;
    uint32_t error = 0;
    uint32_t bytes = 0;
    std::array<uint8_t, kReadSize> buffer{};
  };
  void StartRead(const DeviceHandle& handle, Reader& reader) {
    reader.buffer.fill(0xEE);
    reader.thread = std::thread([&handle, &reader] {
      reader.ok = handle.ReadFile(reader.buffer, &reader.bytes);
      reader.error = GetLastError();
    });
  }

  platform::testing::TempRoot root_;
  TestDriver driver_;
  SocketDeviceHost host_;
  DeviceObject* device_ = nullptr;
};

TEST_F(SocketDeviceHostTest, DeviceIsReachableByBothNamesExactlyWhileRegistered) {
  struct stat info {};
  ASSERT_EQ(::lstat(SocketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  {
    DeviceHandle local = DeviceHandle::Open(kDeviceName);
    DeviceHandle global = DeviceHandle::Open(kDeviceGlobalName);
    ASSERT_TRUE(local.IsOpen());
    ASSERT_TRUE(global.IsOpen());
    uint32_t returned = 1;
    EXPECT_TRUE(global.DeviceIoControl(kEcho, {}, {}, &returned));
    EXPECT_EQ(returned, 0u);
  }
  // The two handles' connections are served independently, so only the counts are fixed.
  auto events = driver_.events();
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events,
            (std::vector<std::string>{"cleanup", "cleanup", "close", "close", "create", "create"}));

  host_.DeleteDevice(device_);
  for (const char* name : {kDeviceName, kDeviceGlobalName}) {
    EXPECT_FALSE(DeviceHandle::Open(name).IsOpen()) << name;
    EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND) << name;
  }
  EXPECT_NE(::lstat(SocketPath().c_str(), &info), 0);
  EXPECT_NE(::lstat(root_.Host("/run/flowsentry/devices/Globals/pactrak").c_str(), &info), 0);

  // Registered again, the device opens again.
  ASSERT_EQ(host_.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
            STATUS_SUCCESS);
  EXPECT_TRUE(DeviceHandle::Open(kDeviceGlobalName).IsOpen());
}

TEST_F(SocketDeviceHostTest, CreateDeviceRefusesBadAndTakenNames) {
  struct Case {
    const char* kernel_name;
    const char* link;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"\\Device\\other", "\\DosDevices\\", STATUS_OBJECT_NAME_INVALID},
      {"\\Device\\other", "\\Device\\other", STATUS_OBJECT_NAME_INVALID},
      {"\\Device\\other", "\\DosDevices\\a\\b", STATUS_OBJECT_NAME_INVALID},
      {"\\Device\\other", "\\DosDevices\\..", STATUS_OBJECT_NAME_INVALID},
      {"\\Device\\other", "\\DosDevices\\pactrak", STATUS_OBJECT_NAME_COLLISION},
      {kDeviceKernelName, "\\DosDevices\\other", STATUS_OBJECT_NAME_COLLISION},
  };
  for (const Case& c : cases) {
    DeviceObject* device = nullptr;
    EXPECT_EQ(host_.CreateDevice(c.kernel_name, c.link, kTable, device), c.expected) << c.link;
    EXPECT_EQ(device, nullptr);
  }
  // Another host (as another process would) finds the name served.
  SocketDeviceHost other;
  DeviceObject* device = nullptr;
  EXPECT_EQ(other.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_TRUE(DeviceHandle::Open(kDeviceName).IsOpen());
}

TEST_F(SocketDeviceHostTest, SocketLeftByAnEndedProcessIsReplaced) {
  // A socket file that nobody listens on, as a crashed host leaves it.
  const std::string path = root_.Host("/run/flowsentry/devices/stale");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);

  DeviceObject* device = nullptr;
  ASSERT_EQ(host_.CreateDevice("\\Device\\stale", "\\??\\stale", kTable, device), STATUS_SUCCESS);
  EXPECT_TRUE(DeviceHandle::Open("\\\\.\\stale").IsOpen());
  host_.DeleteDevice(device);
}

TEST_F(SocketDeviceHostTest, PendingReadsCompletedFromAnotherThreadReachTheirReaders) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  ASSERT_TRUE(handle.IsOpen());
  Reader readers[3];
  for (Reader& reader : readers) StartRead(handle, reader);
  driver_.WaitForReads(3);

  std::thread completer([&] {
    for (uint8_t fill : {0x11, 0x22, 0x33})
      TestDriver::CompleteRead(driver_.TakeRead(), Record(fill));
  });
  completer.join();
  std::vector<uint8_t> seen;
  for (Reader& reader : readers) {
    reader.thread.join();
    ASSERT_TRUE(reader.ok);
    EXPECT_EQ(reader.bytes, kReadSize);  // the whole buffer, as the driver reports it
    EXPECT_TRUE(std::all_of(reader.buffer.begin(), reader.buffer.begin() + 41,
                            [&](uint8_t b) { return b == reader.buffer[0]; }));
    // The bytes after the record stay as the reader left them.
    EXPECT_TRUE(std::all_of(reader.buffer.begin() + 41, reader.buffer.end(),
                            [](uint8_t b) { return b == 0xEE; }));
    seen.push_back(reader.buffer[0]);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<uint8_t>{0x11, 0x22, 0x33}));
}

TEST_F(SocketDeviceHostTest, RepliesComeInCompletionOrder) {
  RawClient client(SocketPath());
  ASSERT_TRUE(client.connected());
  for (uint32_t id : {1, 2, 3}) ASSERT_TRUE(client.Send(id, wire::kOpRead, 0, 50));
  driver_.WaitForReads(3);
  // Reads queue in arrival order: index 2 is id 3.
  Irp* third = driver_.TakeRead(2);
  Irp* first = driver_.TakeRead(0);
  Irp* second = driver_.TakeRead(0);
  std::vector<uint32_t> order;
  const auto receive = [&](int count) {
    for (int i = 0; i < count; ++i) {
      RawClient::Reply reply;
      ASSERT_TRUE(client.Receive(reply));
      order.push_back(reply.id);
      EXPECT_EQ(reply.status, STATUS_SUCCESS);
      if (reply.id == 4) {
        EXPECT_EQ(reply.information, 2u);
        EXPECT_EQ(reply.data, (std::vector<uint8_t>{'h', 'i'}));
      } else {
        EXPECT_EQ(reply.information, 50u);
        // The rest as the client sent it: nothing, so zeros.
        std::vector<uint8_t> expected(50, 0);
        const std::vector<uint8_t> record = Record(static_cast<uint8_t>(reply.id));
        std::copy(record.begin(), record.end(), expected.begin());
        EXPECT_EQ(reply.data, expected);
      }
    }
  };
  TestDriver::CompleteRead(third, Record(3));
  TestDriver::CompleteRead(first, Record(1));
  ASSERT_TRUE(client.Send(4, wire::kOpDeviceControl, kEcho, 8, std::vector<uint8_t>{'h', 'i'}));
  receive(3);  // the control request is answered while read 2 still pends
  TestDriver::CompleteRead(second, Record(2));
  receive(1);
  EXPECT_EQ(order, (std::vector<uint32_t>{3, 1, 4, 2}));
}

TEST_F(SocketDeviceHostTest, CancelByIdCompletesThatRequestOnly) {
  RawClient client(SocketPath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(7, wire::kOpRead, 0, 50));
  ASSERT_TRUE(client.Send(8, wire::kOpRead, 0, 50));
  driver_.WaitForReads(2);
  ASSERT_TRUE(client.Send(7, wire::kOpCancel, 0, 0));
  RawClient::Reply reply;
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.id, 7u);
  EXPECT_EQ(reply.status, STATUS_CANCELLED);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(reply.data.empty());

  // A cancel naming nothing pending, and one for a request the driver has taken, change nothing.
  ASSERT_TRUE(client.Send(99, wire::kOpCancel, 0, 0));
  Irp* taken = driver_.TakeRead();
  ASSERT_TRUE(client.Send(8, wire::kOpCancel, 0, 0));
  ASSERT_TRUE(client.Send(9, wire::kOpDeviceControl, kEcho,
                          0));  // answered after both cancels were handled
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.id, 9u);
  TestDriver::CompleteRead(taken, Record(8));
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.id, 8u);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
}

TEST_F(SocketDeviceHostTest, CancelSynchronousIoEndsAnotherThreadsRead) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  Reader reader;
  StartRead(handle, reader);
  driver_.WaitForReads(1);
  EXPECT_FALSE(handle.CancelSynchronousIo(std::this_thread::get_id()));
  EXPECT_EQ(GetLastError(), 1168u);  // ERROR_NOT_FOUND: this thread waits in nothing
  EXPECT_TRUE(handle.CancelSynchronousIo(reader.thread.get_id()));
  reader.thread.join();
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, platform::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(reader.bytes, 0u);
  EXPECT_EQ(driver_.events(), (std::vector<std::string>{"create", "cancel"}));
}

TEST_F(SocketDeviceHostTest, CloseCancelsPendingReadsThenRunsCleanupAndClose) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  Reader readers[2];
  for (Reader& reader : readers) StartRead(handle, reader);
  driver_.WaitForReads(2);
  EXPECT_TRUE(handle.Close());
  // Close returns once the driver's Close has run.
  EXPECT_EQ(driver_.events(),
            (std::vector<std::string>{"create", "cancel", "cancel", "cleanup", "close"}));
  for (Reader& reader : readers) {
    reader.thread.join();
    EXPECT_FALSE(reader.ok);
    EXPECT_EQ(reader.error, platform::ERROR_OPERATION_ABORTED);
  }
  EXPECT_FALSE(handle.Close());
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_HANDLE);
  uint32_t returned = 0;
  EXPECT_FALSE(handle.DeviceIoControl(kEcho, {}, {}, &returned));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_HANDLE);
}

TEST_F(SocketDeviceHostTest, CloseWaitsForAReadTheDriverHadTaken) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  Reader reader;
  StartRead(handle, reader);
  driver_.WaitForReads(1);
  Irp* taken = driver_.TakeRead();
  std::thread closer([&] { handle.Close(); });
  driver_.WaitForEvent("cleanup");
  // Close cannot run while a request of the handle is still out.
  EXPECT_EQ(driver_.events(), (std::vector<std::string>{"create", "cleanup"}));
  TestDriver::CompleteRead(taken, Record(5));
  closer.join();
  EXPECT_EQ(driver_.events().back(), "close");
  reader.thread.join();
  EXPECT_TRUE(reader.ok);
  EXPECT_EQ(reader.buffer[0], 5);
}

TEST_F(SocketDeviceHostTest, DeletedDeviceEndsOpenHandles) {
  DeviceHandle reading = DeviceHandle::Open(kDeviceName);
  DeviceHandle idle = DeviceHandle::Open(kDeviceGlobalName);
  uint32_t returned = 0;
  ASSERT_TRUE(idle.DeviceIoControl(kEcho, {}, {}, &returned));  // its Create has run
  Reader reader;
  StartRead(reading, reader);
  driver_.WaitForReads(1);

  host_.DeleteDevice(device_);
  // Every handle went through Cleanup and Close before DeleteDevice returned.
  const auto events = driver_.events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "cleanup"), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 2);
  reader.thread.join();
  EXPECT_FALSE(reader.ok);
  EXPECT_EQ(reader.error, platform::ERROR_OPERATION_ABORTED);

  EXPECT_FALSE(idle.DeviceIoControl(kEcho, {}, {}, &returned));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_HANDLE);
  EXPECT_TRUE(idle.Close());
  EXPECT_FALSE(DeviceHandle::Open(kDeviceName).IsOpen());
  ASSERT_EQ(host_.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
            STATUS_SUCCESS);
}

TEST_F(SocketDeviceHostTest, ReadsTheDriverRefusesFailAtOnce) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  std::array<uint8_t, kReadSize> buffer{};
  uint32_t bytes = 7;
  EXPECT_FALSE(handle.ReadFile(std::span(buffer).first(0), &bytes));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(bytes, 0u);

  host_.SetMappingFailure(true);
  EXPECT_FALSE(handle.ReadFile(buffer, &bytes));
  EXPECT_EQ(GetLastError(), platform::ERROR_NO_SYSTEM_RESOURCES);
  host_.SetMappingFailure(false);

  // A device without a read routine refuses reads.
  DispatchTable no_read = kTable;
  no_read.read = nullptr;
  DeviceObject* device = nullptr;
  ASSERT_EQ(host_.CreateDevice("\\Device\\noread", "\\??\\noread", no_read, device),
            STATUS_SUCCESS);
  DeviceHandle other = DeviceHandle::Open("\\\\.\\noread");
  EXPECT_FALSE(other.ReadFile(buffer, &bytes));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_FUNCTION);
  other.Close();
  host_.DeleteDevice(device);
}

TEST_F(SocketDeviceHostTest, ControlRequestsUseTheSystemBuffer) {
  DeviceHandle handle = DeviceHandle::Open(kDeviceName);
  struct Case {
    const char* what;
    NTSTATUS status;
    uint32_t information;
    size_t output_size;
    bool ok;
    uint32_t error;
    uint32_t returned;
    size_t written;  // leading output bytes the driver's 0xAB reached
  };
  const Case cases[] = {
      {"success", STATUS_SUCCESS, 4, 8, true, 0, 4, 4},
      {"warning keeps its data", STATUS_BUFFER_OVERFLOW, 6, 8, false, 234, 6, 6},
      {"error drops data", STATUS_NOT_SUPPORTED, 4, 8, false, 50, 0, 0},
      {"count beyond the buffer is cut", STATUS_SUCCESS, 100, 8, true, 0, 8, 8},
      {"unmapped status", 0xC0001234, 0, 8, false, 317, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> input(8);
    std::memcpy(input.data(), &c.status, 4);
    std::memcpy(input.data() + 4, &c.information, 4);
    std::vector<uint8_t> output(c.output_size, 0);
    uint32_t returned = 99;
    platform::SetLastError(0);
    EXPECT_EQ(handle.DeviceIoControl(kStatus, input, output, &returned), c.ok) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(returned, c.returned) << c.what;
    const auto reached = static_cast<size_t>(std::count(output.begin(), output.end(), 0xAB));
    EXPECT_EQ(reached, c.written) << c.what;
  }
  // The input arrives in the system buffer and the echo comes back from its start.
  const std::vector<uint8_t> input = {1, 2, 3, 4, 5};
  std::vector<uint8_t> output(3);
  uint32_t returned = 0;
  EXPECT_TRUE(handle.DeviceIoControl(kEcho, input, output, &returned));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(output, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(SocketDeviceHostTest, HostRefusesWhatItCannotServe) {
  RawClient client(SocketPath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(5, wire::kOpRead, 0, 50));
  driver_.WaitForReads(1);
  ASSERT_TRUE(client.Send(6, 9, 0, 0));  // no such op
  ASSERT_TRUE(client.Send(7, wire::kOpRead, 0, wire::kMaxOutputLength + 1));
  const std::pair<uint32_t, NTSTATUS> expected[] = {
      {6, STATUS_INVALID_DEVICE_REQUEST},
      {7, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const auto& [id, status] : expected) {
    RawClient::Reply reply;
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.status, status);
  }
  driver_.WaitForReads(1);  // the first read is untouched
  ASSERT_EQ(client.Close().size(), 1u);
}

// Protocol errors end the handle as a close does: the pending read gets its one reply
// (cancelled), and no other reply carries its id.
TEST_F(SocketDeviceHostTest, ProtocolErrorsEndTheHandle) {
  std::vector<uint8_t> reused_by_control;
  wire::AppendRequest(reused_by_control, 5, wire::kOpDeviceControl, kEcho, 0);
  std::vector<uint8_t> reused_by_unknown_op;
  wire::AppendRequest(reused_by_unknown_op, 5, 9, 0, 0);
  std::vector<uint8_t> reused_by_read;
  wire::AppendRequest(reused_by_read, 5, wire::kOpRead, 0, 50);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"a read reusing a pending id", reused_by_read},
      {"a control request reusing a pending id", reused_by_control},
      {"an unknown op reusing a pending id", reused_by_unknown_op},
      {"a frame too short to be a request", {4, 0, 0, 0, 1, 2, 3, 4}},
  };
  size_t handles = 0;
  for (const auto& c : cases) {
    RawClient client(SocketPath());
    ASSERT_TRUE(client.connected()) << c.what;
    ++handles;
    ASSERT_TRUE(client.SendRead(5, 50)) << c.what;
    driver_.WaitForReads(1);
    ASSERT_TRUE(client.SendBytes(c.bytes)) << c.what;
    RawClient::Reply reply;
    ASSERT_TRUE(client.Receive(reply)) << c.what;
    EXPECT_EQ(reply.id, 5u) << c.what;
    EXPECT_EQ(reply.status, STATUS_CANCELLED) << c.what;
    EXPECT_EQ(client.Receive(reply, RawClient::kGuardLimit), RawClient::Outcome::kEnded) << c.what;
    driver_.WaitForEvent("close", handles);
  }
}

// One handle cannot make the host hold memory without bound: the requests a handle may leave
// pending are capped, and so are the bytes their buffers take.
TEST_F(SocketDeviceHostTest, PendingRequestsAndTheirBuffersAreCapped) {
  RawClient client(SocketPath());
  ASSERT_TRUE(client.connected());
  constexpr uint32_t kOver = 10;
  constexpr uint32_t kCap = static_cast<uint32_t>(wire::kMaxPendingRequests);
  constexpr uint32_t kLength = 4096;
  for (uint32_t id = 1; id <= kCap + kOver; ++id) ASSERT_TRUE(client.SendRead(id, kLength));
  for (uint32_t id = kCap + 1; id <= kCap + kOver; ++id) {
    RawClient::Reply reply;
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
  }
  driver_.WaitForReads(kCap);
  SocketDeviceHost::Counters counters = host_.counters();
  EXPECT_EQ(counters.requests_refused, kOver);
  EXPECT_EQ(counters.buffered_bytes, kCap * uint64_t{kLength});

  // A read reports the length its driver gave, and one completed makes room for one.
  TestDriver::CompleteRead(driver_.TakeRead(), Record(0x42));
  RawClient::Reply reply;
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.id, 1u);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, kLength);
  std::vector<uint8_t> expected = Record(0x42);
  expected.resize(kLength, 0);  // this client sent no bytes for the rest of its buffer
  EXPECT_EQ(reply.data, expected);
  ASSERT_TRUE(client.SendRead(1, kLength));
  driver_.WaitForReads(kCap);
  ASSERT_TRUE(client.SendRead(kCap + kOver + 1, 50));
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.id, kCap + kOver + 1);
  EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);

  const std::vector<RawClient::Reply> last = client.Close();
  EXPECT_EQ(last.size(), kCap);
  EXPECT_TRUE(std::all_of(last.begin(), last.end(),
                          [](const auto& r) { return r.status == STATUS_CANCELLED; }));
  EXPECT_EQ(host_.counters().buffered_bytes, 0u);

  // Bytes: a read that would take a handle beyond its limit is refused, the others wait.
  host_.DeleteDevice(device_);
  SocketDeviceHost host(SocketDeviceHost::Limits{.max_held_bytes = 3 * kLength});
  ASSERT_EQ(host.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
            STATUS_SUCCESS);
  RawClient small(SocketPath());
  for (uint32_t id : {1, 2, 3}) ASSERT_TRUE(small.SendRead(id, id == 3 ? 1 : (3 - id) * kLength));
  ASSERT_TRUE(small.Receive(reply));
  EXPECT_EQ(reply.id, 3u);
  EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES);
  driver_.WaitForReads(2);
  EXPECT_EQ(small.Close().size(), 2u);
  host.DeleteDevice(device_);
  ASSERT_EQ(host_.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device_),
            STATUS_SUCCESS);
}

// A driver may write every byte a descriptor claims: each one is backed by exactly that many
// bytes, and they all come back to the client.
TEST_F(SocketDeviceHostTest, BuffersAreAsLongAsTheirDescriptorsSayAndComeBackWhole) {
  RawClient client(SocketPath());
  ASSERT_TRUE(client.connected());
  for (uint32_t length : {41u, 50u, 4096u, wire::kMaxOutputLength}) {
    ASSERT_TRUE(client.SendRead(length, length));
    driver_.WaitForReads(1);
    Irp* irp = driver_.TakeRead();
    TestDriver::FillDescribed(*irp);
    TestDriver::Finish(*irp, STATUS_SUCCESS, length);
    RawClient::Reply reply;
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.data, std::vector<uint8_t>(length, kFillByte)) << length;
  }
  const std::vector<uint8_t> input(100, 1);
  for (uint32_t method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
    for (uint32_t length : {0u, 8u, 4096u}) {
      RawClient::Reply reply;
      ASSERT_TRUE(client.Call(9, kFill | method, input, length, reply));
      EXPECT_EQ(reply.status, STATUS_SUCCESS);
      EXPECT_EQ(reply.data, std::vector<uint8_t>(length, kFillByte)) << method << " " << length;
    }
  }
  EXPECT_EQ(host_.counters().buffered_bytes, 0u);
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// The host frees a closed handle's descriptors and thread by itself; no event tells a test when,
// so this looks until it has happened (or gives up after the guard limit).
bool WaitForDescriptors(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + RawClient::kGuardLimit;
  while (OpenDescriptors() != count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(SocketDeviceHostTest, HandlesBeyondTheCapAreTurnedAwayAndTheOthersGoOn) {
  host_.DeleteDevice(device_);
  SocketDeviceHost host(SocketDeviceHost::Limits{.max_connections = 3});
  DeviceObject* device = nullptr;
  ASSERT_EQ(host.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device),
            STATUS_SUCCESS);
  const size_t idle = OpenDescriptors();
  const auto served = [](RawClient& client, uint32_t id) {
    RawClient::Reply reply;
    return client.Call(id, kEcho, {}, 0, reply) && reply.status == STATUS_SUCCESS;
  };

  std::vector<std::unique_ptr<RawClient>> clients;
  for (uint32_t i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawClient>(SocketPath()));
    ASSERT_TRUE(served(*clients.back(), i));
  }
  for (int i = 0; i < 5; ++i) {
    RawClient refused(SocketPath());
    ASSERT_TRUE(refused.connected());
    RawClient::Reply reply;
    EXPECT_EQ(refused.Receive(reply, RawClient::kGuardLimit), RawClient::Outcome::kEnded);
  }
  EXPECT_EQ(host.counters().connections_refused, 5u);
  EXPECT_EQ(host.counters().connections_open, 3u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(served(*clients[i], 10 + i));

  // A closed handle's slot is free at once.
  clients.front()->Close();
  clients.front() = std::make_unique<RawClient>(SocketPath());
  EXPECT_TRUE(served(*clients.front(), 20));

  for (auto& client : clients) client->Close();
  clients.clear();
  EXPECT_TRUE(WaitForDescriptors(idle)) << OpenDescriptors() << " open, " << idle << " before";
  EXPECT_EQ(host.counters().connections_open, 0u);
  host.DeleteDevice(device);
}

// A handle whose thread cannot be made (here: a stack that no address space holds) is turned
// away, its client seeing the socket closed; the host and the process go on.
TEST_F(SocketDeviceHostTest, AHandleWhoseThreadCannotBeMadeIsTurnedAway) {
  if (flowsentry::testing::kSanitized) {
    GTEST_SKIP() << "the sanitizers' thread creation does not fail quietly for want of memory";
  }
  host_.DeleteDevice(device_);
  SocketDeviceHost host(SocketDeviceHost::Limits{.connection_stack_size = size_t{1} << 46});
  DeviceObject* device = nullptr;
  ASSERT_EQ(host.CreateDevice(kDeviceKernelName, kDeviceSymbolicLink, kTable, device),
            STATUS_SUCCESS);
  for (uint64_t i = 1; i <= 3; ++i) {
    RawClient refused(SocketPath());
    ASSERT_TRUE(refused.connected());
    RawClient::Reply reply;
    EXPECT_EQ(refused.Receive(reply, RawClient::kGuardLimit), RawClient::Outcome::kEnded);
    EXPECT_EQ(host.counters().connections_refused, i);
  }
  EXPECT_EQ(host.counters().connections_open, 0u);
  host.DeleteDevice(device);
}

// Sets the process's descriptor limit for a test and puts the old one back.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(soft, saved_.rlim_max);
    ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

TEST_F(SocketDeviceHostTest, ClientsAreAnsweredWhenDescriptorsRunOut) {
  if (flowsentry::testing::kSanitized) {
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own to check and report";
  }
  {
    DescriptorLimit limit(OpenDescriptors() + 64);
    ASSERT_TRUE(limit.ok());
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    ASSERT_EQ(errno, EMFILE);
    // One descriptor for a client's socket, none for the host to accept it with.
    ::close(taken.back());
    taken.pop_back();
    for (uint64_t i = 1; i <= 3; ++i) {
      RawClient client(SocketPath());
      ASSERT_TRUE(client.connected());
      RawClient::Reply reply;
      EXPECT_EQ(client.Receive(reply, RawClient::kGuardLimit), RawClient::Outcome::kEnded);
      EXPECT_EQ(host_.counters().connections_refused, i);
      EXPECT_EQ(host_.counters().accepts_without_descriptor, i);
    }
    for (int fd : taken) ::close(fd);
  }
  // Descriptors back: handles are served again, reads and all.
  RawClient client(SocketPath());
  ASSERT_TRUE(client.SendRead(1, 41));
  driver_.WaitForReads(1);
  TestDriver::CompleteRead(driver_.TakeRead(), Record(7));
  RawClient::Reply reply;
  ASSERT_TRUE(client.Receive(reply));
  EXPECT_EQ(reply.data, Record(7));
}

}  // namespace
}  // namespace flowsentry::ddk
