// pactrak's control device under load: readers on several handles, senders and receivers on
// several adapters, cancels and closes, all at once. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/testing/control_device_fixture.h"

namespace flowsentry::pactrak::testing {
namespace {

using ndis::SimulatedAdapter;
using namespace std::chrono_literals;

// What the readers saw, shared among them.
class Tally {
 public:
  // False when the serial was delivered before.
  bool Delivered(uint32_t serial) {
    std::lock_guard lock(mu_);
    return serials_.insert(serial).second;
  }
  size_t size() const {
    std::lock_guard lock(mu_);
    return serials_.size();
  }
  std::set<uint32_t> serials() const {
    std::lock_guard lock(mu_);
    return serials_;
  }

 private:
  mutable std::mutex mu_;
  std::set<uint32_t> serials_;
};

// Keeps `depth` reads outstanding on one connection and checks that every read gets exactly one
// reply. Every `cancel_every` replies it cancels its newest read; every `reconnect_every` it
// closes the connection with reads pending and connects again.
class Reader {
 public:
  struct Options {
    size_t depth = 3;
    size_t cancel_every = 0;
    size_t reconnect_every = 0;
  };

  Reader(Tally& tally, Options options) : tally_(tally), options_(options) {}

  void Run(const std::atomic<bool>& stop) {
    client_ = ConnectToDevice();
    size_t replies = 0;
    while (!stop.load() && !::testing::Test::HasFailure()) {
      while (outstanding_.size() < options_.depth) {
        ASSERT_TRUE(client_->SendRead(next_id_, kReadSize));
        outstanding_.insert(next_id_++);
      }
      if (cancel_due_) {
        ASSERT_TRUE(client_->SendCancel(*outstanding_.rbegin()));
        cancel_due_ = false;
      }
      RawClient::Reply reply;
      const RawClient::Outcome outcome = client_->Receive(reply, 20ms);
      if (outcome == RawClient::Outcome::kTimedOut) continue;
      ASSERT_EQ(outcome, RawClient::Outcome::kReply);
      Take(reply);
      ++replies;
      if (options_.cancel_every != 0 && replies % options_.cancel_every == 0) cancel_due_ = true;
      if (options_.reconnect_every != 0 && replies % options_.reconnect_every == 0) {
        CloseAndCheck();
        client_ = ConnectToDevice();
      }
    }
    CloseAndCheck();
  }

  uint64_t records() const { return records_; }

 private:
  void Take(const RawClient::Reply& reply) {
    ASSERT_EQ(outstanding_.erase(reply.id), 1u)
        << "a second reply, or one for no read: " << reply.id;
    if (reply.status == ddk::STATUS_CANCELLED) {
      EXPECT_EQ(reply.information, 0u);
      return;
    }
    ASSERT_EQ(reply.status, ddk::STATUS_SUCCESS);
    EXPECT_EQ(reply.information, kReadSize);
    std::optional<PacketRecord> record = RecordOf(reply);
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(tally_.Delivered(SerialOf(*record))) << "delivered twice: " << SerialOf(*record);
    ++records_;
  }

  // Closing cancels what is still pending; each outstanding read gets its one reply first.
  void CloseAndCheck() {
    for (const RawClient::Reply& reply : client_->Close()) Take(reply);
    EXPECT_TRUE(outstanding_.empty()) << outstanding_.size() << " reads got no reply";
    outstanding_.clear();
  }

