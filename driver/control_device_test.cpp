// pactrak's control device through the real socket: the record and read queues, cancellation,
// and every control request with its statuses.
#include "driver/control_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_requests.h"
#include "driver/testing/control_device_fixture.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;
using platform::DeviceHandle;
using platform::GetLastError;

constexpr uint32_t kTestOid = 0x0001FF01;  // answered only where a test says so

// The enumeration entry of one binding: UpperBindings name, then lower adapter name, each ended.
std::vector<uint8_t> EnumEntry(std::u16string_view upper, std::u16string_view lower) {
  std::vector<uint8_t> bytes = NameBytes(upper);
  bytes.insert(bytes.end(), {0, 0});
  std::vector<uint8_t> lower_bytes = NameBytes(lower);
  bytes.insert(bytes.end(), lower_bytes.begin(), lower_bytes.end());
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

class ControlDeviceRequestTest : public ControlDeviceTest {
 protected:
  // Enumerates through a handle with `length` bytes of output.
  static std::vector<uint8_t> Enumerate(const DeviceHandle& handle, size_t length = 4096) {
    std::vector<uint8_t> output(length, 0xEE);
    uint32_t returned = 0;
    EXPECT_TRUE(handle.DeviceIoControl(IOCTL_ENUM_BINDINGS, {}, output, &returned));
    output.resize(returned);
    return output;
  }

  static RawClient::Reply Query(RawClient& client, std::u16string_view lower_name,
                                uint32_t interface_number, uint32_t oid, uint32_t output_length,
                                uint32_t id = 7) {
    RawClient::Reply reply;
    EXPECT_TRUE(client.Call(id, IOCTL_QUERY_BINDING, QueryInput(lower_name, interface_number, oid),
                            output_length, reply));
    return reply;
  }

  // The interface number the next record of `adapter` carries.
  uint16_t InterfaceOfNextRecord(SimulatedAdapter& adapter) {
    ReceiveFrame(adapter, Ipv4Frame(60));
    auto client = Connect();
    std::optional<PacketRecord> record = ReadRecord(*client);
    EXPECT_TRUE(record.has_value());
    return record ? record->Interface : 0xFFFF;
  }

  std::vector<uint8_t> SetPowerInput(ndis::NDIS_DEVICE_POWER_STATE state) {
    return Le32(static_cast<uint32_t>(state));
  }
  void SetVirtualAdapterPower(const std::string& adapter, ndis::NDIS_DEVICE_POWER_STATE state) {
    auto request =
        protocol_.Set(VirtualName(adapter), ndis::OID_PNP_SET_POWER, SetPowerInput(state));
    ASSERT_TRUE(protocol_.Wait(request));
    ASSERT_EQ(request->status, ndis::NDIS_STATUS_SUCCESS);
  }
};

TEST_F(ControlDeviceRequestTest, DeviceOpensOnlyWhileAVirtualAdapterIsInitialized) {
  for (const char* name : {kDeviceName, kDeviceGlobalName}) {
    EXPECT_FALSE(DeviceHandle::Open(name).IsOpen()) << name;
    EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND) << name;
  }
  // Bound but not yet initialized: still no device.
  runtime_->SetDeferDeviceInitialization(true);
  ndis::SimulatedAdapter::Config config;
  config.name = "sim0";
  auto adapter = std::make_shared<SimulatedAdapter>(config);
  adapters_.push_back(adapter);
  ASSERT_TRUE(runtime_->AddAdapter(adapter));
  EXPECT_FALSE(DeviceHandle::Open(kDeviceName).IsOpen());
  EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(runtime_->StartPendingDeviceInstances(), 1u);
  ASSERT_TRUE(protocol_.WaitForAdapter(VirtualName("sim0")));
  for (const char* name : {kDeviceName, kDeviceGlobalName}) {
    DeviceHandle handle = DeviceHandle::Open(name);
    ASSERT_TRUE(handle.IsOpen()) << name;
    uint32_t returned = 1;
    EXPECT_TRUE(handle.DeviceIoControl(IOCTL_NOP, {}, {}, &returned)) << name;
    EXPECT_EQ(returned, 0u);
  }

  RemoveAdapter(adapter);
  EXPECT_FALSE(DeviceHandle::Open(kDeviceName).IsOpen());
  EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(ControlDeviceRequestTest, NopSucceedsAndCodesOutsideTheTableAreNotSupported) {
  AddAdapter("sim0");
  auto client = Connect();
  RawClient::Reply reply;
  const std::vector<uint8_t> input(16, 0x5A);
  ASSERT_TRUE(client->Call(1, IOCTL_NOP, input, 16, reply));
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);

  const uint32_t unknown[] = {
      0,
      0xFFFFFFFF,
      PactrakControlCode(0x200),
      PactrakControlCode(0x206),
      PactrakControlCode(0x209),
      IOCTL_NOP | 1,                         // the right function with another method
      IOCTL_ENUM_BINDINGS & ~(3u << 14),     // ... or other access bits
      CtlCode(0x22, 0x201, kMethodBuffered,  // ... or another device type
              kFileReadAccess | kFileWriteAccess),
  };
  for (uint32_t code : unknown) {
    ASSERT_TRUE(client->Call(2, code, input, 16, reply)) << std::hex << code;
    EXPECT_EQ(reply.status, ddk::STATUS_NOT_SUPPORTED) << std::hex << code;
    EXPECT_EQ(reply.information, 0u) << std::hex << code;
    EXPECT_TRUE(reply.data.empty());
  }
  DeviceHandle handle = Open();
  std::vector<uint8_t> output(8, 0xEE);
  uint32_t returned = 9;
  EXPECT_FALSE(handle.DeviceIoControl(PactrakControlCode(0x206), {}, output, &returned));
  EXPECT_EQ(GetLastError(), platform::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

TEST_F(ControlDeviceRequestTest, RecordsPileUpToFiftyThenAreDroppedCountedAndLeaveNewestFirst) {
  auto adapter = AddAdapter("sim0");
  DeviceHandle control = Open();
  SetCapture(control, CAPTURE_ENABLED);
  const ndis::TagUsage before = ndis::MemoryInUse(kPoolTag);

  for (uint32_t serial = 0; serial < MAX_QUEUED_RECORDS + 3; ++serial) {
    ReceiveFrame(*adapter, SerialFrame(serial));
  }
  // Fifty records wait, in one store made with the first of them; the three that found the
  // queue full are gone.
  EXPECT_EQ(QueuedRecords(), MAX_QUEUED_RECORDS);
  const ndis::TagUsage piled = ndis::MemoryInUse(kPoolTag);
  EXPECT_EQ(piled.blocks - before.blocks, 1u);
  EXPECT_EQ(piled.bytes - before.bytes, MAX_QUEUED_RECORDS * kPacketRecordSize);

  EXPECT_EQ(SetCapture(control, CAPTURE_ENABLED), 3u);
  EXPECT_EQ(SetCapture(control, CAPTURE_ENABLED), 0u);  // handed out once, then reset

  auto client = Connect();
  for (uint32_t id = 1; id <= MAX_QUEUED_RECORDS; ++id) ASSERT_TRUE(client->SendRead(id, 50));
  std::vector<uint32_t> serials;
  for (uint32_t i = 0; i < MAX_QUEUED_RECORDS; ++i) {
    RawClient::Reply reply;
    ASSERT_TRUE(client->Receive(reply));
    EXPECT_EQ(reply.id, i + 1);  // each read takes a record as it arrives
    ASSERT_EQ(reply.status, ddk::STATUS_SUCCESS);
    serials.push_back(SerialOf(*RecordOf(reply)));
  }
  std::vector<uint32_t> newest_first(MAX_QUEUED_RECORDS);
  for (uint32_t i = 0; i < MAX_QUEUED_RECORDS; ++i) newest_first[i] = MAX_QUEUED_RECORDS - 1 - i;
  EXPECT_EQ(serials, newest_first);
  EXPECT_EQ(QueuedRecords(), 0u);
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).bytes, piled.bytes);  // the store stays until unload

  // The queue is empty: the next read waits.
  ASSERT_TRUE(client->SendRead(100, 50));
  ExpectNothingCompleted(*client);
  ReceiveFrame(*adapter, SerialFrame(500));
  RawClient::Reply reply;
  ASSERT_TRUE(client->Receive(reply));
  EXPECT_EQ(reply.id, 100u);
  EXPECT_EQ(SerialOf(*RecordOf(reply)), 500u);
}

