// pactrak between simulated adapters and the simulated protocol: binding by medium, frames in
// both directions and by both receive paths, requests, power, status and the control device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/pactrak.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/simulated_adapter.h"
#include "driver/runtime/testing/simulated_protocol.h"
#include "platform/registry.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::pactrak {
namespace {

using ndis::NDIS_MEDIUM;
using ndis::Runtime;
using ndis::SimulatedAdapter;
using ndis::SimulatedProtocol;

constexpr uint32_t kTag = 0x496D5061;

// Records what the driver registers as its control device.
class RecordingDeviceHost : public ddk::DeviceHost {
 public:
  ddk::NTSTATUS CreateDevice(std::string_view kernel_name, std::string_view symbolic_link,
                             const ddk::DispatchTable& /*table*/,
                             ddk::DeviceObject*& device) override {
    ++created;
    kernel = std::string(kernel_name);
    link = std::string(symbolic_link);
    objects.push_back(std::make_unique<ddk::DeviceObject>());
    device = objects.back().get();
    live = true;
    return ddk::STATUS_SUCCESS;
  }
  void DeleteDevice(ddk::DeviceObject* /*device*/) override {
    ++deleted;
    live = false;
  }
  int created = 0;
  int deleted = 0;
  bool live = false;
  std::string kernel;
  std::string link;
  std::vector<std::unique_ptr<ddk::DeviceObject>> objects;
};

std::vector<uint8_t> Frame(size_t size, uint8_t seed) {
  std::vector<uint8_t> frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(seed + i * 7);
  return frame;
}

std::u16string Upper(std::string_view adapter) {
  return ndis::WidenName(Runtime::DefaultUpperBindings("pactrak", adapter));
}

class PassThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = std::make_unique<Runtime>();
    runtime_->SetDeviceHost(&host_);
    runtime_->AttachUpperProtocol(&upper_);
    ASSERT_EQ(runtime_->LoadDriver("pactrak", DriverEntry), ddk::STATUS_SUCCESS);
  }
  void TearDown() override {
    runtime_->DetachUpperProtocol(&upper_);
    runtime_->UnloadDriver();
    runtime_.reset();
    EXPECT_EQ(ndis::MemoryInUse(kTag).blocks, 0u);
  }

  std::shared_ptr<SimulatedAdapter> Add(std::string name, NDIS_MEDIUM medium) {
    SimulatedAdapter::Config config;
    config.name = std::move(name);
    config.medium = medium;
    auto adapter = std::make_shared<SimulatedAdapter>(config);
    EXPECT_TRUE(runtime_->AddAdapter(adapter));
    return adapter;
  }

  platform::testing::TempRoot root_;
  RecordingDeviceHost host_;
  SimulatedProtocol upper_;
  std::unique_ptr<Runtime> runtime_;
};

