// Queries and sets through the virtual adapter, power handling and held media status.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "driver/testing/driver_fixture.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::NDIS_STATUS;
using ndis::SimulatedAdapter;

uint32_t Word(const std::vector<uint8_t>& buffer, size_t offset = 0) {
  uint32_t value = 0;
  std::memcpy(&value, buffer.data() + offset, sizeof(value));
  return value;
}

std::vector<uint8_t> PowerState(ndis::NDIS_DEVICE_POWER_STATE state) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &state, 4);
  return data;
}

class RequestTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    adapter_ = AddAdapter("sim0");
  }

  std::shared_ptr<ndis::UpperRequest> QueryAndWait(ndis::NDIS_OID oid, uint32_t length) {
    auto request = protocol_.Query(name_, oid, length);
    EXPECT_TRUE(protocol_.Wait(request));
    return request;
  }

  std::shared_ptr<ndis::UpperRequest> SetAndWait(ndis::NDIS_OID oid, std::vector<uint8_t> data) {
    auto request = protocol_.Set(name_, oid, std::move(data));
    EXPECT_TRUE(protocol_.Wait(request));
    return request;
  }

  const std::u16string name_ = VirtualName("sim0");
  std::shared_ptr<SimulatedAdapter> adapter_;
};

TEST_F(RequestTest, QueriesAreAnsweredByTheLowerAdapterOrByTheDriver) {
  struct Case {
    ndis::NDIS_OID oid;
    uint32_t length;
    NDIS_STATUS status;
    uint32_t written;
    uint32_t needed;
    bool reaches_lower;
  };
  const Case cases[] = {
      {ndis::OID_GEN_MEDIA_IN_USE, 4, ndis::NDIS_STATUS_SUCCESS, 4, 0, true},
      {ndis::OID_802_3_CURRENT_ADDRESS, 6, ndis::NDIS_STATUS_SUCCESS, 6, 0, true},
      {ndis::OID_802_3_CURRENT_ADDRESS, 2, ndis::NDIS_STATUS_INVALID_LENGTH, 0, 6, true},
      {ndis::OID_GEN_VENDOR_DESCRIPTION, 256, ndis::NDIS_STATUS_SUCCESS, 27, 0, true},
      {0x00FFFFFF, 4, ndis::NDIS_STATUS_NOT_SUPPORTED, 0, 0, true},
      {ndis::OID_PNP_QUERY_POWER, 4, ndis::NDIS_STATUS_SUCCESS, 0, 0, false},
      {ndis::OID_GEN_SUPPORTED_GUIDS, 64, ndis::NDIS_STATUS_NOT_SUPPORTED, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.oid);
    size_t before = adapter_->Queries().size();
    auto request = QueryAndWait(c.oid, c.length);
    EXPECT_EQ(request->status, c.status);
    EXPECT_EQ(request->bytes_done, c.written);
    EXPECT_EQ(request->bytes_needed, c.needed);
    EXPECT_EQ(adapter_->Queries().size() > before, c.reaches_lower);
  }
  auto description = QueryAndWait(ndis::OID_GEN_VENDOR_DESCRIPTION, 256);
  EXPECT_STREQ(reinterpret_cast<const char*>(description->buffer.data()),
               "Simulated Ethernet Adapter");
}

TEST_F(RequestTest, MacOptionsLoseTheNoLoopbackBit) {
  adapter_->SetOidAnswer(ndis::OID_GEN_MAC_OPTIONS, {0x0F, 0x00, 0x01, 0x80});
  auto request = QueryAndWait(ndis::OID_GEN_MAC_OPTIONS, 4);
  ASSERT_EQ(request->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Word(request->buffer), 0x80010007u);
}

TEST_F(RequestTest, PnpCapabilitiesAreTheDriversOwn) {
  auto full = QueryAndWait(ndis::OID_PNP_CAPABILITIES, 16);
  ASSERT_EQ(full->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(full->bytes_done, 16u);
  EXPECT_EQ(full->bytes_needed, 0u);
  EXPECT_EQ(Word(full->buffer, 4), 0u);
  EXPECT_EQ(Word(full->buffer, 8), 0u);
  EXPECT_EQ(Word(full->buffer, 12), 0u);

  // An adapter that answers a short buffer with what fits: the driver asks for 16 bytes.
  std::vector<uint8_t> answer(16, 0x04);
  adapter_->SetOidAnswer(ndis::OID_PNP_CAPABILITIES, answer, SimulatedAdapter::Fit::kTruncate);
  auto short_buffer = QueryAndWait(ndis::OID_PNP_CAPABILITIES, 8);
  EXPECT_EQ(short_buffer->status, ndis::NDIS_STATUS_RESOURCES);
  EXPECT_EQ(short_buffer->bytes_needed, 16u);
}

TEST_F(RequestTest, SetsAreForwardedWithTheirBytes) {
  auto request = SetAndWait(ndis::OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0});
  EXPECT_EQ(request->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(request->bytes_done, 4u);
  auto sets = adapter_->Sets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].oid, ndis::OID_GEN_CURRENT_PACKET_FILTER);
  EXPECT_EQ(sets[0].data, (std::vector<uint8_t>{0x0B, 0, 0, 0}));

  adapter_->SetOidStatus(ndis::OID_GEN_CURRENT_PACKET_FILTER, ndis::NDIS_STATUS_INVALID_DATA);
  EXPECT_EQ(SetAndWait(ndis::OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0})->status,
            ndis::NDIS_STATUS_INVALID_DATA);
}