TEST_F(ControlDeviceRequestTest, QueueLimitOfTheHostBoundsTheRecordsKeptFromTheNextLoadOn) {
  runtime_->UnloadDriver();
  SetRecordQueueLimit(3);
  ASSERT_EQ(runtime_->LoadDriver(kProtocolName, DriverEntry), ddk::STATUS_SUCCESS);
  SetRecordQueueLimit(MAX_QUEUED_RECORDS);  // for the loads of the tests that follow
  auto adapter = AddAdapter("sim0");
  DeviceHandle control = Open();
  SetCapture(control, CAPTURE_ENABLED);
  const uint32_t before = QueuedRecords();
  for (uint32_t serial = 0; serial < 5; ++serial) ReceiveFrame(*adapter, SerialFrame(serial));
  EXPECT_EQ(QueuedRecords() - before, 3u);
  EXPECT_EQ(SetCapture(control, CAPTURE_ENABLED), 2u);
  std::vector<uint8_t> records(10 * kPacketRecordSize);
  uint32_t returned = 0;
  ASSERT_TRUE(control.DeviceIoControl(IOCTL_READ_RECORDS, {}, records, &returned));
  ASSERT_EQ(returned, 3 * kPacketRecordSize);
  EXPECT_EQ(SerialOf(*DecodePacketRecord(records)), 2u);
}

TEST_F(ControlDeviceRequestTest, PendingReadsAreServedOldestFirstAcrossHandles) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  auto a = Connect();
  auto b = Connect();
  // Queued in this order: a/1, b/1, a/2, a/3.
  ASSERT_TRUE(a->SendRead(1, 50));
  ExpectNothingCompleted(*a);
  ASSERT_TRUE(b->SendRead(1, 50));
  ExpectNothingCompleted(*b);
  ASSERT_TRUE(a->SendRead(2, 50));
  ASSERT_TRUE(a->SendRead(3, 50));
  ExpectNothingCompleted(*a);

  struct Expected {
    RawClient* client;
    uint32_t id;
  };
  const Expected order[] = {{a.get(), 1}, {b.get(), 1}, {a.get(), 2}, {a.get(), 3}};
  for (uint32_t serial = 0; serial < std::size(order); ++serial) {
    ReceiveFrame(*adapter, SerialFrame(serial));
    RawClient::Reply reply;
    ASSERT_TRUE(order[serial].client->Receive(reply));
    EXPECT_EQ(reply.id, order[serial].id) << "record " << serial;
    EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
    EXPECT_EQ(SerialOf(*RecordOf(reply)), serial);
  }
  // Each record went to one read only.
  ExpectNothingCompleted(*a);
  ExpectNothingCompleted(*b);

  // A record that finds no read waits for the next one, on any handle.
  ReceiveFrame(*adapter, SerialFrame(9));
  std::optional<PacketRecord> record = ReadRecord(*b, 2);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(SerialOf(*record), 9u);
}