TEST_F(PassThroughTest, BindsEachOfferedMediumAndRefusesOthers) {
  struct Case {
    const char* name;
    NDIS_MEDIUM medium;
    bool bound;
    NDIS_MEDIUM reported;
  };
  const Case cases[] = {
      {"eth0", ndis::NdisMedium802_3, true, ndis::NdisMedium802_3},
      {"tr0", ndis::NdisMedium802_5, true, ndis::NdisMedium802_5},
      {"fddi0", ndis::NdisMediumFddi, true, ndis::NdisMediumFddi},
      {"wan0", ndis::NdisMediumWan, true, ndis::NdisMedium802_3},
      {"other0", static_cast<NDIS_MEDIUM>(9), false, ndis::NdisMedium802_3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto adapter = Add(c.name, c.medium);
    EXPECT_EQ(runtime_->OpenCount(c.name), c.bound ? 1u : 0u);
    if (!c.bound) continue;
    ASSERT_TRUE(upper_.WaitForAdapter(Upper(c.name)));
    auto binding = upper_.Binding(Upper(c.name));
    ASSERT_NE(binding, nullptr);
    EXPECT_EQ(binding->Medium(), c.reported);
    EXPECT_EQ(binding->AttributeFlags(), 0x73u);
  }
  EXPECT_EQ(host_.created, 1);
  EXPECT_EQ(host_.kernel, "\\Device\\pactrak");
  EXPECT_EQ(host_.link, "\\DosDevices\\pactrak");
}

TEST_F(PassThroughTest, FramesPassUnchangedBothWaysAndBothReceivePaths) {
  struct Case {
    const char* name;
    NDIS_MEDIUM medium;
    NDIS_MEDIUM indicated_as;
  };
  const Case cases[] = {
      {"eth0", ndis::NdisMedium802_3, ndis::NdisMedium802_3},
      {"wan0", ndis::NdisMediumWan, ndis::NdisMedium802_3},
      {"tr0", ndis::NdisMedium802_5, ndis::NdisMedium802_5},
      {"fddi0", ndis::NdisMediumFddi, ndis::NdisMediumFddi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    upper_.ClearObservations();
    auto adapter = Add(c.name, c.medium);
    ASSERT_TRUE(upper_.WaitForAdapter(Upper(c.name)));

    // Down: several buffers, flags and out-of-band data survive.
    SimulatedProtocol::SendOptions send;
    send.chunks = {14, 20, 100};
    send.flags = 0x5;
    send.media_specific = {1, 2, 3, 4};
    std::vector<uint8_t> out = Frame(134, 3);
    ASSERT_EQ(upper_.SendAndWait(Upper(c.name), out, send), ndis::NDIS_STATUS_SUCCESS);
    auto sent = adapter->Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].frame, out);
    EXPECT_EQ(sent[0].flags, 0x5u);
    EXPECT_EQ(sent[0].media_specific, send.media_specific);

    // Up: every indication kind, the look-ahead short or whole.
    const SimulatedAdapter::ReceiveKind kinds[] = {
        SimulatedAdapter::ReceiveKind::kLookahead,
        SimulatedAdapter::ReceiveKind::kLookaheadWithPacket,
        SimulatedAdapter::ReceiveKind::kPacket,
        SimulatedAdapter::ReceiveKind::kPacketResources,
    };
    std::vector<std::vector<uint8_t>> expected;
    for (size_t k = 0; k < std::size(kinds); ++k) {
      SimulatedAdapter::ReceiveOptions options;
      options.kind = kinds[k];
      options.chunks = {30, 200};
      if (k == 0) options.lookahead_limit = 40;  // the rest comes by transfer-data
      expected.push_back(
          Frame(230, static_cast<uint8_t>(k * 11 + (c.medium == ndis::NdisMediumFddi ? 0x40 : 0))));
      adapter->Receive(expected.back(), options);
    }
    ASSERT_TRUE(upper_.WaitForReceived(expected.size()));
    auto received = upper_.ReceivedFrames();
    ASSERT_EQ(received.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(received[k].frame, expected[k]);
      if (received[k].path == SimulatedProtocol::Path::kLookahead) {
        EXPECT_EQ(received[k].indicated_as, c.indicated_as);
      }
    }
    EXPECT_EQ(received[0].path, SimulatedProtocol::Path::kLookahead);
    EXPECT_TRUE(received[0].transferred);
    EXPECT_EQ(received[2].path, SimulatedProtocol::Path::kPacket);
    EXPECT_GE(upper_.ReceiveCompletes(), 1u);
    EXPECT_EQ(adapter->HeldPackets(), 0u);
  }
}

std::vector<uint8_t> U32(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

uint32_t AsU32(const std::vector<uint8_t>& bytes) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}