TEST_F(RequestTest, RequestsThatPendAtTheLowerAdapterCompleteLater) {
  adapter_->SetRequestCompletion(SimulatedAdapter::Completion::kPending);
  auto query = protocol_.Query(name_, ndis::OID_GEN_MEDIA_IN_USE, 4);
  auto set = protocol_.Set(name_, ndis::OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0});
  ASSERT_TRUE(adapter_->WaitForPendingRequests(1));
  EXPECT_FALSE(protocol_.IsComplete(query));
  EXPECT_EQ(adapter_->CompletePendingRequests(), 1u);
  ASSERT_TRUE(protocol_.Wait(query));
  EXPECT_EQ(query->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(Word(query->buffer), static_cast<uint32_t>(ndis::NdisMedium802_3));
  // The set reached the adapter only after the query finished.
  ASSERT_TRUE(adapter_->WaitForPendingRequests(1));
  EXPECT_EQ(adapter_->CompletePendingRequests(), 1u);
  ASSERT_TRUE(protocol_.Wait(set));
  EXPECT_EQ(set->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(set->bytes_done, 4u);
}

TEST_F(RequestTest, SetPowerChecksItsBufferAndItsTransitions) {
  struct Step {
    std::vector<uint8_t> data;
    NDIS_STATUS status;
    uint32_t read;
    uint32_t needed;
  };
  const Step steps[] = {
      {{1, 0}, ndis::NDIS_STATUS_INVALID_LENGTH, 0, 4},
      {PowerState(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS, 4, 0},
      {PowerState(ndis::NdisDeviceStateD2), ndis::NDIS_STATUS_FAILURE, 0, 4},
      {PowerState(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_FAILURE, 0, 4},
      {PowerState(ndis::NdisDeviceStateD0), ndis::NDIS_STATUS_SUCCESS, 4, 0},
  };
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(index++);
    auto request = SetAndWait(ndis::OID_PNP_SET_POWER, step.data);
    EXPECT_EQ(request->status, step.status);
    EXPECT_EQ(request->bytes_done, step.read);
    EXPECT_EQ(request->bytes_needed, step.needed);
  }
  EXPECT_TRUE(adapter_->Sets().empty());  // handled by the driver alone
}

TEST_F(RequestTest, LowPowerVirtualAdapterRefusesRequestsSendsAndReceives) {
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD3));
  EXPECT_EQ(QueryAndWait(ndis::OID_GEN_MEDIA_IN_USE, 4)->status, ndis::NDIS_STATUS_FAILURE);
  EXPECT_EQ(protocol_.SendAndWait(name_, Frame(60)), ndis::NDIS_STATUS_FAILURE);
  EXPECT_TRUE(adapter_->SentFrames().empty());
  SimulatedAdapter::ReceiveOptions options;
  options.kind = SimulatedAdapter::ReceiveKind::kPacket;
  adapter_->Receive(Frame(60), options);
  options.kind = SimulatedAdapter::ReceiveKind::kLookahead;
  adapter_->Receive(Frame(60), options);
  EXPECT_TRUE(protocol_.ReceivedFrames().empty());
  EXPECT_EQ(protocol_.ReceiveCompletes(), 0u);

  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD0));
  EXPECT_EQ(protocol_.SendAndWait(name_, Frame(60)), ndis::NDIS_STATUS_SUCCESS);
}