TEST_F(ControlDeviceRequestTest, RecordBatchesTakeWholeRecordsInReadOrderFromTheSameQueue) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  auto client = Connect();
  RawClient::Reply reply;
  auto serials = [](const RawClient::Reply& r) {
    std::vector<uint32_t> out;
    for (size_t at = 0; at + kPacketRecordSize <= r.data.size(); at += kPacketRecordSize) {
      out.push_back(SerialOf(*DecodePacketRecord(std::span(r.data).subspan(at))));
    }
    return out;
  };
  for (uint32_t length : {size_t{0}, size_t{1}, kPacketRecordSize - 1}) {
    ASSERT_TRUE(client->Call(length, IOCTL_READ_RECORDS, {}, length, reply));
    EXPECT_EQ(reply.status, ddk::STATUS_BUFFER_TOO_SMALL) << length;
    EXPECT_EQ(reply.information, 0u);
  }

  // Piled-up records leave as single reads would take them (newest first), whole ones only.
  for (uint32_t serial = 0; serial < 5; ++serial) ReceiveFrame(*adapter, SerialFrame(serial));
  ASSERT_TRUE(client->Call(1, IOCTL_READ_RECORDS, {}, 3 * kPacketRecordSize - 1, reply));
  EXPECT_EQ(reply.information, 2 * kPacketRecordSize);
  EXPECT_EQ(serials(reply), (std::vector<uint32_t>{4, 3}));
  EXPECT_EQ(SerialOf(*ReadRecord(*client, 2)), 2u);
  ASSERT_TRUE(client->Call(3, IOCTL_READ_RECORDS, {}, wire::kMaxOutputLength, reply));
  EXPECT_EQ(serials(reply), (std::vector<uint32_t>{1, 0}));

  // Pending batches and reads wait in one queue, oldest first; a batch goes with one record.
  ASSERT_TRUE(client->SendControl(4, IOCTL_READ_RECORDS, {}, 10 * kPacketRecordSize));
  ASSERT_TRUE(client->SendRead(5, kReadSize));
  ASSERT_TRUE(client->SendControl(6, IOCTL_READ_RECORDS, {}, 10 * kPacketRecordSize));
  ASSERT_TRUE(client->SendControl(7, IOCTL_READ_RECORDS, {}, 10 * kPacketRecordSize));
  ExpectNothingCompleted(*client);
  for (uint32_t id : {4u, 5u, 6u}) {
    ReceiveFrame(*adapter, SerialFrame(id));
    ASSERT_TRUE(client->Receive(reply));
    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.information, id == 5 ? kReadSize : kPacketRecordSize);
    EXPECT_EQ(SerialOf(*RecordOf(reply)), id);
  }
  // Cancel and close end a batch as they end a read.
  ASSERT_TRUE(client->SendCancel(7));
  ASSERT_TRUE(client->Receive(reply));
  EXPECT_EQ(reply.status, ddk::STATUS_CANCELLED);
  ASSERT_TRUE(client->SendControl(8, IOCTL_READ_RECORDS, {}, kPacketRecordSize));
  std::vector<RawClient::Reply> last = client->Close();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].status, ddk::STATUS_CANCELLED);
}

TEST_F(ControlDeviceRequestTest, ReadReportsItsWholeBufferAndWritesOnlyTheRecord) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  const std::vector<uint8_t> frame = SerialFrame(0x0A0B0C0D);

  // The service's 50-byte read: told 50, the record in 0..40, 41..49 as the reader left them.
  ReceiveFrame(*adapter, frame);
  DeviceHandle handle = Open();
  std::array<uint8_t, kReadSize> buffer;
  buffer.fill(0xEE);
  uint32_t bytes = 0;
  ASSERT_TRUE(handle.ReadFile(buffer, &bytes));
  EXPECT_EQ(bytes, kReadSize);
  std::optional<PacketRecord> record = DecodePacketRecord(buffer);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(SerialOf(*record), 0x0A0B0C0Du);
  EXPECT_EQ(uint32_t{record->PacketLength}, frame.size());
  EXPECT_TRUE(std::all_of(buffer.begin() + kPacketRecordSize, buffer.end(),
                          [](uint8_t b) { return b == 0xEE; }));

  auto client = Connect();
  for (uint32_t length : {41u, 42u, 64u, 4096u}) {
    ReceiveFrame(*adapter, SerialFrame(length));
    RawClient::Reply reply;
    // The caller's buffer goes along with the read, and what the driver did not write of it
    // comes back as it was.
    ASSERT_TRUE(client->Send(length, wire::kOpRead, 0, length, std::vector<uint8_t>(length, 0xEE)));
    ASSERT_TRUE(client->Receive(reply));
    EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS) << length;
    EXPECT_EQ(reply.information, length);
    ASSERT_EQ(reply.data.size(), length);
    EXPECT_EQ(SerialOf(*RecordOf(reply)), length);
    EXPECT_TRUE(std::all_of(reply.data.begin() + kPacketRecordSize, reply.data.end(),
                            [](uint8_t b) { return b == 0xEE; }));
  }
}

