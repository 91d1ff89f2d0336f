// Opens of lower adapters: what an open answers, when indications reach the protocol, and how
// indicated packets find their way back to the adapter.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/runtime/ndis.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/probe_driver.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::ndis {
namespace {

using testing::ProbeAdapter;
using testing::ProbeDriver;

// A runtime with the probe loaded and one adapter, "sim0", whose opens answer `open_status`.
struct Machine {
  explicit Machine(NDIS_STATUS open_status) {
    adapter->open_status = open_status;
    EXPECT_EQ(probe.Load(runtime), ddk::STATUS_SUCCESS);
    EXPECT_TRUE(runtime.AddAdapter(adapter));
  }
  platform::testing::TempRoot root;  // the bind's installation step writes the registry
  Runtime runtime;
  ProbeDriver probe;
  std::shared_ptr<ProbeAdapter> adapter = std::make_shared<ProbeAdapter>("sim0");
};

TEST(AdapterOpenTest, AnswersByNameMediumAndTheAdaptersOwnAnswer) {
  struct Case {
    const char* what;
    const char* name;
    std::vector<NDIS_MEDIUM> media;
    NDIS_STATUS adapter_answer;
    NDIS_STATUS status;
    size_t open_count;
  };
  const Case cases[] = {
      {"unknown name",
       "sim1",
       {NdisMedium802_3},
       NDIS_STATUS_SUCCESS,
       NDIS_STATUS_ADAPTER_NOT_FOUND,
       0},
      {"no common medium",
       "sim0",
       {NdisMedium802_5, NdisMediumFddi},
       NDIS_STATUS_SUCCESS,
       NDIS_STATUS_UNSUPPORTED_MEDIA,
       0},
      {"adapter fails", "sim0", {NdisMedium802_3}, NDIS_STATUS_FAILURE, NDIS_STATUS_FAILURE, 0},
      {"opened",
       "sim0",
       {NdisMediumFddi, NdisMedium802_3},
       NDIS_STATUS_SUCCESS,
       NDIS_STATUS_SUCCESS,
       1},
      {"pending", "sim0", {NdisMedium802_3}, NDIS_STATUS_PENDING, NDIS_STATUS_PENDING, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(c.adapter_answer);
    EXPECT_EQ(m.probe.Open(c.name, c.media), c.status);
    EXPECT_EQ(m.runtime.OpenCount("sim0"), c.open_count);
    EXPECT_EQ(m.probe.binding != nullptr,
              c.status == NDIS_STATUS_SUCCESS || c.status == NDIS_STATUS_PENDING);
    if (c.status != NDIS_STATUS_PENDING) continue;
    m.adapter->edge()->CompleteOpen(NDIS_STATUS_SUCCESS);
    EXPECT_EQ(m.probe.open_completions, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(m.runtime.OpenCount("sim0"), 1u);
  }
}

TEST(AdapterOpenTest, IndicatesOnlyWhileOpenAndHoldsTheProtocolUntilClosed) {
  Machine m(NDIS_STATUS_PENDING);
  ASSERT_EQ(m.probe.Open("sim0", {NdisMedium802_3}), NDIS_STATUS_PENDING);
  AdapterEdge* edge = m.adapter->edge();
  uint8_t header[14] = {};
  ReceiveIndication indication;
  EXPECT_FALSE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
  edge->CompleteOpen(NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
  EXPECT_EQ(m.probe.receives, 1);

  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  NdisDeregisterProtocol(&status, m.probe.protocol_handle);
  EXPECT_EQ(status, NDIS_STATUS_FAILURE) << "deregistered while still bound";
  NdisCloseAdapter(&status, m.probe.binding);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
  EXPECT_FALSE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
  EXPECT_FALSE(edge->IndicateStatus(NDIS_STATUS_SUCCESS, nullptr, 0));
  EXPECT_EQ(m.runtime.OpenCount("sim0"), 0u);
  EXPECT_EQ(m.probe.receives, 1);
  NdisDeregisterProtocol(&status, m.probe.protocol_handle);
  EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
}

TEST(AdapterOpenTest, PacketsComeBackToTheAdapterWhenTheLastHolderReturnsThem) {
  struct Case {
    const char* what;
    bool protocol_keeps;
    NDIS_STATUS packet_status;
    bool adapter_waits;  // IndicateReceivePacket's answer
  };
  const Case cases[] = {
      {"not kept", false, NDIS_STATUS_SUCCESS, false},
      {"kept", true, NDIS_STATUS_SUCCESS, true},
      {"kept, but indicated with resources low", true, NDIS_STATUS_RESOURCES, false},
  };
  NDIS_STATUS status;
  NDIS_HANDLE pool;
  NdisAllocatePacketPoolEx(&status, &pool, 1, 0, 0);
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(NDIS_STATUS_SUCCESS);
    ASSERT_EQ(m.probe.Open("sim0", {NdisMedium802_3}), NDIS_STATUS_SUCCESS);
    m.probe.keep_packets = c.protocol_keeps;
    NDIS_PACKET* packet = nullptr;
    NdisAllocatePacket(&status, &packet, pool);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    NDIS_SET_PACKET_STATUS(packet, c.packet_status);
    bool delivered = false;
    EXPECT_EQ(m.adapter->edge()->IndicateReceivePacket(packet, &delivered), c.adapter_waits);
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(m.adapter->returned.empty());
    if (c.adapter_waits) {
      NdisReturnPackets(m.probe.kept.data(), 1);
      EXPECT_EQ(m.adapter->returned, std::vector<NDIS_PACKET*>{packet});
    }
    NdisFreePacket(packet);
  }
  NdisFreePacketPool(pool);
}

}  // namespace
}  // namespace flowsentry::ndis
