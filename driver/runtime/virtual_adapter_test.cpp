// Virtual adapters: their initialization, the order of their requests, and their halt.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/runtime/ndis.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/probe_driver.h"

namespace flowsentry::ndis {
namespace {

using testing::ProbeDriver;
using testing::ProbeProtocol;

// A runtime with the probe loaded and a protocol above its virtual adapters.
struct Machine {
  Machine() {
    runtime.AttachUpperProtocol(&upper);
    EXPECT_EQ(probe.Load(runtime), ddk::STATUS_SUCCESS);
  }
  ~Machine() { runtime.DetachUpperProtocol(&upper); }
  NDIS_STATUS Initialize() {
    return NdisIMInitializeDeviceInstanceEx(probe.miniport_handle, name.ptr(), &probe);
  }
  ProbeProtocol upper;
  ProbeDriver probe;
  Runtime runtime;
  OwnedNdisString name{u"\\Device\\probe_sim0"};
};

TEST(VirtualAdapterTest, RunsOnceInitializedOnAMediumOffered) {
  struct Case {
    const char* what;
    bool defer;
    uint32_t select_medium;
    NDIS_STATUS initialize_status;
    NDIS_STATUS status;
    bool running;
  };
  const Case cases[] = {
      {"initialized", false, 1, NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS, true},
      {"medium not offered", false, 2, NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE, false},
      {"initialize fails", false, 0, NDIS_STATUS_ADAPTER_NOT_READY, NDIS_STATUS_ADAPTER_NOT_READY,
       false},
      {"deferred", true, 1, NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Machine m;
    m.runtime.SetOfferedMiniportMedia({NdisMedium802_3, NdisMediumFddi});
    m.runtime.SetDeferDeviceInitialization(c.defer);
    m.probe.select_medium = c.select_medium;
    m.probe.initialize_status = c.initialize_status;
    EXPECT_EQ(m.Initialize(), c.status);
    EXPECT_EQ(m.runtime.VirtualAdapters().size(), c.running ? 1u : 0u);
    EXPECT_EQ(m.upper.bindings.size(), c.running ? 1u : 0u);
    EXPECT_EQ(m.runtime.PendingDeviceInstances(), c.defer ? 1u : 0u);
    if (c.defer) {
      EXPECT_EQ(m.runtime.StartPendingDeviceInstances(), 1u);
    }
    if (m.upper.bindings.empty()) continue;
    EXPECT_EQ(m.upper.bindings[0]->Name(), m.name.text());
    EXPECT_EQ(m.upper.bindings[0]->Medium(), NdisMediumFddi);
  }
}

TEST(VirtualAdapterTest, RequestsReachTheMiniportOneAtATimeAndCloseWithIt) {
  Machine m;
  ASSERT_EQ(m.Initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(m.upper.bindings.size(), 1u);
  VirtualAdapterBinding& binding = *m.upper.bindings[0];
  auto request = [](NDIS_OID oid) {
    auto r = std::make_shared<UpperRequest>();
    r->oid = oid;
    return r;
  };
  m.probe.pend_requests = true;
  binding.Request(request(1));
  binding.Request(request(2));
  EXPECT_EQ(m.probe.oids, std::vector<NDIS_OID>{1}) << "the second overtook the first";
  NdisMQueryInformationComplete(m.probe.adapter_handle, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(m.probe.oids, (std::vector<NDIS_OID>{1, 2}));
  m.probe.pend_requests = false;
  NdisMQueryInformationComplete(m.probe.adapter_handle, NDIS_STATUS_FAILURE);
  binding.Request(request(3));
  using Done = ProbeProtocol::Completion;
  EXPECT_EQ(m.upper.request_completions,
            (std::vector<Done>{
                {1, NDIS_STATUS_SUCCESS}, {2, NDIS_STATUS_FAILURE}, {3, NDIS_STATUS_SUCCESS}}));

  NDIS_STATUS status;
  NDIS_HANDLE pool;
  NdisAllocatePacketPoolEx(&status, &pool, 1, 0, 0);
  NDIS_PACKET* packet = nullptr;
  NdisAllocatePacket(&status, &packet, pool);
  ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
  binding.SendPackets(&packet, 1);
  ASSERT_EQ(NdisIMDeInitializeDeviceInstance(m.probe.adapter_handle), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(m.probe.halts, 1);
  EXPECT_EQ(m.upper.unbinds, 1);
  EXPECT_TRUE(m.runtime.VirtualAdapters().empty());
  // The protocol may still hold the binding: what it asks now is turned away.
  binding.SendPackets(&packet, 1);
  binding.Request(request(4));
  EXPECT_EQ(m.upper.send_completions,
            (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_CLOSING}));
  EXPECT_EQ(m.upper.request_completions.back(), (Done{4, NDIS_STATUS_CLOSING}));
  NdisFreePacket(packet);
  NdisFreePacketPool(pool);
}

}  // namespace
}  // namespace flowsentry::ndis