TEST_F(ControlDeviceRequestTest, ReadsWithUnusableBuffersFailAtOnceAndTakeNoRecord) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  ReceiveFrame(*adapter, SerialFrame(77));  // waits through every refused read
  const uint32_t queued = QueuedRecords();

  auto client = Connect();
  struct Case {
    uint32_t length;
    bool unmappable;
    ddk::NTSTATUS status;
  };
  const Case cases[] = {
      {0, false, ddk::STATUS_INVALID_PARAMETER},
      {1, false, ddk::STATUS_BUFFER_TOO_SMALL},
      {kPacketRecordSize - 1, false, ddk::STATUS_BUFFER_TOO_SMALL},
      {kReadSize, true, ddk::STATUS_INSUFFICIENT_RESOURCES},
  };
  uint32_t id = 1;
  for (const Case& c : cases) {
    host_.SetMappingFailure(c.unmappable);
    RawClient::Reply reply;
    ASSERT_TRUE(client->SendRead(id, c.length));
    ASSERT_TRUE(client->Receive(reply));
    host_.SetMappingFailure(false);
    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.status, c.status) << c.length;
    EXPECT_EQ(reply.information, 0u) << c.length;
    EXPECT_TRUE(reply.data.empty());
    ++id;
  }

  // Through the device client: the Win32 codes, and nothing written into a short buffer.
  DeviceHandle handle = Open();
  std::array<uint8_t, kPacketRecordSize - 1> short_buffer;
  short_buffer.fill(0xEE);
  uint32_t bytes = 5;
  EXPECT_FALSE(handle.ReadFile(short_buffer, &bytes));
  EXPECT_EQ(GetLastError(), platform::ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(
      std::all_of(short_buffer.begin(), short_buffer.end(), [](uint8_t b) { return b == 0xEE; }));
  EXPECT_FALSE(handle.ReadFile(std::span(short_buffer).first(0), &bytes));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_PARAMETER);

  EXPECT_EQ(QueuedRecords(), queued);
  std::optional<PacketRecord> record = ReadRecord(*client, id);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(SerialOf(*record), 77u);
}

TEST_F(ControlDeviceRequestTest, CancelByIdAndCloseEndOnlyTheReadsTheyName) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  auto client = Connect();
  for (uint32_t id : {1, 2, 3}) ASSERT_TRUE(client->SendRead(id, 50));
  ExpectNothingCompleted(*client);

  ASSERT_TRUE(client->SendCancel(2));
  RawClient::Reply reply;
  ASSERT_TRUE(client->Receive(reply));
  EXPECT_EQ(reply.id, 2u);
  EXPECT_EQ(reply.status, ddk::STATUS_CANCELLED);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(reply.data.empty());
  ASSERT_TRUE(client->SendCancel(99));  // names nothing
  ExpectNothingCompleted(*client);

  // The cancelled read is out of the queue: the next two records go to 1 and 3.
  for (uint32_t expected_id : {1u, 3u}) {
    ReceiveFrame(*adapter, SerialFrame(expected_id));
    ASSERT_TRUE(client->Receive(reply));
    EXPECT_EQ(reply.id, expected_id);
    EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
    EXPECT_EQ(SerialOf(*RecordOf(reply)), expected_id);
  }

  // Closing the handle cancels what it still has pending, and those reads take no record.
  ASSERT_TRUE(client->SendRead(4, 50));
  ASSERT_TRUE(client->SendRead(5, 50));
  ExpectNothingCompleted(*client);
  std::vector<RawClient::Reply> last = client->Close();
  ASSERT_EQ(last.size(), 2u);
  std::vector<uint32_t> ids;
  for (const RawClient::Reply& r : last) {
    ids.push_back(r.id);
    EXPECT_EQ(r.status, ddk::STATUS_CANCELLED);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{4, 5}));
  const uint32_t idle = QueuedRecords();
  ReceiveFrame(*adapter, SerialFrame(6));
  EXPECT_EQ(QueuedRecords(), idle + 1);

  // A thread's read cancelled from another thread (CancelSynchronousIo).
  DeviceHandle handle = Open();
  std::array<uint8_t, kReadSize> buffer{};
  uint32_t bytes = 0;
  ASSERT_TRUE(handle.ReadFile(buffer, &bytes));  // takes record 6 at once
  EXPECT_EQ(SerialOf(*DecodePacketRecord(buffer)), 6u);
  bool ok = true;
  platform::Win32Error error = 0;
  std::thread reader([&] {
    ok = handle.ReadFile(buffer, &bytes);
    error = GetLastError();
  });
  while (!handle.CancelSynchronousIo(reader.get_id())) std::this_thread::yield();
  reader.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, platform::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(QueuedRecords(), idle);
}

TEST_F(ControlDeviceRequestTest, DeviceGoingAwayEndsPendingReadsAndUnloadFreesQueuedRecords) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  auto reading = Connect();
  ASSERT_TRUE(reading->SendRead(1, 50));
  ASSERT_TRUE(reading->SendRead(2, 50));
  ExpectNothingCompleted(*reading);

  RemoveAdapter(adapter);
  std::vector<uint32_t> ids;
  RawClient::Reply reply;
  while (reading->Receive(reply)) {
    EXPECT_EQ(reply.status, ddk::STATUS_CANCELLED);
    ids.push_back(reply.id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2}));
  EXPECT_FALSE(DeviceHandle::Open(kDeviceName).IsOpen());

  // Records left waiting when the last adapter goes stay until the driver unloads; TearDown
  // checks that the unload frees them.
  auto again = AddAdapter("sim1");
  for (uint32_t serial = 0; serial < 3; ++serial) ReceiveFrame(*again, SerialFrame(serial));
  RemoveAdapter(again);
}

