// Bind and unbind paths, the control device's life, and what is left afterwards.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "driver/testing/driver_fixture.h"
#include "platform/registry.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;

std::mutex debug_mu;
std::vector<std::string> debug_lines;
void CollectDebug(std::string_view line) {
  std::lock_guard lock(debug_mu);
  debug_lines.emplace_back(line);
}

TEST_F(DriverTest, ControlDeviceLivesWhileAVirtualAdapterDoes) {
  EXPECT_FALSE(host_.exists());
  AddAdapter("a");
  EXPECT_TRUE(host_.exists());
  EXPECT_EQ(host_.flags() & ddk::DO_DIRECT_IO, ddk::DO_DIRECT_IO);
  EXPECT_EQ(host_.names(), std::vector<std::string>{"\\Device\\pactrak"});
  EXPECT_EQ(host_.links(), std::vector<std::string>{"\\DosDevices\\pactrak"});
  AddAdapter("b");
  EXPECT_EQ(host_.created(), 1);
  ASSERT_TRUE(runtime_->RemoveAdapter("a"));
  EXPECT_TRUE(host_.exists());
  ASSERT_TRUE(runtime_->RemoveAdapter("b"));
  EXPECT_FALSE(host_.exists());
  EXPECT_EQ(host_.deleted(), 1);
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u);
  AddAdapter("c");
  EXPECT_TRUE(host_.exists());
  EXPECT_EQ(host_.created(), 2);
}

TEST_F(DriverTest, RefusedControlDeviceIsLoggedAndTheAdapterStillWorks) {
  ddk::SetDebugSink(CollectDebug);
  host_.Refuse(true);
  AddAdapter("a");
  ddk::SetDebugSink(nullptr);
  EXPECT_FALSE(host_.exists());
  {
    std::lock_guard lock(debug_mu);
    ASSERT_EQ(debug_lines.size(), 1u);
    EXPECT_EQ(debug_lines[0], "pactrak: control device registration failed, status 0xC000009A");
    debug_lines.clear();
  }
  EXPECT_EQ(protocol_.SendAndWait(VirtualName("a"), Frame(60)), ndis::NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(runtime_->RemoveAdapter("a"));
  EXPECT_EQ(host_.deleted(), 0);  // nothing registered, nothing removed
  host_.Refuse(false);
  AddAdapter("b");
  EXPECT_TRUE(host_.exists());
}

TEST_F(DriverTest, InstallationWritesUpperBindingsOnceAndKeepsAnOperatorsValue) {
  const std::string key = ndis::Runtime::ProtocolConfigurationKey(kProtocolName, "eth7");
  ASSERT_EQ(platform::RegistrySetString(key, "UpperBindings", "\\Device\\{chosen}"),
            platform::ERROR_SUCCESS);
  AddAdapter("eth7");
  EXPECT_NE(protocol_.Binding(u"\\Device\\{chosen}"), nullptr);
  AddAdapter("eth8");
  std::string written;
  ASSERT_EQ(
      platform::RegistryGetString(ndis::Runtime::ProtocolConfigurationKey(kProtocolName, "eth8"),
                                  "UpperBindings", written),
      platform::ERROR_SUCCESS);
  EXPECT_EQ(written, "\\Device\\pactrak_eth8");
}

TEST_F(DriverTest, OpensAndClosesThatPendAreWaitedFor) {
  auto adapter = MakeAdapter("slow", ndis::NdisMedium802_3);
  adapter->SetOpenCompletion(SimulatedAdapter::Completion::kPending);
  adapter->SetCloseCompletion(SimulatedAdapter::Completion::kPending);
  std::thread completer([&] {
    ASSERT_TRUE(adapter->WaitForPendingOpens(1));
    adapter->CompletePendingOpens();
  });
  ASSERT_TRUE(runtime_->AddAdapter(adapter));
  completer.join();
  EXPECT_NE(protocol_.Binding(VirtualName("slow")), nullptr);

  std::thread closer([&] {
    ASSERT_TRUE(adapter->WaitForPendingCloses(1));
    adapter->CompletePendingCloses();
  });
  ASSERT_TRUE(runtime_->RemoveAdapter("slow"));
  closer.join();
  EXPECT_EQ(adapter->OpenEdges(), 0u);
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u);
}

