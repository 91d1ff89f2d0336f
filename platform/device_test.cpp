#include "platform/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/testing/fake_device.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

TEST(DeviceErrorTest, StatusesMapToTheirWin32Errors) {
  const std::pair<uint32_t, Win32Error> cases[] = {
      {0xC000000D, 87},  {0xC000009A, 1450}, {0xC0000120, 995}, {0x80000005, 234}, {0xC0000034, 2},
      {0xC0000184, 22},  {0x80000011, 170},  {0xC0000008, 6},   {0xC00000BB, 50},  {0xC0000001, 31},
      {0xC0000023, 122}, {0xC0000206, 1784}, {0x8000001A, 259}, {0xC00000A3, 21},  {0xC0000010, 1},
      {0xC0000035, 183}, {0x00000000, 0},    {0xC0FFEE00, 317},
  };
  for (const auto& [status, error] : cases) {
    EXPECT_EQ(Win32ErrorFromNtStatus(status), error) << std::hex << status;
  }
}

TEST(DeviceNameTest, NamesMapUnderTheDeviceFolder) {
  testing::TempRoot root;
  EXPECT_EQ(DeviceSocketPath("\\\\.\\pactrak"), root.Host("/run/flowsentry/devices/pactrak"));
  EXPECT_EQ(DeviceSocketPath("\\\\.\\Globals\\pactrak"),
            root.Host("/run/flowsentry/devices/Globals/pactrak"));
  for (const char* name : {"pactrak", "\\\\.\\", "\\\\.\\Globals\\", "\\\\.\\..\\etc", "\\\\.\\a/b",
                           "\\??\\pactrak", "C:\\pactrak"}) {
    EXPECT_EQ(DeviceSocketPath(name), std::nullopt) << name;
    EXPECT_FALSE(DeviceHandle::Open(name).IsOpen()) << name;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
  }
}

using testing::FakeDevice;

class DeviceClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = DeviceHandle::Open("\\\\.\\Globals\\fake");
    ASSERT_TRUE(handle_.IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    device_.Accept();
  }
  // A real host closes its side after the client's; the fake one does so here, so that the
  // handle's closing (which waits for it) can end.
  void TearDown() override { device_.Hangup(); }

  testing::TempRoot root_;
  FakeDevice device_{root_.Host("/run/flowsentry/devices/Globals/fake")};
  DeviceHandle handle_;
};