TEST_F(ControlDeviceRequestTest, EnumerationListsNewestBindingFirstAsNdisNamedThem) {
  ASSERT_EQ(
      platform::RegistrySetString(ndis::Runtime::ProtocolConfigurationKey(kProtocolName, "sim1"),
                                  "UpperBindings", "\\Device\\pactrak_custom"),
      platform::ERROR_SUCCESS);
  AddAdapter("sim0");
  auto sim1 = AddAdapter("sim1", ndis::NdisMedium802_3, u"\\Device\\pactrak_custom");
  DeviceHandle handle = Open();

  std::vector<uint8_t> expected = EnumEntry(u"\\Device\\pactrak_custom", LowerName("sim1"));
  std::vector<uint8_t> sim0 = EnumEntry(VirtualName("sim0"), LowerName("sim0"));
  expected.insert(expected.end(), sim0.begin(), sim0.end());
  expected.insert(expected.end(), {0, 0});
  EXPECT_EQ(Enumerate(handle), expected);

  RemoveAdapter(sim1);
  AddAdapter("sim2");
  expected = EnumEntry(VirtualName("sim2"), LowerName("sim2"));
  expected.insert(expected.end(), sim0.begin(), sim0.end());
  expected.insert(expected.end(), {0, 0});
  EXPECT_EQ(Enumerate(handle), expected);
}

TEST_F(ControlDeviceRequestTest, EnumerationWithTooLittleRoomReturnsNoDataAtAll) {
  AddAdapter("sim0");
  AddAdapter("sim1");
  DeviceHandle handle = Open();
  const size_t full = Enumerate(handle).size();
  ASSERT_GT(full, 2u);

  // Every length short of the whole list: the overflow warning and not one byte.
  for (size_t length = 0; length <= full + 2; ++length) {
    std::vector<uint8_t> output(length, 0xEE);
    uint32_t returned = 99;
    const bool ok = handle.DeviceIoControl(IOCTL_ENUM_BINDINGS, {}, output, &returned);
    if (length < full) {
      EXPECT_FALSE(ok) << length;
      EXPECT_EQ(GetLastError(), platform::ERROR_MORE_DATA) << length;
      EXPECT_EQ(returned, 0u) << length;
      EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0xEE; }))
          << length;
    } else {
      EXPECT_TRUE(ok) << length;
      EXPECT_EQ(returned, full) << length;
    }
  }
  auto client = Connect();
  for (uint32_t length : {0u, 1u, 2u, static_cast<uint32_t>(full - 1)}) {
    RawClient::Reply reply;
    ASSERT_TRUE(client->Call(1, IOCTL_ENUM_BINDINGS, {}, length, reply));
    EXPECT_EQ(reply.status, ddk::STATUS_BUFFER_OVERFLOW) << length;
    EXPECT_EQ(reply.information, 0u) << length;
    EXPECT_TRUE(reply.data.empty()) << length;
  }
}

TEST_F(ControlDeviceRequestTest, OpenMatchesTheLowerAdapterNameExactly) {
  AddAdapter("sim0");
  AddAdapter("sim01");  // its name begins with the other's
  DeviceHandle handle = Open();

  const std::u16string name = LowerName("sim0");
  std::vector<uint8_t> with_terminator = NameBytes(name);
  with_terminator.insert(with_terminator.end(), {0, 0});
  std::vector<uint8_t> odd = NameBytes(name);
  odd.pop_back();
  std::vector<uint8_t> odd_longer = NameBytes(name);
  odd_longer.push_back(0);
  const std::vector<uint8_t> misses[] = {
      with_terminator,
      odd,
      odd_longer,
      NameBytes(u"\\DEVICE\\SIM0"),
      NameBytes(u"\\Device\\sim"),
      NameBytes(u"\\Device\\sim0x"),
      NameBytes(VirtualName("sim0")),
      NameBytes(u"sim0"),
      {},
  };
  for (const std::vector<uint8_t>& input : misses) {
    std::vector<uint8_t> output(8, 0xEE);
    uint32_t returned = 99;
    EXPECT_FALSE(handle.DeviceIoControl(IOCTL_OPEN_BINDING, input, output, &returned))
        << input.size();
    EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND) << input.size();
    EXPECT_EQ(returned, 0u);
  }
  auto client = Connect();
  RawClient::Reply reply;
  ASSERT_TRUE(client->Call(1, IOCTL_OPEN_BINDING, NameBytes(u"\\Device\\sim"), 0, reply));
  EXPECT_EQ(reply.status, ddk::STATUS_OBJECT_NAME_NOT_FOUND);

  // None of the misses opened anything: the exact name opens sim0, and sim0 only.
  std::vector<uint8_t> output(8, 0xEE);
  uint32_t returned = 99;
  ASSERT_TRUE(handle.DeviceIoControl(IOCTL_OPEN_BINDING, NameBytes(name), output, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(output, std::vector<uint8_t>(8, 0xEE));
  DeviceHandle other = Open();
  EXPECT_TRUE(OpenBinding(other, LowerName("sim01")));
  DeviceHandle third = Open();
  EXPECT_FALSE(OpenBinding(third, name));
  EXPECT_EQ(GetLastError(), platform::ERROR_BUSY);
}

TEST_F(ControlDeviceRequestTest, OpenedAdapterIsBusyForEveryHandleUntilItsHolderCloses) {
  AddAdapter("sim0");
  AddAdapter("sim1");
  DeviceHandle holder = Open();
  DeviceHandle other = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));

  EXPECT_FALSE(OpenBinding(other, LowerName("sim0")));
  EXPECT_EQ(GetLastError(), platform::ERROR_BUSY);
  auto client = Connect();
  RawClient::Reply reply;
  ASSERT_TRUE(client->Call(1, IOCTL_OPEN_BINDING, NameBytes(LowerName("sim0")), 0, reply));
  EXPECT_EQ(reply.status, ddk::STATUS_DEVICE_BUSY);
  EXPECT_EQ(reply.information, 0u);

  // The holder itself cannot open a second time, neither the same adapter nor another one...
  EXPECT_FALSE(OpenBinding(holder, LowerName("sim0")));
  EXPECT_EQ(GetLastError(), platform::ERROR_BUSY);
  EXPECT_FALSE(OpenBinding(holder, LowerName("sim1")));
  EXPECT_EQ(GetLastError(), platform::ERROR_BUSY);
  // ... and its refused attempt left sim1 free.
  EXPECT_TRUE(OpenBinding(other, LowerName("sim1")));

  ASSERT_TRUE(holder.Close());
  DeviceHandle next = Open();
  EXPECT_TRUE(OpenBinding(next, LowerName("sim0")));
  EXPECT_FALSE(OpenBinding(Open(), LowerName("sim0")));
  EXPECT_EQ(GetLastError(), platform::ERROR_BUSY);
}