TEST_F(PassThroughTest, RequestsAnsweredOrAdjustedByTheDriver) {
  auto adapter = Add("eth0", ndis::NdisMedium802_3);
  ASSERT_TRUE(upper_.WaitForAdapter(Upper("eth0")));
  std::u16string name = Upper("eth0");

  auto options = upper_.Query(name, ndis::OID_GEN_MAC_OPTIONS, 4);
  ASSERT_TRUE(upper_.Wait(options));
  EXPECT_EQ(options->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(AsU32(options->buffer),
            ndis::NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | ndis::NDIS_MAC_OPTION_TRANSFERS_NOT_PEND);

  adapter->SetOidAnswer(ndis::OID_PNP_CAPABILITIES, std::vector<uint8_t>(16, 0x33));
  auto full = upper_.Query(name, ndis::OID_PNP_CAPABILITIES, 16);
  ASSERT_TRUE(upper_.Wait(full));
  EXPECT_EQ(full->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(full->bytes_done, 16u);
  std::vector<uint8_t> tail(full->buffer.begin() + 4, full->buffer.end());
  EXPECT_EQ(tail, std::vector<uint8_t>(12, 0));

  auto query_power = upper_.Query(name, ndis::OID_PNP_QUERY_POWER, 4);
  auto guids = upper_.Query(name, ndis::OID_GEN_SUPPORTED_GUIDS, 64);
  ASSERT_TRUE(upper_.Wait(query_power));
  ASSERT_TRUE(upper_.Wait(guids));
  EXPECT_EQ(query_power->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(guids->status, ndis::NDIS_STATUS_NOT_SUPPORTED);
  for (ndis::NDIS_OID oid : adapter->Queries()) {
    EXPECT_NE(oid, ndis::OID_PNP_QUERY_POWER);
    EXPECT_NE(oid, ndis::OID_GEN_SUPPORTED_GUIDS);
  }

  auto set = upper_.Set(name, ndis::OID_GEN_CURRENT_PACKET_FILTER, U32(0xB));
  ASSERT_TRUE(upper_.Wait(set));
  EXPECT_EQ(set->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(set->bytes_done, 4u);
  auto sets = adapter->Sets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].data, U32(0xB));
}

TEST_F(PassThroughTest, ShortCapabilitiesBufferAsksForSixteenBytes) {
  auto adapter = Add("eth0", ndis::NdisMedium802_3);
  ASSERT_TRUE(upper_.WaitForAdapter(Upper("eth0")));
  adapter->SetOidAnswer(ndis::OID_PNP_CAPABILITIES, std::vector<uint8_t>(8, 0),
                        SimulatedAdapter::Fit::kTruncate);
  auto query = upper_.Query(Upper("eth0"), ndis::OID_PNP_CAPABILITIES, 8);
  ASSERT_TRUE(upper_.Wait(query));
  EXPECT_EQ(query->status, ndis::NDIS_STATUS_RESOURCES);
  EXPECT_EQ(query->bytes_needed, 16u);
}

TEST_F(PassThroughTest, SetPowerOnTheVirtualAdapter) {
  auto adapter = Add("eth0", ndis::NdisMedium802_3);
  std::u16string name = Upper("eth0");
  ASSERT_TRUE(upper_.WaitForAdapter(name));

  auto short_buffer = upper_.Set(name, ndis::OID_PNP_SET_POWER, {1, 0});
  ASSERT_TRUE(upper_.Wait(short_buffer));
  EXPECT_EQ(short_buffer->status, ndis::NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(short_buffer->bytes_needed, 4u);

  auto down = upper_.Set(name, ndis::OID_PNP_SET_POWER, U32(ndis::NdisDeviceStateD3));
  ASSERT_TRUE(upper_.Wait(down));
  EXPECT_EQ(down->status, ndis::NDIS_STATUS_SUCCESS);

  auto again = upper_.Set(name, ndis::OID_PNP_SET_POWER, U32(ndis::NdisDeviceStateD2));
  ASSERT_TRUE(upper_.Wait(again));
  EXPECT_EQ(again->status, ndis::NDIS_STATUS_FAILURE);

  // Asleep: sends and requests fail, a media change is held back and replayed on wake-up.
  EXPECT_EQ(upper_.SendAndWait(name, Frame(60, 1)), ndis::NDIS_STATUS_FAILURE);
  auto refused = upper_.Query(name, ndis::OID_GEN_MAC_OPTIONS, 4);
  ASSERT_TRUE(upper_.Wait(refused));
  EXPECT_EQ(refused->status, ndis::NDIS_STATUS_FAILURE);
  adapter->MediaDisconnect();
  EXPECT_TRUE(upper_.Statuses().empty());

  auto up = upper_.Set(name, ndis::OID_PNP_SET_POWER, U32(ndis::NdisDeviceStateD0));
  ASSERT_TRUE(upper_.Wait(up));
  EXPECT_EQ(up->status, ndis::NDIS_STATUS_SUCCESS);
  auto statuses = upper_.Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].status, ndis::NDIS_STATUS_MEDIA_DISCONNECT);

  EXPECT_EQ(upper_.SendAndWait(name, Frame(60, 2)), ndis::NDIS_STATUS_SUCCESS);
}

TEST_F(PassThroughTest, RequestQueuedWhileLowerAdapterSleeps) {
  enum class Then { kWake, kUnbind, kSleepAgain };
  for (Then then : {Then::kWake, Then::kUnbind, Then::kSleepAgain}) {
    SCOPED_TRACE(static_cast<int>(then));
    std::string adapter_name = "eth" + std::to_string(static_cast<int>(then));
    auto adapter = Add(adapter_name, ndis::NdisMedium802_3);
    std::u16string name = Upper(adapter_name);
    ASSERT_TRUE(upper_.WaitForAdapter(name));

    // The lower adapter sleeps; the virtual adapter goes down and comes back while it does,
    // which ends standing by: a request now waits for the lower adapter.
    ASSERT_EQ(adapter->SetPower(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS);
    for (uint32_t state : {ndis::NdisDeviceStateD3, ndis::NdisDeviceStateD0}) {
      auto power = upper_.Set(name, ndis::OID_PNP_SET_POWER, U32(state));
      ASSERT_TRUE(upper_.Wait(power));
      ASSERT_EQ(power->status, ndis::NDIS_STATUS_SUCCESS);
    }
    auto query = upper_.Query(name, ndis::OID_GEN_MAC_OPTIONS, 4);
    EXPECT_FALSE(upper_.IsComplete(query));
    EXPECT_TRUE(adapter->Queries().empty());
    if (then == Then::kWake) {
      ASSERT_EQ(adapter->SetPower(ndis::NdisDeviceStateD0), ndis::NDIS_STATUS_SUCCESS);
      ASSERT_TRUE(upper_.Wait(query));
      EXPECT_EQ(query->status, ndis::NDIS_STATUS_SUCCESS);
      EXPECT_EQ(adapter->Queries().size(), 1u);
    } else if (then == Then::kUnbind) {
      ASSERT_TRUE(runtime_->RemoveAdapter(adapter_name));
      ASSERT_TRUE(upper_.Wait(query));
      EXPECT_EQ(query->status, ndis::NDIS_STATUS_FAILURE);
    } else {
      ASSERT_EQ(adapter->SetPower(ndis::NdisDeviceStateD2), ndis::NDIS_STATUS_SUCCESS);
      ASSERT_TRUE(upper_.Wait(query));
      EXPECT_EQ(query->status, ndis::NDIS_STATUS_FAILURE);
    }
  }
}

TEST_F(PassThroughTest, ControlDeviceFollowsTheAdapterCount) {
  auto first = Add("eth0", ndis::NdisMedium802_3);
  auto second = Add("eth1", ndis::NdisMedium802_3);
  EXPECT_EQ(host_.created, 1);
  ASSERT_TRUE(runtime_->RemoveAdapter("eth0"));
  EXPECT_EQ(host_.deleted, 0);
  ASSERT_TRUE(runtime_->RemoveAdapter("eth1"));
  EXPECT_EQ(host_.deleted, 1);
  EXPECT_FALSE(host_.live);
  EXPECT_EQ(ndis::MemoryInUse(kTag).blocks, 0u);

  auto third = Add("eth2", ndis::NdisMedium802_3);
  EXPECT_EQ(host_.created, 2);
  EXPECT_TRUE(host_.live);
  EXPECT_EQ(host_.objects.back()->Flags & ddk::DO_DIRECT_IO, ddk::DO_DIRECT_IO);
}

TEST_F(PassThroughTest, UpperBindingsComesFromTheBindingConfiguration) {
  std::string key = Runtime::ProtocolConfigurationKey("pactrak", "eth9");
  ASSERT_EQ(platform::RegistrySetString(key, "UpperBindings", "\\Device\\pactrak_custom"),
            platform::ERROR_SUCCESS);
  Add("eth9", ndis::NdisMedium802_3);
  EXPECT_TRUE(upper_.WaitForAdapter(u"\\Device\\pactrak_custom"));
}

}  // namespace
}  // namespace flowsentry::pactrak

