// Test bench for pactrak's control device as user mode sees it: a temporary machine root, the
// real socket device host, a runtime with the driver loaded, the simulated protocol above the
// virtual adapters, simulated adapters below, and helpers that speak to the device through the
// device client (DeviceHandle) or frame by frame (RawClient).
#ifndef FLOWSENTRY_DRIVER_TESTING_CONTROL_DEVICE_FIXTURE_H_
#define FLOWSENTRY_DRIVER_TESTING_CONTROL_DEVICE_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/binding.h"
#include "driver/control_device.h"
#include "driver/pactrak.h"
#include "driver/runtime/io/socket_device_host.h"
#include "driver/runtime/io/testing/raw_client.h"
#include "driver/runtime/kernel.h"
#include "driver/runtime/memory.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/simulated_adapter.h"
#include "driver/runtime/testing/simulated_protocol.h"
#include "platform/device.h"
#include "platform/testing/temp_root.h"
#include "shared/control.h"
#include "shared/device_wire.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak::testing {

using ddk::testing::RawClient;

// UTF-16LE bytes of a name, without a terminator.
inline std::vector<uint8_t> NameBytes(std::u16string_view name) {
  std::vector<uint8_t> bytes;
  for (char16_t c : name) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

inline std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

inline uint32_t ReadLe32(const std::vector<uint8_t>& bytes, size_t offset = 0) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
  return value;
}

// The 136-byte IOCTL_QUERY_BINDING input: the name zero-filled to 128 bytes (cut there), the
// interface number and the OID.
inline std::vector<uint8_t> QueryInput(std::u16string_view lower_name, uint32_t interface_number,
                                       uint32_t oid) {
  std::vector<uint8_t> input(kQueryBlockSize, 0);
  std::vector<uint8_t> name = NameBytes(lower_name);
  std::memcpy(input.data(), name.data(), std::min(name.size(), kQueryNameBytes));
  std::vector<uint8_t> number = Le32(interface_number);
  std::memcpy(input.data() + kQueryInterfaceOffset, number.data(), 4);
  std::vector<uint8_t> code = Le32(oid);
  std::memcpy(input.data() + kQueryOidOffset, code.data(), 4);
  return input;
}

// An Ethernet frame carrying IPv4 with a header of `ihl` words, `protocol`, addresses
// 192.0.2.1 -> 198.51.100.2 and the two ports right behind the IP header; `length` bytes in all
// (cut or padded with a pattern). `tag` lands in the last byte of the source address, so frames
// can be told apart.
inline std::vector<uint8_t> Ipv4Frame(size_t length, uint8_t ihl = 5, uint8_t protocol = 6,
                                      uint16_t source_port = 0x1F90, uint16_t dest_port = 0xC350,
                                      uint8_t tag = 1) {
  std::vector<uint8_t> frame(std::max<size_t>(length, 18 + 4 * size_t{ihl}));
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(0x80 + i);
  const uint8_t dest_mac[6] = {0x02, 0x00, 0x5E, 0x00, 0x53, 0xAA};
  const uint8_t source_mac[6] = {0x02, 0x00, 0x5E, 0x00, 0x53, 0xBB};
  std::memcpy(&frame[0], dest_mac, 6);
  std::memcpy(&frame[6], source_mac, 6);
  frame[12] = 0x08;
  frame[13] = 0x00;
  frame[14] = static_cast<uint8_t>(0x40 | ihl);
  frame[23] = protocol;
  const uint8_t addresses[8] = {192, 0, 2, tag, 198, 51, 100, 2};
  std::memcpy(&frame[26], addresses, 8);
  const size_t ports = 14 + 4 * size_t{ihl};
  frame[ports] = static_cast<uint8_t>(source_port >> 8);
  frame[ports + 1] = static_cast<uint8_t>(source_port);
  frame[ports + 2] = static_cast<uint8_t>(dest_port >> 8);
  frame[ports + 3] = static_cast<uint8_t>(dest_port);
  frame.resize(length);
  return frame;
}

// A frame whose source address carries a 32-bit serial number (big-endian), for telling many
// records apart.
inline std::vector<uint8_t> SerialFrame(uint32_t serial, size_t length = 60) {
  std::vector<uint8_t> frame = Ipv4Frame(length);
  frame[26] = static_cast<uint8_t>(serial >> 24);
  frame[27] = static_cast<uint8_t>(serial >> 16);
  frame[28] = static_cast<uint8_t>(serial >> 8);
  frame[29] = static_cast<uint8_t>(serial);
  return frame;
}

inline uint32_t SerialOf(const PacketRecord& record) { return Net32(record.SourceIP); }

inline std::optional<PacketRecord> RecordOf(const RawClient::Reply& reply) {
  return DecodePacketRecord(reply.data);
}

// A new handle on the control device, spoken to frame by frame.
inline std::unique_ptr<RawClient> ConnectToDevice() {
  auto client = std::make_unique<RawClient>(platform::DeviceSocketPath(kDeviceName).value_or(""));
  EXPECT_TRUE(client->connected());
  return client;
}

class ControlDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    baseline_blocks_ = ndis::MemoryInUse(kPoolTag).blocks;
    runtime_ = std::make_unique<ndis::Runtime>();
    runtime_->SetDeviceHost(&host_);
    runtime_->AttachUpperProtocol(&protocol_);
    ASSERT_EQ(runtime_->LoadDriver(kProtocolName, DriverEntry), ddk::STATUS_SUCCESS);
  }

  void TearDown() override {
    for (auto& adapter : adapters_) runtime_->RemoveAdapter(adapter->Name());
    runtime_->UnloadDriver();
    runtime_->DetachUpperProtocol(&protocol_);
    runtime_.reset();
    adapters_.clear();
    ddk::SetSystemTimeSource(nullptr);
    ndis::FailNextAllocationsForTesting(0);
    EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u) << "driver memory left after unloading";
  }

  // Adds a simulated adapter and waits until the protocol above sees its virtual adapter (under
  // `virtual_name` when its UpperBindings is not the default one).
  std::shared_ptr<ndis::SimulatedAdapter> AddAdapter(
      std::string name, ndis::NDIS_MEDIUM medium = ndis::NdisMedium802_3,
      std::u16string virtual_name = {}) {
    ndis::SimulatedAdapter::Config config;
    config.name = std::move(name);
    config.medium = medium;
    auto adapter = std::make_shared<ndis::SimulatedAdapter>(config);
    adapters_.push_back(adapter);
    EXPECT_TRUE(runtime_->AddAdapter(adapter));
    if (virtual_name.empty()) virtual_name = VirtualName(adapter->Name());
    EXPECT_TRUE(protocol_.WaitForAdapter(virtual_name));
    return adapter;
  }

  void RemoveAdapter(const std::shared_ptr<ndis::SimulatedAdapter>& adapter) {
    EXPECT_TRUE(runtime_->RemoveAdapter(adapter->Name()));
    std::erase(adapters_, adapter);
  }

  static std::u16string VirtualName(const std::string& adapter) {
    return ndis::WidenName(ndis::Runtime::DefaultUpperBindings(kProtocolName, adapter));
  }
  // The lower adapter's name as NDIS hands it to the driver.
  static std::u16string LowerName(const std::string& adapter) {
    return u"\\Device\\" + ndis::WidenName(adapter);
  }

  static platform::DeviceHandle Open() {
    platform::DeviceHandle handle = platform::DeviceHandle::Open(kDeviceName);
    EXPECT_TRUE(handle.IsOpen());
    return handle;
  }

  static std::unique_ptr<RawClient> Connect() { return ConnectToDevice(); }

  // IOCTL_SET_CAPTURE through a handle; the drop count it hands out.
  static uint32_t SetCapture(const platform::DeviceHandle& handle, uint8_t flags) {
    std::vector<uint8_t> dropped(4, 0xEE);
    uint32_t returned = 0;
    const uint8_t input[1] = {flags};
    EXPECT_TRUE(handle.DeviceIoControl(IOCTL_SET_CAPTURE, input, dropped, &returned));
    EXPECT_EQ(returned, 4u);
    return ReadLe32(dropped);
  }

  // Switches capture on or off through a handle of its own; the drop count it hands out.
  static uint32_t SetCapture(uint8_t flags) { return SetCapture(Open(), flags); }

  static bool OpenBinding(const platform::DeviceHandle& handle, std::u16string_view lower_name) {
    uint32_t returned = 0;
    return handle.DeviceIoControl(IOCTL_OPEN_BINDING, NameBytes(lower_name), {}, &returned);
  }

  // A frame received whole from the lower adapter: one record while capture is on.
  static void ReceiveFrame(ndis::SimulatedAdapter& adapter, const std::vector<uint8_t>& frame) {
    ndis::SimulatedAdapter::ReceiveOptions options;
    options.kind = ndis::SimulatedAdapter::ReceiveKind::kPacket;
    adapter.Receive(frame, options);
  }

  // The driver's blocks of memory: its bindings and contexts, and the record queue's store.
  uint64_t DriverBlocks() const { return ndis::MemoryInUse(kPoolTag).blocks; }

  // Records waiting in the driver for a reader.
  static uint32_t QueuedRecords() {
    ControlQueues& queues = Queues();
    ndis::SpinLockGuard guard(queues.QueueLock);
    return queues.records.size();
  }

  // Sends a NOP on `client` and reads the next reply. Dispatch routines of one handle run in the
  // order their requests arrive, so when the NOP's reply is the next one, every request sent
  // before it has been dispatched and none of them has completed since.
  static void ExpectNothingCompleted(RawClient& client, uint32_t nop_id = 0xFFFF0000) {
    RawClient::Reply reply;
    ASSERT_TRUE(client.SendControl(nop_id, IOCTL_NOP, {}, 0));
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.id, nop_id) << "a request completed before the NOP";
    EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
  }

  // Reads one record through a new read on `client`; nullopt when the read did not succeed.
  static std::optional<PacketRecord> ReadRecord(RawClient& client, uint32_t id = 1) {
    RawClient::Reply reply;
    if (!client.SendRead(id, kReadSize) || !client.Receive(reply)) return std::nullopt;
    EXPECT_EQ(reply.id, id);
    EXPECT_EQ(reply.status, ddk::STATUS_SUCCESS);
    EXPECT_EQ(reply.information, kReadSize);
    if (reply.status != ddk::STATUS_SUCCESS) return std::nullopt;
    return RecordOf(reply);
  }

  // The clock of the capture path, settable from tests.
  static inline std::atomic<int64_t> clock_{0};
  static int64_t TestClock() { return clock_.load(); }
  static void SetClock(int64_t system_time) {
    clock_.store(system_time);
    ddk::SetSystemTimeSource(TestClock);
  }

  platform::testing::TempRoot root_;
  ddk::SocketDeviceHost host_;
  ndis::SimulatedProtocol protocol_;
  std::unique_ptr<ndis::Runtime> runtime_;
  std::vector<std::shared_ptr<ndis::SimulatedAdapter>> adapters_;
  uint64_t baseline_blocks_ = 0;
};

}  // namespace flowsentry::pactrak::testing

#endif  // FLOWSENTRY_DRIVER_TESTING_CONTROL_DEVICE_FIXTURE_H_