TEST_F(ControlDeviceRequestTest, QueryNeedsTheAdapterOpenedThroughSomeHandle) {
  auto adapter = AddAdapter("sim0");
  adapter->SetOidAnswer(kTestOid, {1, 2, 3, 4, 5, 6});
  auto client = Connect();

  RawClient::Reply reply = Query(*client, LowerName("sim0"), 0, kTestOid, 16);
  EXPECT_EQ(reply.status, ddk::STATUS_INVALID_HANDLE);
  EXPECT_EQ(reply.information, 0u);
  reply = Query(*client, LowerName("sim9"), 0, kTestOid, 16);
  EXPECT_EQ(reply.status, ddk::STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(adapter->Queries().empty());

  // Opened through another handle: queries through this one reach the adapter.
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  reply = Query(*client, LowerName("sim0"), 0, kTestOid, 16);
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 6u);
  EXPECT_EQ(reply.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(adapter->Queries(), (std::vector<ndis::NDIS_OID>{kTestOid}));

  // And through the device client, as the service asks.
  std::vector<uint8_t> output(16, 0);
  uint32_t returned = 0;
  ASSERT_TRUE(holder.DeviceIoControl(
      IOCTL_QUERY_BINDING, QueryInput(LowerName("sim0"), 1, kTestOid), output, &returned));
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + 6),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

  ASSERT_TRUE(holder.Close());
  reply = Query(*client, LowerName("sim0"), 0, kTestOid, 16);
  EXPECT_EQ(reply.status, ddk::STATUS_INVALID_HANDLE);
}

TEST_F(ControlDeviceRequestTest, QueryFindsTheAdapterWhoseWholeNameFillsTheNameField) {
  // sim01 is older, so a binding list walk meets sim0 first: its name is a prefix of sim01's.
  auto sim01 = AddAdapter("sim01");
  auto sim0 = AddAdapter("sim0");
  // Names longer than the 128-byte field cannot be queried (their end is not in the field).
  const std::string long_name(kQueryNameBytes / 2, 'x');
  auto long_adapter = AddAdapter(long_name);
  sim01->SetOidAnswer(kTestOid, {0x01});
  sim0->SetOidAnswer(kTestOid, {0x00});
  long_adapter->SetOidAnswer(kTestOid, {0x0F});
  DeviceHandle holders[3] = {Open(), Open(), Open()};
  ASSERT_TRUE(OpenBinding(holders[0], LowerName("sim01")));
  ASSERT_TRUE(OpenBinding(holders[1], LowerName("sim0")));
  ASSERT_TRUE(OpenBinding(holders[2], LowerName(long_name)));  // opening has no such limit

  auto client = Connect();
  RawClient::Reply reply = Query(*client, LowerName("sim01"), 0, kTestOid, 4);
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(reply.data, std::vector<uint8_t>{0x01});
  reply = Query(*client, LowerName("sim0"), 0, kTestOid, 4);
  EXPECT_EQ(reply.data, std::vector<uint8_t>{0x00});
  reply = Query(*client, LowerName(long_name), 0, kTestOid, 4);
  EXPECT_EQ(reply.status, ddk::STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(long_adapter->Queries().empty());
}

TEST_F(ControlDeviceRequestTest, InterfaceNumberIsStoredOnceTheAdapterIsOpenEvenIfTheQueryFails) {
  auto adapter = AddAdapter("sim0");
  adapter->SetOidAnswer(kTestOid, {9});
  SetCapture(CAPTURE_ENABLED);
  auto client = Connect();

  // Refused before the adapter is found open: nothing stored.
  EXPECT_EQ(Query(*client, LowerName("sim0"), 0x11, kTestOid, 4).status,
            ddk::STATUS_INVALID_HANDLE);
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 0);

  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));

  // Short input: refused, nothing stored.
  std::vector<uint8_t> short_input = QueryInput(LowerName("sim0"), 0x77, kTestOid);
  short_input.pop_back();
  RawClient::Reply reply;
  ASSERT_TRUE(client->Call(1, IOCTL_QUERY_BINDING, short_input, 4, reply));
  EXPECT_EQ(reply.status, ddk::STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 0);

  // The virtual adapter asleep: the query fails, the number is kept, only its low 16 bits count.
  SetVirtualAdapterPower("sim0", ndis::NdisDeviceStateD3);
  reply = Query(*client, LowerName("sim0"), 0x00012345, kTestOid, 4);
  EXPECT_EQ(reply.status, ddk::STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(reply.information, 0u);
  SetVirtualAdapterPower("sim0", ndis::NdisDeviceStateD0);
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 0x2345);

  // The lower adapter asleep (standing by): the same.
  ASSERT_EQ(adapter->SetPower(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS);
  reply = Query(*client, LowerName("sim0"), 0xBEEF, kTestOid, 4);
  EXPECT_EQ(reply.status, ddk::STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(adapter->SetPower(ndis::NdisDeviceStateD0), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 0xBEEF);
  EXPECT_TRUE(adapter->Queries().empty());  // neither reached the adapter

  // Awake again, the query goes through and stores its number too.
  reply = Query(*client, LowerName("sim0"), 0xFFFF0003, kTestOid, 4);
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 3);
}