TEST_F(RequestTest, LowerAdapterInLowPowerFailsSendsAndStandsBy) {
  EXPECT_EQ(adapter_->SetPower(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(protocol_.SendAndWait(name_, Frame(60)), ndis::NDIS_STATUS_FAILURE);
  // Standing by: requests fail rather than wait.
  EXPECT_EQ(QueryAndWait(ndis::OID_GEN_MEDIA_IN_USE, 4)->status, ndis::NDIS_STATUS_FAILURE);
  EXPECT_EQ(adapter_->SetPower(ndis::NdisDeviceStateD0), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(protocol_.SendAndWait(name_, Frame(60)), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(QueryAndWait(ndis::OID_GEN_MEDIA_IN_USE, 4)->status, ndis::NDIS_STATUS_SUCCESS);
}

TEST_F(RequestTest, PowerDownWaitsForOutstandingSends) {
  adapter_->SetSendCompletion(SimulatedAdapter::Completion::kPending);
  ASSERT_TRUE(protocol_.Send(name_, Frame(60)));
  ASSERT_TRUE(adapter_->WaitForPendingSends(1));
  std::thread completer([&] {
    // The power event cannot end before this completion.
    adapter_->CompletePendingSends();
  });
  EXPECT_EQ(adapter_->SetPower(ndis::NdisDeviceStateD3), ndis::NDIS_STATUS_SUCCESS);
  completer.join();
  EXPECT_EQ(protocol_.SendsOutstanding(), 0u);
  EXPECT_EQ(adapter_->PendingSends(), 0u);
}

// The state in which requests wait: the lower adapter asleep while the virtual adapter is
// awake and no longer standing by (its own power-up cleared the flag).
class QueuedRequestTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    adapter_->SetPower(ndis::NdisDeviceStateD3);
    SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD3));
    SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD0));
    queued_ = protocol_.Query(name_, ndis::OID_GEN_MEDIA_IN_USE, 4);
    EXPECT_FALSE(protocol_.IsComplete(queued_));
  }
  std::shared_ptr<ndis::UpperRequest> queued_;
};

TEST_F(QueuedRequestTest, IsSentWhenTheLowerAdapterWakes) {
  EXPECT_TRUE(adapter_->Queries().empty());
  adapter_->SetPower(ndis::NdisDeviceStateD0);
  ASSERT_TRUE(protocol_.Wait(queued_));
  EXPECT_EQ(queued_->status, ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter_->Queries(), std::vector<ndis::NDIS_OID>{ndis::OID_GEN_MEDIA_IN_USE});
}

TEST_F(QueuedRequestTest, IsSentWhenTheLowerAdapterWakesAndMayPendThere) {
  adapter_->SetRequestCompletion(SimulatedAdapter::Completion::kPending);
  adapter_->SetPower(ndis::NdisDeviceStateD0);
  ASSERT_TRUE(adapter_->WaitForPendingRequests(1));
  EXPECT_FALSE(protocol_.IsComplete(queued_));
  adapter_->CompletePendingRequests();
  ASSERT_TRUE(protocol_.Wait(queued_));
  EXPECT_EQ(queued_->status, ndis::NDIS_STATUS_SUCCESS);
}

TEST_F(QueuedRequestTest, FailsWhenTheLowerAdapterPowersDownAgain) {
  adapter_->SetPower(ndis::NdisDeviceStateD2);
  ASSERT_TRUE(protocol_.Wait(queued_));
  EXPECT_EQ(queued_->status, ndis::NDIS_STATUS_FAILURE);
  EXPECT_TRUE(adapter_->Queries().empty());
}

TEST_F(QueuedRequestTest, FailsWhenTheAdapterIsUnbound) {
  ASSERT_TRUE(runtime_->RemoveAdapter("sim0"));
  ASSERT_TRUE(protocol_.Wait(queued_));
  EXPECT_EQ(queued_->status, ndis::NDIS_STATUS_FAILURE);
  EXPECT_TRUE(adapter_->Queries().empty());
}

TEST_F(RequestTest, MediaStatusPassesUpOrIsHeldUntilPowerReturns) {
  adapter_->MediaDisconnect();
  auto statuses = protocol_.Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].status, ndis::NDIS_STATUS_MEDIA_DISCONNECT);
  EXPECT_EQ(protocol_.StatusCompletes(), 1u);

  // Other statuses pass with their buffer.
  adapter_->IndicateStatus(0x40010012, {9, 8, 7});
  statuses = protocol_.Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[1].buffer, (std::vector<uint8_t>{9, 8, 7}));

  protocol_.ClearObservations();
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD3));
  adapter_->MediaConnect();
  adapter_->IndicateStatus(0x40010012);
  EXPECT_TRUE(protocol_.Statuses().empty());
  EXPECT_EQ(protocol_.StatusCompletes(), 0u);

  // Back in D0 the held media status is replayed once.
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD0));
  statuses = protocol_.Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].status, ndis::NDIS_STATUS_MEDIA_CONNECT);
  EXPECT_EQ(protocol_.StatusCompletes(), 1u);

  // Nothing changed while asleep: nothing to replay.
  protocol_.ClearObservations();
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD3));
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD0));
  EXPECT_TRUE(protocol_.Statuses().empty());
}

TEST_F(RequestTest, PowerUpWithoutAChangeIndicatesNothing) {
  // D0 to D0 right after initialization must not invent a status.
  SetAndWait(ndis::OID_PNP_SET_POWER, PowerState(ndis::NdisDeviceStateD0));
  EXPECT_TRUE(protocol_.Statuses().empty());
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