namespace flowsentry::pactrak {
namespace {

// An FDDI header cut short before the end of its destination address is not passed up (the
// protocols above would read the address past the header); whole ones carry 6- or 2-byte
// addresses by the frame-control byte.
TEST_F(PassThroughTest, FddiAddressLengthFollowsFrameControlAndShortHeadersAreDropped) {
  struct Case {
    std::vector<uint8_t> frame;
    bool passed;
    size_t address_length;
  };
  std::vector<uint8_t> long_address = Frame(60, 0);
  long_address[0] = 0x50;
  std::vector<uint8_t> short_address = Frame(60, 0);
  short_address[0] = 0x10;
  const Case cases[] = {
      {long_address, true, 6},
      {short_address, true, 2},
      {{0x50, 1, 2, 3}, false, 0},  // 6-byte address wanted, 3 bytes there
      {{0x10, 1, 2}, true, 2},
  };
  auto adapter = Add("fddi0", ndis::NdisMediumFddi);
  ASSERT_TRUE(upper_.WaitForAdapter(Upper("fddi0")));
  SimulatedAdapter::ReceiveOptions options;
  options.kind = SimulatedAdapter::ReceiveKind::kLookahead;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame.size());
    upper_.ClearObservations();
    adapter->Receive(c.frame, options);
    auto received = upper_.ReceivedFrames();
    ASSERT_EQ(received.size(), c.passed ? 1u : 0u);
    if (!c.passed) continue;
    EXPECT_EQ(received[0].frame, c.frame);
    ASSERT_EQ(received[0].address.size(), c.address_length);
    EXPECT_TRUE(
        std::equal(received[0].address.begin(), received[0].address.end(), c.frame.begin() + 1));
  }
}

}  // namespace
}  // namespace flowsentry::pactrak