TEST_F(ControlDeviceRequestTest, QueryStatusesOfTheLowerAdapterAreTranslated) {
  auto adapter = AddAdapter("sim0");
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  auto client = Connect();
  struct Case {
    ndis::NDIS_STATUS from;
    ddk::NTSTATUS to;
  };
  const Case cases[] = {
      {ndis::NDIS_STATUS_BUFFER_OVERFLOW, ddk::STATUS_BUFFER_OVERFLOW},
      {ndis::NDIS_STATUS_FAILURE, ddk::STATUS_UNSUCCESSFUL},
      {ndis::NDIS_STATUS_RESOURCES, ddk::STATUS_INSUFFICIENT_RESOURCES},
      {ndis::NDIS_STATUS_NOT_SUPPORTED, ddk::STATUS_NOT_SUPPORTED},
      {ndis::NDIS_STATUS_BUFFER_TOO_SHORT, ddk::STATUS_BUFFER_TOO_SMALL},
      {ndis::NDIS_STATUS_INVALID_LENGTH, ddk::STATUS_INVALID_BUFFER_SIZE},
      {ndis::NDIS_STATUS_INVALID_DATA, ddk::STATUS_INVALID_PARAMETER},
      {ndis::NDIS_STATUS_ADAPTER_NOT_FOUND, ddk::STATUS_NO_MORE_ENTRIES},
      {ndis::NDIS_STATUS_ADAPTER_NOT_READY, ddk::STATUS_DEVICE_NOT_READY},
      // Everything else is a plain failure, success-class codes included.
      {ndis::NDIS_STATUS_INVALID_OID, ddk::STATUS_UNSUCCESSFUL},
      {ndis::NDIS_STATUS_CLOSING, ddk::STATUS_UNSUCCESSFUL},
      {ndis::NDIS_STATUS_NOT_ACCEPTED, ddk::STATUS_UNSUCCESSFUL},
      {ndis::NDIS_STATUS_MEDIA_CONNECT, ddk::STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    adapter->SetOidStatus(kTestOid, c.from);
    RawClient::Reply reply = Query(*client, LowerName("sim0"), 0, kTestOid, 16);
    EXPECT_EQ(reply.status, c.to) << std::hex << c.from;
    EXPECT_EQ(reply.information, 0u) << std::hex << c.from;
    EXPECT_EQ(TranslateQueryStatus(c.from), c.to) << std::hex << c.from;
  }
  EXPECT_EQ(TranslateQueryStatus(ndis::NDIS_STATUS_SUCCESS), ddk::STATUS_SUCCESS);
}

TEST_F(ControlDeviceRequestTest, QueryAnswerIsWhatTheAdapterWroteWithinTheOutput) {
  auto adapter = AddAdapter("sim0");
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  auto client = Connect();
  const std::vector<uint8_t> answer = {1, 2, 3, 4, 5, 6};
  struct Case {
    SimulatedAdapter::Fit fit;
    uint32_t output_length;
    ddk::NTSTATUS status;
    uint32_t information;
  };
  const Case cases[] = {
      {SimulatedAdapter::Fit::kTruncate, 16, ddk::STATUS_SUCCESS, 6},  // not the output length
      {SimulatedAdapter::Fit::kTruncate, 6, ddk::STATUS_SUCCESS, 6},
      {SimulatedAdapter::Fit::kTruncate, 4, ddk::STATUS_SUCCESS, 4},
      {SimulatedAdapter::Fit::kTruncate, 0, ddk::STATUS_SUCCESS, 0},
      {SimulatedAdapter::Fit::kExact, 4, ddk::STATUS_INVALID_BUFFER_SIZE, 0},
  };
  for (const Case& c : cases) {
    adapter->SetOidAnswer(kTestOid, answer, c.fit);
    RawClient::Reply reply = Query(*client, LowerName("sim0"), 0, kTestOid, c.output_length);
    EXPECT_EQ(reply.status, c.status) << c.output_length;
    EXPECT_EQ(reply.information, c.information) << c.output_length;
    EXPECT_EQ(reply.data, std::vector<uint8_t>(answer.begin(), answer.begin() + c.information));
  }
}

TEST_F(ControlDeviceRequestTest, QueryWaitsForALowerAdapterThatCompletesLater) {
  auto adapter = AddAdapter("sim0");
  adapter->SetOidAnswer(kTestOid, {0xAB, 0xCD});
  adapter->SetRequestCompletion(SimulatedAdapter::Completion::kPending);
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  auto client = Connect();
  ASSERT_TRUE(
      client->SendControl(5, IOCTL_QUERY_BINDING, QueryInput(LowerName("sim0"), 0, kTestOid), 8));
  ASSERT_TRUE(adapter->WaitForPendingRequests(1));

  // The device goes on serving other handles meanwhile, enumeration included.
  EXPECT_FALSE(Enumerate(holder).empty());
  auto other = Connect();
  ExpectNothingCompleted(*other);

  EXPECT_EQ(adapter->CompletePendingRequests(), 1u);
  RawClient::Reply reply;
  ASSERT_TRUE(client->Receive(reply));
  EXPECT_EQ(reply.id, 5u);
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(reply.data, (std::vector<uint8_t>{0xAB, 0xCD}));
  adapter->SetRequestCompletion(SimulatedAdapter::Completion::kImmediate);
}

TEST_F(ControlDeviceRequestTest, QueryWithoutScratchMemoryFailsAndChangesNothing) {
  auto adapter = AddAdapter("sim0");
  adapter->SetOidAnswer(kTestOid, {1});
  SetCapture(CAPTURE_ENABLED);
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));
  auto client = Connect();
  ndis::FailNextAllocationsForTesting(1);
  RawClient::Reply reply = Query(*client, LowerName("sim0"), 0x42, kTestOid, 4);
  ndis::FailNextAllocationsForTesting(0);
  EXPECT_EQ(reply.status, ddk::STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_TRUE(adapter->Queries().empty());
  EXPECT_EQ(InterfaceOfNextRecord(*adapter), 0);
  EXPECT_EQ(Query(*client, LowerName("sim0"), 0x42, kTestOid, 4).status, ddk::STATUS_SUCCESS);
}