TEST_F(DriverTest, FailedBindsLeaveNothingBehind) {
  // The open fails after pending.
  auto refusing = MakeAdapter("refusing", ndis::NdisMedium802_3);
  refusing->SetOpenCompletion(SimulatedAdapter::Completion::kPending,
                              ndis::NDIS_STATUS_ADAPTER_NOT_READY);
  std::thread completer([&] {
    ASSERT_TRUE(refusing->WaitForPendingOpens(1));
    refusing->CompletePendingOpens();
  });
  ASSERT_TRUE(runtime_->AddAdapter(refusing));
  completer.join();
  EXPECT_EQ(runtime_->OpenCount("refusing"), 0u);

  // No memory for the binding.
  ndis::FailNextAllocationsForTesting(1);
  AddAdapter("starved");
  ndis::FailNextAllocationsForTesting(0);
  EXPECT_EQ(runtime_->OpenCount("starved"), 0u);

  // The virtual adapter cannot report its medium.
  runtime_->SetOfferedMiniportMedia({ndis::NdisMedium802_3});
  auto ring = AddAdapter("ring", ndis::NdisMedium802_5);
  EXPECT_EQ(runtime_->OpenCount("ring"), 0u);
  EXPECT_EQ(ring->OpenEdges(), 0u);

  EXPECT_EQ(BindingCount(), 0u);
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u);
  EXPECT_FALSE(host_.exists());
  EXPECT_EQ(ndis::PacketPoolsInUse().pools, 1 + 3);  // the protocol's and the adapters'

  // A reconfigure binds what can be bound now.
  runtime_->SetOfferedMiniportMedia({ndis::NdisMedium802_3, ndis::NdisMedium802_5});
  refusing->SetOpenCompletion(SimulatedAdapter::Completion::kImmediate);
  EXPECT_EQ(runtime_->Reconfigure(), ndis::NDIS_STATUS_SUCCESS);
  EXPECT_EQ(BindingCount(), 3u);
}

TEST_F(DriverTest, UnbindCancelsAnInitializationThatHasNotBegun) {
  runtime_->SetDeferDeviceInitialization(true);
  auto adapter = AddAdapter("later");
  EXPECT_EQ(runtime_->PendingDeviceInstances(), 1u);
  EXPECT_EQ(BindingCount(), 0u);
  ASSERT_TRUE(runtime_->RemoveAdapter("later"));
  EXPECT_EQ(runtime_->PendingDeviceInstances(), 0u);
  EXPECT_EQ(adapter->OpenEdges(), 0u);
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u);
}

TEST_F(DriverTest, DeferredInitializationCompletesTheBinding) {
  runtime_->SetDeferDeviceInitialization(true);
  AddAdapter("later");
  EXPECT_EQ(protocol_.Binding(VirtualName("later")), nullptr);
  EXPECT_EQ(runtime_->StartPendingDeviceInstances(), 1u);
  EXPECT_NE(protocol_.Binding(VirtualName("later")), nullptr);
  EXPECT_TRUE(host_.exists());
  EXPECT_EQ(protocol_.SendAndWait(VirtualName("later"), Frame(60)), ndis::NDIS_STATUS_SUCCESS);
}

TEST_F(DriverTest, UnloadUnbindsEverything) {
  auto a = AddAdapter("a");
  auto b = AddAdapter("b", ndis::NdisMediumFddi);
  runtime_->UnloadDriver();
  EXPECT_EQ(a->OpenEdges(), 0u);
  EXPECT_EQ(b->OpenEdges(), 0u);
  EXPECT_TRUE(runtime_->VirtualAdapters().empty());
  EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u);
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
