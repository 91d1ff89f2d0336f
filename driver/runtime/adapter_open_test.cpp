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
  // The adapter keeps its last edge, which holds the runtime's entry of the adapter: let go of
  // it, or neither is ever freed.
  ~Machine() { adapter->ForgetEdge(); }
  platform::testing::TempRoot root;  // the bind's installation step writes the registry
  ProbeDriver probe;                 // outlives the runtime, which unbinds it at the end
  Runtime runtime;
  std::shared_ptr<ProbeAdapter> adapter = std::make_shared<ProbeAdapter>("sim0");
};

TEST(AdapterOpenTest, AnswersByNameMediumAndTheAdapterAndIndicatesOnlyWhileOpen) {
  struct Case {
    const char* what;
    const char* name;
    bool medium_offered;
    NDIS_STATUS adapter_answer;
    NDIS_STATUS status;
  };
  const Case cases[] = {
      {"unknown name", "sim1", true, NDIS_STATUS_SUCCESS, NDIS_STATUS_ADAPTER_NOT_FOUND},
      {"no common medium", "sim0", false, NDIS_STATUS_SUCCESS, NDIS_STATUS_UNSUPPORTED_MEDIA},
      {"adapter fails", "sim0", true, NDIS_STATUS_FAILURE, NDIS_STATUS_FAILURE},
      {"opened", "sim0", true, NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS},
      {"pending", "sim0", true, NDIS_STATUS_PENDING, NDIS_STATUS_PENDING},
  };
  uint8_t header[14] = {};
  ReceiveIndication indication;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m(c.adapter_answer);
    const NDIS_MEDIUM last = c.medium_offered ? NdisMedium802_3 : NdisMedium802_5;
    EXPECT_EQ(m.probe.Open(c.name, {NdisMediumFddi, last}), c.status);
    EXPECT_EQ(m.runtime.OpenCount("sim0"), c.status == NDIS_STATUS_SUCCESS ? 1u : 0u);
    EXPECT_EQ(m.probe.binding != nullptr,
              c.status == NDIS_STATUS_SUCCESS || c.status == NDIS_STATUS_PENDING);
    if (c.status != NDIS_STATUS_PENDING) continue;
    AdapterEdge* edge = m.adapter->edge();
    EXPECT_FALSE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
    edge->CompleteOpen(NDIS_STATUS_SUCCESS);
    EXPECT_EQ(m.probe.open_completions, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
    EXPECT_EQ(m.runtime.OpenCount("sim0"), 1u);
    EXPECT_TRUE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NdisCloseAdapter(&status, m.probe.binding);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(edge->IndicateReceive(&indication, header, 14, nullptr, 0, 14));
    EXPECT_EQ(m.runtime.OpenCount("sim0"), 0u);
    EXPECT_EQ(m.probe.receives, 1);
  }
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