  Tally& tally_;
  const Options options_;
  std::unique_ptr<RawClient> client_;
  std::set<uint32_t> outstanding_;
  uint32_t next_id_ = 1;
  bool cancel_due_ = false;
  uint64_t records_ = 0;
};

class ControlDeviceConcurrencyTest : public ControlDeviceTest {
 protected:
  // Reads whatever records still wait, until a read finds the queue empty.
  void Drain(Tally& tally, uint64_t& drained) {
    auto client = Connect();
    for (uint32_t id = 1;; ++id) {
      ASSERT_TRUE(client->SendRead(id, kReadSize));
      ASSERT_TRUE(client->SendControl(0xFFFF0000, IOCTL_NOP, {}, 0));
      RawClient::Reply reply;
      ASSERT_TRUE(client->Receive(reply));
      if (reply.id == 0xFFFF0000) break;  // the read is waiting: nothing was left
      ASSERT_EQ(reply.id, id);
      ASSERT_EQ(reply.status, ddk::STATUS_SUCCESS);
      EXPECT_TRUE(tally.Delivered(SerialOf(*RecordOf(reply))));
      ++drained;
      ASSERT_TRUE(client->Receive(reply));
      ASSERT_EQ(reply.id, 0xFFFF0000u);
    }
  }
};

TEST_F(ControlDeviceConcurrencyTest, EveryRecordIsDeliveredOnceOrCountedAsDropped) {
  constexpr int kAdapters = 3;
  constexpr uint32_t kFramesPerThread = 1500;
  std::vector<std::shared_ptr<SimulatedAdapter>> adapters;
  for (int i = 0; i < kAdapters; ++i) adapters.push_back(AddAdapter("sim" + std::to_string(i)));
  platform::DeviceHandle control = Open();
  SetCapture(control, CAPTURE_ENABLED);

  Tally tally;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Reader>> readers;
  readers.push_back(std::make_unique<Reader>(tally, Reader::Options{3, 0, 0}));
  readers.push_back(std::make_unique<Reader>(tally, Reader::Options{2, 7, 0}));
  readers.push_back(std::make_unique<Reader>(tally, Reader::Options{4, 0, 50}));
  readers.push_back(std::make_unique<Reader>(tally, Reader::Options{1, 3, 90}));
  std::vector<std::thread> reader_threads;
  for (auto& reader : readers) {
    reader_threads.emplace_back([&reader, &stop] { reader->Run(stop); });
  }

  // Per adapter one thread sends and one receives, by alternating receive paths. Serials are
  // unique across threads: thread t uses t * kFramesPerThread + i.
  std::vector<std::thread> feeders;
  for (int a = 0; a < kAdapters; ++a) {
    feeders.emplace_back([&, a] {
      const std::u16string name = VirtualName("sim" + std::to_string(a));
      for (uint32_t i = 0; i < kFramesPerThread; ++i) {
        const uint32_t serial = (2 * a) * kFramesPerThread + i;
        EXPECT_EQ(protocol_.SendAndWait(name, SerialFrame(serial)), ndis::NDIS_STATUS_SUCCESS);
      }
    });
    feeders.emplace_back([&, a] {
      for (uint32_t i = 0; i < kFramesPerThread; ++i) {
        const uint32_t serial = (2 * a + 1) * kFramesPerThread + i;
        SimulatedAdapter::ReceiveOptions options;
        options.kind = i % 2 == 0 ? SimulatedAdapter::ReceiveKind::kPacket
                                  : SimulatedAdapter::ReceiveKind::kLookahead;
        adapters[a]->Receive(SerialFrame(serial), options);
      }
    });
  }
  for (std::thread& t : feeders) t.join();
  stop.store(true);
  for (std::thread& t : reader_threads) t.join();

  uint64_t drained = 0;
  Drain(tally, drained);
  const uint32_t dropped = SetCapture(control, 0);

  const uint64_t built = uint64_t{2} * kAdapters * kFramesPerThread;
  uint64_t read = drained;
  for (auto& reader : readers) read += reader->records();
  EXPECT_EQ(tally.size(), read);  // no record twice
  EXPECT_EQ(read + dropped, built);
  for (uint32_t serial : tally.serials()) EXPECT_LT(serial, built);
  EXPECT_GT(read, 0u);
}

// A cancel and a record that arrive together: the read completes once, either with the record
// or cancelled, and a record it did not take waits for the next read.
TEST_F(ControlDeviceConcurrencyTest, CancelRacingADeliveryCompletesTheReadOnce) {
  auto adapter = AddAdapter("sim0");
  SetCapture(CAPTURE_ENABLED);
  auto client = Connect();
  Tally tally;
  constexpr uint32_t kRounds = 300;
  uint64_t taken = 0;
  uint64_t cancelled = 0;
  for (uint32_t round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(client->SendRead(round, kReadSize));
    ExpectNothingCompleted(*client);
    std::thread feeder([&] { ReceiveFrame(*adapter, SerialFrame(round)); });
    ASSERT_TRUE(client->SendCancel(round));
    feeder.join();
    RawClient::Reply reply;
    ASSERT_TRUE(client->Receive(reply));
    ASSERT_EQ(reply.id, round);
    if (reply.status == ddk::STATUS_SUCCESS) {
      ++taken;
      EXPECT_TRUE(tally.Delivered(SerialOf(*RecordOf(reply))));
    } else {
      ASSERT_EQ(reply.status, ddk::STATUS_CANCELLED);
      ++cancelled;
      // The record stayed queued: the next read takes it at once.
      std::optional<PacketRecord> record = ReadRecord(*client, 0x80000000 | round);
      ASSERT_TRUE(record.has_value());
      EXPECT_TRUE(tally.Delivered(SerialOf(*record)));
    }
    ExpectNothingCompleted(*client);  // and no second reply for the read
  }
  EXPECT_EQ(tally.size(), kRounds);
  EXPECT_EQ(taken + cancelled, kRounds);
}

// Handles that come and go while records flow and the adapter under them is opened, queried,
// and unbound.
TEST_F(ControlDeviceConcurrencyTest, HandlesOpeningAndQueryingWhileAdaptersComeAndGo) {
  auto stable = AddAdapter("stable");
  SetCapture(CAPTURE_ENABLED);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    for (int i = 0; i < 20 && !::testing::Test::HasFailure(); ++i) {
      auto adapter = AddAdapter("churn");
      for (uint32_t serial = 0; serial < 20; ++serial) ReceiveFrame(*adapter, SerialFrame(serial));
      RemoveAdapter(adapter);
    }
    stop.store(true);
  });
  std::vector<std::thread> users;
  for (int u = 0; u < 3; ++u) {
    users.emplace_back([&] {
      while (!stop.load()) {
        auto client = Connect();
        RawClient::Reply reply;
        ASSERT_TRUE(client->Call(1, IOCTL_OPEN_BINDING, NameBytes(LowerName("churn")), 0, reply));
        EXPECT_TRUE(reply.status == ddk::STATUS_SUCCESS ||
                    reply.status == ddk::STATUS_DEVICE_BUSY ||
                    reply.status == ddk::STATUS_OBJECT_NAME_NOT_FOUND ||
                    reply.status == ddk::STATUS_INVALID_DEVICE_STATE)
            << std::hex << reply.status;
        ASSERT_TRUE(client->Call(2, IOCTL_QUERY_BINDING,
                                 QueryInput(LowerName("churn"), 5, OID_GEN_MEDIA_IN_USE), 4,
                                 reply));
        ASSERT_TRUE(client->SendRead(3, kReadSize));
        client->Close();
      }
    });
  }
  churn.join();
  for (std::thread& t : users) t.join();
  RemoveAdapter(stable);
  // TearDown: no driver memory left once the driver unloads.
}

}  // namespace
}  // namespace flowsentry::pactrak::testing
