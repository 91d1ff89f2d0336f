// Bind and unbind racing with sends, receives and requests on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/testing/driver_fixture.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;

constexpr int kRounds = 60;

TEST_F(DriverTest, BindAndUnbindRaceWithSendsRequestsAndReceives) {
  auto adapter = MakeAdapter("race", ndis::NdisMedium802_3);
  auto steady = AddAdapter("steady");
  const std::u16string name = VirtualName("race");
  std::atomic<bool> done{false};

  std::thread sender([&] {
    uint8_t seed = 0;
    while (!done.load()) {
      protocol_.Send(name, Frame(60 + seed % 40, seed));
      protocol_.Send(VirtualName("steady"), Frame(64, seed));
      ++seed;
    }
  });
  std::thread requester([&] {
    while (!done.load()) {
      auto request = protocol_.Query(name, ndis::OID_GEN_MEDIA_IN_USE, 4);
      ASSERT_TRUE(protocol_.Wait(request));
      EXPECT_TRUE(request->status == ndis::NDIS_STATUS_SUCCESS ||
                  request->status == ndis::NDIS_STATUS_CLOSING ||
                  request->status == ndis::NDIS_STATUS_FAILURE ||
                  request->status == ndis::NDIS_STATUS_ADAPTER_NOT_FOUND)
          << std::hex << request->status;
    }
  });
  std::thread receiver([&] {
    SimulatedAdapter::ReceiveOptions options;
    int i = 0;
    while (!done.load()) {
      options.kind = (i++ % 2 == 0) ? SimulatedAdapter::ReceiveKind::kPacket
                                    : SimulatedAdapter::ReceiveKind::kLookahead;
      adapter->Receive(Frame(80), options);
      steady->Receive(Frame(80), options);
    }
  });

  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(runtime_->AddAdapter(adapter));
    ASSERT_TRUE(runtime_->RemoveAdapter("race"));
  }
  done.store(true);
  sender.join();
  requester.join();
  receiver.join();

  ASSERT_TRUE(protocol_.WaitForSendsCompleted());
  EXPECT_EQ(adapter->HeldPackets(), 0u);
  EXPECT_EQ(adapter->OpenEdges(), 0u);
  EXPECT_EQ(BindingCount(), 1u);
  EXPECT_TRUE(host_.exists());
}

TEST_F(DriverTest, PendingSendsCompletedElsewhereWhileAdaptersComeAndGo) {
  auto adapter = MakeAdapter("race", ndis::NdisMedium802_3);
  adapter->SetSendCompletion(SimulatedAdapter::Completion::kPending);
  const std::u16string name = VirtualName("race");
  std::atomic<bool> done{false};
  std::thread sender([&] {
    while (!done.load()) protocol_.Send(name, Frame(60));
  });
  std::thread completer([&] {
    while (!done.load()) {
      adapter->CompletePendingSends();
      std::this_thread::yield();
    }
    adapter->CompletePendingSends();
  });
  std::thread power([&] {
    while (!done.load()) {
      adapter->SetPower(ndis::NdisDeviceStateD3);
      adapter->SetPower(ndis::NdisDeviceStateD0);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(runtime_->AddAdapter(adapter));
    ASSERT_TRUE(runtime_->RemoveAdapter("race"));
  }
  done.store(true);
  sender.join();
  power.join();
  completer.join();
  ASSERT_TRUE(protocol_.WaitForSendsCompleted());
  EXPECT_EQ(adapter->PendingSends(), 0u);
  EXPECT_FALSE(host_.exists());
}

TEST_F(DriverTest, AdaptersBindAndUnbindConcurrently) {
  constexpr int kAdapters = 4;
  std::vector<std::shared_ptr<SimulatedAdapter>> adapters;
  for (int i = 0; i < kAdapters; ++i) {
    adapters.push_back(MakeAdapter("c" + std::to_string(i), ndis::NdisMedium802_3));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kAdapters; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds / 2; ++round) {
        ASSERT_TRUE(runtime_->AddAdapter(adapters[i]));
        ASSERT_TRUE(runtime_->RemoveAdapter(adapters[i]->Name()));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(BindingCount(), 0u);
  EXPECT_FALSE(host_.exists());
  EXPECT_EQ(host_.created(), host_.deleted());
  {
    DriverState& driver = Driver();
    ndis::SpinLockGuard guard(driver.GlobalLock);
    EXPECT_EQ(driver.adapter_count, 0u);
    EXPECT_EQ(driver.control_device_state, kControlDeviceReady);
  }
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