TEST_F(ControlDeviceRequestTest, SetCaptureWithShortBuffersChangesNeitherFlagsNorCount) {
  auto adapter = AddAdapter("sim0");
  DeviceHandle control = Open();
  SetCapture(control, CAPTURE_ENABLED);
  for (uint32_t serial = 0; serial <= MAX_QUEUED_RECORDS; ++serial) {
    ReceiveFrame(*adapter, SerialFrame(serial));
  }
  // One dropped so far. Neither request below may switch capture off or hand the count out.
  auto client = Connect();
  const std::vector<uint8_t> off = {0};
  struct Case {
    std::vector<uint8_t> input;
    uint32_t output_length;
    ddk::NTSTATUS status;
  };
  const Case cases[] = {
      {{}, 4, ddk::STATUS_INVALID_PARAMETER},
      {off, 3, ddk::STATUS_BUFFER_TOO_SMALL},
      {off, 0, ddk::STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case& c : cases) {
    RawClient::Reply reply;
    ASSERT_TRUE(client->Call(1, IOCTL_SET_CAPTURE, c.input, c.output_length, reply));
    EXPECT_EQ(reply.status, c.status) << c.input.size() << "/" << c.output_length;
    EXPECT_EQ(reply.information, 0u);
    EXPECT_TRUE(reply.data.empty());
  }
  ReceiveFrame(*adapter, SerialFrame(99));  // still captured, and dropped
  RawClient::Reply reply;
  ASSERT_TRUE(client->Call(2, IOCTL_SET_CAPTURE, off, 8, reply));
  EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(reply.data, Le32(2));

  // Off: frames make no record and no drop.
  ReceiveFrame(*adapter, SerialFrame(100));
  EXPECT_EQ(SetCapture(control, 0), 0u);
}

TEST_F(ControlDeviceRequestTest, AdapterUnboundWhileOpenLeavesAHandleThatStillCloses) {
  auto sim1 = AddAdapter("sim1");
  const uint64_t one_adapter = DriverBlocks();
  auto sim0 = AddAdapter("sim0");
  DeviceHandle holder = Open();
  ASSERT_TRUE(OpenBinding(holder, LowerName("sim0")));

  RemoveAdapter(sim0);
  DeviceHandle other = Open();
  EXPECT_FALSE(OpenBinding(other, LowerName("sim0")));
  EXPECT_EQ(GetLastError(), platform::ERROR_FILE_NOT_FOUND);
  const std::vector<uint8_t> listed = Enumerate(other);
  std::vector<uint8_t> expected = EnumEntry(VirtualName("sim1"), LowerName("sim1"));
  expected.insert(expected.end(), {0, 0});
  EXPECT_EQ(listed, expected);
  EXPECT_GT(DriverBlocks(), one_adapter);  // the handle keeps the unbound binding

  ASSERT_TRUE(holder.Close());
  EXPECT_EQ(DriverBlocks(), one_adapter);

  // The last adapter unbound under an open handle: the device and its handles end, and the
  // handle still closes.
  ASSERT_TRUE(OpenBinding(other, LowerName("sim1")));
  RemoveAdapter(sim1);
  uint32_t returned = 0;
  EXPECT_FALSE(other.DeviceIoControl(IOCTL_NOP, {}, {}, &returned));
  EXPECT_EQ(GetLastError(), platform::ERROR_INVALID_HANDLE);
  EXPECT_TRUE(other.Close());
}

TEST_F(ControlDeviceRequestTest, CaptureIsOffWhenTheDriverLoads) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  runtime_->UnloadDriver();
  runtime_->DetachUpperProtocol(&protocol_);
  runtime_ = std::make_unique<ndis::Runtime>();
  runtime_->SetDeviceHost(&host_);
  runtime_->AttachUpperProtocol(&protocol_);
  ASSERT_EQ(runtime_->LoadDriver(kProtocolName, DriverEntry), ddk::STATUS_SUCCESS);
  ASSERT_TRUE(runtime_->AddAdapter(adapter));
  ASSERT_TRUE(protocol_.WaitForAdapter(VirtualName("sim0")));

  const uint32_t idle = QueuedRecords();
  ReceiveFrame(*adapter, SerialFrame(1));
  EXPECT_EQ(QueuedRecords(), idle);
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
