// Bind and unbind racing with sends, requests and receives on several threads: nothing is
// lost or completed twice, every send and request completes, and no driver memory remains.
#include <atomic>
#include <thread>
#include <vector>

#include "driver/driver_test_support.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;

class ConcurrencyTest : public DriverTest {};

TEST_F(ConcurrencyTest, UnbindWhileSendsRequestsAndReceivesRun) {
  for (int round = 0; round < 6; ++round) {
    std::string name = "eth" + std::to_string(round);
    auto adapter = AddAdapter(name);
    // Half the rounds let the lower adapter pend, so completions come from another thread.
    bool pend = round % 2 == 1;
    if (pend) {
      adapter->SetSendCompletion(SimulatedAdapter::Completion::kPending);
      adapter->SetRequestCompletion(SimulatedAdapter::Completion::kPending);
    }
    std::u16string upper = VirtualName(name);
    ASSERT_TRUE(protocol_.WaitForAdapter(upper));

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int i = 0; i < 200 && !stop; ++i) protocol_.Send(upper, Frame(64, uint8_t(i)));
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 50 && !stop; ++i) {
        auto query = protocol_.Query(upper, ndis::OID_GEN_MAC_OPTIONS, 4);
        if (query == nullptr) break;
      }
    });
    threads.emplace_back([&] {
      SimulatedAdapter::ReceiveOptions options;
      for (int i = 0; i < 100 && !stop; ++i) {
        options.kind = i % 2 ? SimulatedAdapter::ReceiveKind::kPacket
                             : SimulatedAdapter::ReceiveKind::kLookahead;
        adapter->Receive(Frame(80, uint8_t(i)), options);
      }
    });
    if (pend) {
      threads.emplace_back([&] {
        while (!stop) {
          adapter->CompletePendingSends();
          adapter->CompletePendingRequests();
          std::this_thread::yield();
        }
      });
    }
    std::thread unbind([&] { EXPECT_TRUE(runtime_->RemoveAdapter(name)); });
    unbind.join();
    stop = true;
    for (auto& thread : threads) thread.join();
    adapter->CompletePendingSends();
    adapter->CompletePendingRequests();
    EXPECT_TRUE(protocol_.WaitForSendsCompleted());
    EXPECT_EQ(protocol_.SendsOutstanding(), 0u);
    EXPECT_EQ(adapter->HeldPackets(), 0u);
    EXPECT_EQ(adapter->OpenEdges(), 0u);
    EXPECT_EQ(BindingCount(), 0u);
  }
  EXPECT_EQ(host_.created(), host_.deleted());
}

TEST_F(ConcurrencyTest, AdaptersComeAndGoWhileOthersCarryTraffic) {
  auto steady = AddAdapter("steady0");
  std::u16string upper = VirtualName("steady0");
  ASSERT_TRUE(protocol_.WaitForAdapter(upper));

  std::atomic<bool> stop{false};
  std::thread traffic([&] {
    uint8_t seed = 0;
    while (!stop) {
      EXPECT_EQ(protocol_.SendAndWait(upper, Frame(60, seed++)), ndis::NDIS_STATUS_SUCCESS);
      auto query = protocol_.Query(upper, ndis::OID_GEN_MAC_OPTIONS, 4);
      ASSERT_TRUE(protocol_.Wait(query));
      EXPECT_EQ(query->status, ndis::NDIS_STATUS_SUCCESS);
    }
  });
  std::thread churn([&] {
    for (int i = 0; i < 20; ++i) {
      std::string name = "churn" + std::to_string(i);
      auto adapter = MakeAdapter(name, ndis::NdisMedium802_3);
      EXPECT_TRUE(runtime_->AddAdapter(adapter));
      EXPECT_TRUE(runtime_->RemoveAdapter(name));
    }
    stop = true;
  });
  churn.join();
  traffic.join();
  EXPECT_TRUE(host_.exists());  // the steady adapter keeps the control device
  EXPECT_EQ(BindingCount(), 1u);
  EXPECT_GT(steady->Sent().size(), 0u);
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