TEST_F(DeviceClientTest, RequestsGoOutInWireFormat) {
  std::thread caller([&] {
    std::array<uint8_t, 4> output{};
    const std::vector<uint8_t> input = {0x04};
    uint32_t returned = 0;
    EXPECT_TRUE(handle_.DeviceIoControl(0x12C810, input, output, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(output, (std::array<uint8_t, 4>{9, 0, 0, 0}));
  });
  FakeDevice::Request request;
  ASSERT_TRUE(device_.Receive(request));
  EXPECT_EQ(request.op, 2);
  EXPECT_EQ(request.code, 0x12C810u);
  EXPECT_EQ(request.output_length, 4u);
  EXPECT_EQ(request.input, std::vector<uint8_t>{0x04});
  device_.Reply(request.id, 0, 4, {9, 0, 0, 0});
  caller.join();
}

TEST_F(DeviceClientTest, RepliesReachTheirThreadsInAnyOrder) {
  std::array<uint8_t, 50> read_buffer;
  read_buffer.fill(0xEE);
  bool read_ok = false;
  uint32_t read_bytes = 0;
  std::thread reader([&] { read_ok = handle_.ReadFile(read_buffer, &read_bytes); });
  FakeDevice::Request read;
  ASSERT_TRUE(device_.Receive(read));
  EXPECT_EQ(read.op, 1);
  EXPECT_EQ(read.output_length, 50u);

  Win32Error control_error = 0;
  std::array<uint8_t, 8> output{};
  uint32_t returned = 0;
  std::thread controller([&] {
    EXPECT_FALSE(handle_.DeviceIoControl(0x1234, {}, output, &returned));
    control_error = GetLastError();
  });
  FakeDevice::Request control;
  ASSERT_TRUE(device_.Receive(control));
  EXPECT_NE(control.id, read.id);

  // The later request is answered first, with a warning that still carries data.
  device_.Reply(control.id, 0x80000005, 3, {1, 2, 3});
  controller.join();
  EXPECT_EQ(control_error, ERROR_MORE_DATA);
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(output, (std::array<uint8_t, 8>{1, 2, 3, 0, 0, 0, 0, 0}));

  device_.Reply(read.id, 0, 50, std::vector<uint8_t>(41, 0x41));
  reader.join();
  EXPECT_TRUE(read_ok);
  EXPECT_EQ(read_bytes, 50u);
  EXPECT_EQ(read_buffer[40], 0x41);
  EXPECT_EQ(read_buffer[41], 0xEE);  // beyond what the driver wrote
}

TEST_F(DeviceClientTest, CancelSendsTheWaitingRequestsId) {
  Win32Error error = 0;
  std::thread reader([&] {
    std::array<uint8_t, 50> buffer{};
    EXPECT_FALSE(handle_.ReadFile(buffer, nullptr));
    error = GetLastError();
  });
  FakeDevice::Request read;
  ASSERT_TRUE(device_.Receive(read));
  EXPECT_TRUE(handle_.CancelSynchronousIo(reader.get_id()));
  FakeDevice::Request cancel;
  ASSERT_TRUE(device_.Receive(cancel));
  EXPECT_EQ(cancel.op, 3);
  EXPECT_EQ(cancel.id, read.id);
  device_.Reply(read.id, 0xC0000120, 0);
  reader.join();
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

// A cancel that comes while its read is being sent must reach the host after the read: a host
// ignores a cancel naming no pending request, so a cancel ahead of its read would leave the read
// pending for good. Here the host keeps every read pending until a cancel names it, and one
// thread cancels each read of another as soon as it can be found.
TEST_F(DeviceClientTest, CancelRacingItsReadsSendIsNeverLost) {
  constexpr int kRounds = 2000;
  std::thread host([&] {
    std::set<uint32_t> pending;
    FakeDevice::Request request;
    while (device_.Receive(request)) {
      if (request.op == 1) {
        pending.insert(request.id);
      } else if (request.op == 3 && pending.erase(request.id) == 1) {
        device_.Reply(request.id, 0xC0000120, 0);
      }
    }
    device_.Hangup();
  });

  std::mutex mutex;
  std::condition_variable ended;
  int reads_ended = 0;
  std::vector<Win32Error> errors;
  std::thread reader([&] {
    for (int round = 0; round < kRounds; ++round) {
      std::array<uint8_t, 50> buffer{};
      const bool ok = handle_.ReadFile(buffer, nullptr);
      const Win32Error error = ok ? ERROR_SUCCESS : GetLastError();
      std::lock_guard lock(mutex);
      errors.push_back(error);
      ++reads_ended;
      ended.notify_all();
      if (error != ERROR_OPERATION_ABORTED) return;
    }
  });

  // One round: cancels the reader's read once it is out and waits, within bounds, for its end.
  auto cancel_one = [&](int round) {
    while (!handle_.CancelSynchronousIo(reader.get_id())) {
      if (GetLastError() != ERROR_NOT_FOUND) return false;  // not "the read is not out yet"
      std::this_thread::yield();
    }
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, std::chrono::seconds(20), [&] { return reads_ended > round; })) {
      ADD_FAILURE() << "the cancel of read " << round << " was lost";
      return false;
    }
    return errors.back() == ERROR_OPERATION_ABORTED;
  };
  for (int round = 0; round < kRounds; ++round) {
    if (!cancel_one(round)) {
      device_.Shutdown();  // fails a read that would wait for good, which ends the reader
      break;
    }
  }
  reader.join();
  EXPECT_TRUE(handle_.Close());
  host.join();
  EXPECT_EQ(errors.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(std::ranges::count(errors, ERROR_OPERATION_ABORTED), kRounds);
}

TEST_F(DeviceClientTest, CloseReturnsOnlyOnceTheHostHasClosed) {
  std::atomic<bool> host_done{false};
  std::thread host([&] {
    FakeDevice::Request request;
    EXPECT_FALSE(device_.Receive(request));  // the client's end of requests
    host_done.store(true);
    device_.Hangup();
  });
  EXPECT_TRUE(handle_.Close());
  EXPECT_TRUE(host_done.load());
  host.join();
  EXPECT_FALSE(handle_.IsOpen());
}

TEST_F(DeviceClientTest, VanishedHostFailsWaitingAndLaterRequests) {
  Win32Error error = 0;
  std::thread reader([&] {
    std::array<uint8_t, 50> buffer{};
    EXPECT_FALSE(handle_.ReadFile(buffer, nullptr));
    error = GetLastError();
  });
  FakeDevice::Request read;
  ASSERT_TRUE(device_.Receive(read));
  device_.Hangup();
  reader.join();
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(handle_.DeviceIoControl(1, {}, {}, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DeviceOpenTest, MissingOrUnservedDeviceIsFileNotFound) {
  testing::TempRoot root;
  EXPECT_FALSE(DeviceHandle::Open("\\\\.\\pactrak").IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  {
    FakeDevice gone(root.Host("/run/flowsentry/devices/pactrak"));
  }  // its socket file stays behind with nobody listening
  EXPECT_FALSE(DeviceHandle::Open("\\\\.\\pactrak").IsOpen());
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  DeviceHandle closed;
  EXPECT_FALSE(closed.ReadFile({}, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace flowsentry::platform
