// The capture thread against a scripted control device, in both accounting modes: what it credits
// and logs per record, when it notices a stop, its read-failure limit, its early ends,
// termination, and a write lock held elsewhere for longer than the busy wait.
#include "service/capture/capture_thread.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "service/capture/packet_table.h"
#include "service/capture/packet_text.h"
#include "service/capture/service_context.h"
#include "service/capture/service_sync.h"
#include "service/capture/testing/scripted_device.h"
#include "service/counters/testing/counters_db_testing.h"
#include "service/host/config.h"

namespace flowsentry::capture {
namespace {

using counters::testing::CountersDbTest;
using testing::ScriptedDevice;

constexpr uint32_t kStatusUnsuccessful = 0xC0000001;  // ERROR_GEN_FAILURE, 31
constexpr char kPackets[] = "/opt/flowsentry/packets";

// A UDP record from 192.0.2.<host> port 40000 to 198.51.100.1 port `port`, `length` bytes.
PacketRecord UdpRecord(uint8_t host, uint16_t port, uint32_t length, uint16_t interface = 0) {
  PacketRecord record;
  record.Interface = interface;
  record.TimeSeconds = 1700000000;
  record.TimeMicroseconds = 7;
  record.PacketLength = length;
  const uint8_t dest_mac[6] = {0x02, 0x00, 0x5E, 0x00, 0x53, 0x01};
  const uint8_t source_mac[6] = {0x02, 0x00, 0x5E, 0x00, 0x53, host};
  std::copy(std::begin(dest_mac), std::end(dest_mac), record.DestMac);
  std::copy(std::begin(source_mac), std::end(source_mac), record.SourceMac);
  record.EtherType[0] = 0x08;
  record.Protocol = 17;
  const uint8_t source_ip[4] = {192, 0, 2, host};
  const uint8_t dest_ip[4] = {198, 51, 100, 1};
  std::copy(std::begin(source_ip), std::end(source_ip), record.SourceIP);
  std::copy(std::begin(dest_ip), std::end(dest_ip), record.DestIP);
  record.SourcePort[0] = 0x9C;
  record.SourcePort[1] = 0x40;
  record.DestPort[0] = static_cast<uint8_t>(port >> 8);
  record.DestPort[1] = static_cast<uint8_t>(port);
  return record;
}

class CaptureThreadTest : public CountersDbTest,
                          public ::testing::WithParamInterface<host::AccountingMode> {
 protected:
  void SetUp() override {
    CountersDbTest::SetUp();
    accounting_.mode = GetParam();
    accounting_.flushInterval = 100;
    host::Settings& settings = host::MutableSettings();
    settings.DIRPACKETS = kPackets;
    settings.DESTPACKETS = 1;
    settings.OPTIONS = 255;
    settings.INTERVALCREATEFILE = 60;
    std::filesystem::create_directories(root_->Host(kPackets));
    InitializeServiceLock();
    ASSERT_TRUE(CreateSyncEvent());
    context_ = std::make_unique<ServiceContext>(accounting_);
  }

  void TearDown() override {
    for (platform::Thread& thread : threads_) thread.Terminate(0);
    threads_.clear();
    device_.reset();
    context_.reset();
    CloseSyncEvent();
    DeleteServiceLock();
    ResetPacketTextForTesting();
    host::MutableSettings() = host::Settings{};
    CountersDbTest::TearDown();
  }

  // Starts capture threads 0 .. count - 1, as the service's start does.
  void StartThreads(uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) {
      numbers_[i] = i;
      threads_.push_back(platform::Thread::Create(
          [this, n = &numbers_[i]] { return capturePackets(*context_, n); }));
      ASSERT_TRUE(threads_.back().IsValid());
    }
  }

  bool batch() const { return GetParam() == host::AccountingMode::kBatch; }

  // Hands `records` to the pending reads, as many per read as each takes.
  void DeliverAll(const std::vector<PacketRecord>& records) {
    for (size_t sent = 0; sent < records.size();) {
      const size_t taken = device_->DeliverRecords(std::span(records).subspan(sent));
      ASSERT_GT(taken, 0u);
      sent += taken;
    }
  }

  bool Ended(size_t index) const { return threads_[index].Wait(0) == platform::WAIT_OBJECT_0; }

  // The lines of capture thread `number` in the diagnostic log, as Line() gives them, with the
  // thread prefix taken off the text.
  std::vector<std::string> ThreadLines(uint16_t number) const {
    const std::string prefix = ThreadMessage(number, "");
    std::vector<std::string> lines;
    for (const std::string& line : LogLines()) {
      const size_t at = line.find(" Text: " + prefix);
      if (at == std::string::npos) continue;
      lines.push_back(line.substr(0, at + 7) + line.substr(at + 7 + prefix.size()));
    }
    return lines;
  }

  size_t PacketLines() const {
    const std::string text = root_->ReadFile(std::string(kPackets) + "/out.log");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

  std::unique_ptr<ScriptedDevice> device_;
  std::array<uint16_t, 8> numbers_{};
  std::vector<platform::Thread> threads_;
  host::AccountingSettings accounting_;
  std::unique_ptr<ServiceContext> context_;
};

// One run of three threads: every record is credited to each counter it matches and logged,
// whatever thread reads it; an empty read counts for nothing; after the stop, the next read ends
// the thread that made it (its one record dropped in packet mode, its whole batch accounted in
// batch mode), and that thread switches capture off and reports its counts, while the two still
// waiting are terminated without a word.
TEST_P(CaptureThreadTest, ThreeThreadsCreditLogAndEndAfterTheNextReadOnceStopped) {
  AddCounter("all", 0, 0, 7, "Interface=0|");
  AddCounter("dns", 0, 0, 7, "Interface=0|,DestPortOption=1,DestPort=53|");
  AddCounter("host5", 0, 0, 7, "Interface=0|,SourceIPoption=1,SourceIP=192.0.2.5|");
  AddCounter("stopped", 0, 0, 7, "Interface=0|", /*state=*/2);
  AddCounter("adapter1", 0, 0, 7, "Interface=1|");
  device_ = std::make_unique<ScriptedDevice>();
  device_->SetDropped(17);
  StartThreads(3);
  ASSERT_TRUE(device_->WaitForPendingReads(3));

  // 20 records: hosts 0..19, every fourth to port 53, lengths 100 + host.
  int64_t dns_packets = 0, dns_bytes = 0, all_bytes = 0;
  std::vector<PacketRecord> records;
  for (uint8_t host = 0; host < 20; ++host) {
    const uint16_t port = host % 4 == 0 ? 53 : 80;
    records.push_back(UdpRecord(host, port, 100u + host));
    all_bytes += 100 + host;
    if (port == 53) {
      dns_packets += 1;
      dns_bytes += 100 + host;
    }
  }
  ASSERT_NO_FATAL_FAILURE(DeliverAll(records));
  ASSERT_TRUE(device_->DeliverEmpty());
  // Once three reads are pending again, every record delivered has been handled.
  ASSERT_TRUE(device_->WaitForPendingReads(3));
  ASSERT_TRUE(context_->flusher().Flush());  // the batch mode's deltas, as at each interval
  EXPECT_EQ(Rows("SELECT countername, packets, bytes FROM counters ORDER BY countername"),
            (std::vector<std::string>{
                "adapter1;0;0", "all;20;" + std::to_string(all_bytes),
                "dns;" + std::to_string(dns_packets) + ";" + std::to_string(dns_bytes),
                "host5;1;105", "stopped;0;0"}));
  EXPECT_EQ(PacketLines(), 20u);

  SyncEvent()->Set();
  const PacketRecord last[] = {UdpRecord(1, 53, 999), UdpRecord(2, 53, 1)};
  ASSERT_EQ(device_->DeliverRecords(last), batch() ? 2u : 1u);
  // Exactly one thread ends by itself; which one read the records is up to the driver.
  std::vector<const platform::WaitObject*> objects;
  for (const platform::Thread& thread : threads_) objects.push_back(&thread.object());
  const size_t ended =
      platform::WaitForMultipleObjects(objects, false, 60000) - platform::WAIT_OBJECT_0;
  ASSERT_LT(ended, threads_.size());
  context_->FinishAccounting();
  EXPECT_EQ(Rows("SELECT packets FROM counters WHERE countername = 'all'"),
            std::vector<std::string>{batch() ? "22" : "20"});
  EXPECT_EQ(PacketLines(), batch() ? 22u : 20u);
  EXPECT_EQ(device_->CaptureSwitches(), (std::vector<uint8_t>{0x04, 0x00}));

  const std::vector<std::string> lines = ThreadLines(static_cast<uint16_t>(ended));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), Line(0, "Begin capturePackets"));
  // The dropped count went to thread 0's switch-on or to the switch-off, whichever ran last.
  const std::string rejected = lines[lines.size() - 3];
  EXPECT_TRUE(rejected == Line(0, "Rejected packets - 17") ||
              rejected == Line(0, "Rejected packets - 0"))
      << rejected;
  EXPECT_EQ(lines[lines.size() - 2].rfind(Line(0, "Received packets - "), 0), 0u);
  EXPECT_EQ(lines.back(), Line(0, "End capturePackets"));

  for (size_t i = 0; i < threads_.size(); ++i) {
    if (i == ended) continue;
    ASSERT_FALSE(Ended(i));
    EXPECT_TRUE(threads_[i].Terminate(0));
    EXPECT_EQ(ThreadLines(static_cast<uint16_t>(i)),
              std::vector<std::string>{Line(0, "Begin capturePackets")});
  }
  EXPECT_EQ(device_->CaptureSwitches(), (std::vector<uint8_t>{0x04, 0x00}));
  // Every handle is closed: the ended thread's and the terminated threads'.
  EXPECT_TRUE(device_->WaitForClosedConnections(3));
}

// Six failed reads end the loop wherever they fall in a run; five do not. An empty read is not
// received; the end reports the dropped count of the switch-off and the records received.
TEST_P(CaptureThreadTest, TheSixthFailedReadInTheThreadsLifeEndsItsLoop) {
  AddCounter("all", 0, 0, 7, "Interface=0|");
  device_ = std::make_unique<ScriptedDevice>();
  device_->SetDropped(17);  // handed out to the switch-on, which does not print it
  StartThreads(1);
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_TRUE(device_->Deliver(UdpRecord(1, 80, 100)));
  ASSERT_TRUE(device_->DeliverEmpty());
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_TRUE(device_->Deliver(UdpRecord(2, 80, 200)));
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_TRUE(device_->Deliver(UdpRecord(3, 80, 300)));
  ASSERT_TRUE(device_->WaitForPendingReads(1));
  EXPECT_FALSE(Ended(0)) << "five failed reads must not end the loop";
  device_->SetDropped(9);
  ASSERT_TRUE(device_->FailRead(kStatusUnsuccessful));
  ASSERT_EQ(threads_[0].Wait(60000), platform::WAIT_OBJECT_0);
  uint32_t exit_code = 1;
  EXPECT_TRUE(threads_[0].GetExitCode(exit_code));
  EXPECT_EQ(exit_code, 0u);
  context_->FinishAccounting();

  const std::string failed = Line(31, "ReadFile return error");
  EXPECT_EQ(ThreadLines(0), (std::vector<std::string>{
                                Line(0, "Begin capturePackets"), failed, failed, failed, failed,
                                failed, failed, Line(0, "Rejected packets - 9"),
                                Line(0, "Received packets - 3"), Line(0, "End capturePackets")}));
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), std::vector<std::string>{"3;600"});
  EXPECT_EQ(PacketLines(), 3u);
  EXPECT_EQ(device_->CaptureSwitches(), (std::vector<uint8_t>{0x04, 0x00}));
  EXPECT_EQ(root_->ReadFile(std::string(kPackets) + "/info.log"), "");
  EXPECT_TRUE(root_->Exists(std::string(kPackets) + "/info.log"));
}

// A thread that cannot open the device ends at once, and so does thread 0 when the driver
// refuses to switch capture on; neither writes end lines or switches capture off. The other
// threads read on: capture may still be on from an earlier run.
TEST_P(CaptureThreadTest, EarlyEndsWriteNoEndLinesAndLeaveTheOtherThreadsReading) {
  StartThreads(1);
  ASSERT_EQ(threads_[0].Wait(60000), platform::WAIT_OBJECT_0);
  EXPECT_EQ(ThreadLines(0),
            (std::vector<std::string>{Line(0, "Begin capturePackets"),
                                      Line(2, "Unable to open handle on Capture device")}));
  threads_.clear();
  ClearLog();

  AddCounter("all", 0, 0, 7, "Interface=0|");
  device_ = std::make_unique<ScriptedDevice>();
  device_->RefuseSwitchOn(kStatusUnsuccessful);
  StartThreads(2);
  ASSERT_EQ(threads_[0].Wait(60000), platform::WAIT_OBJECT_0);
  EXPECT_EQ(ThreadLines(0), (std::vector<std::string>{Line(0, "Begin capturePackets"),
                                                      Line(31, "DeviceIoControl return error")}));
  ASSERT_TRUE(device_->Deliver(UdpRecord(1, 80, 100)));
  ASSERT_TRUE(device_->WaitForPendingReads(1));
  ASSERT_TRUE(context_->flusher().Flush());
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), std::vector<std::string>{"1;100"});
  EXPECT_EQ(PacketLines(), 1u);
  EXPECT_TRUE(threads_[1].Terminate(0));
  EXPECT_EQ(ThreadLines(1), std::vector<std::string>{Line(0, "Begin capturePackets")});
  EXPECT_TRUE(device_->CaptureSwitches().empty());
}

// Thread 0's set-up and the packet log modes: the line goes nowhere with mode 0 or 4, to the
// table with 2, to both with 3; a table that cannot be reached is reported once by thread 0 and
// the text log goes on; a listing the driver refuses is reported and capture starts all the
// same.
TEST_P(CaptureThreadTest, PacketLogModesAndThreadZerosSetUp) {
  Exec(
      "CREATE TABLE packets (adapter INTEGER, time VARCHAR(50), srcmac VARCHAR(50), "
      "dstmac VARCHAR(50), ethertype INTEGER, srcip VARCHAR(50), dstip VARCHAR(50), "
      "srcport INTEGER, dstport INTEGER, length INTEGER)");
  const std::string reachable = "Provider=SQLite;Data Source=/opt/flowsentry/DB/counters.mdb";
  const std::string unreachable = "Provider=SQLite;Data Source=/opt/flowsentry/none/x.mdb";
  struct Case {
    uint8_t mode;
    std::string connection;
    size_t lines;
    size_t rows;
    bool unable_to_connect;
  } cases[] = {
      {0, reachable, 0, 0, false}, {4, reachable, 0, 0, false},  {2, reachable, 0, 2, false},
      {3, reachable, 2, 2, false}, {3, unreachable, 2, 0, true}, {2, unreachable, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << int{c.mode} << " " << c.connection);
    Exec("DELETE FROM packets");
    std::filesystem::remove(root_->Host(std::string(kPackets) + "/out.log"));
    ClearLog();
    host::MutableSettings().DESTPACKETS = c.mode;
    host::MutableSettings().STRINGCONNECT = c.connection;
    host::MutableSettings().TABLENAME = "packets";
    device_ = std::make_unique<ScriptedDevice>();
    device_->RefuseEnumeration(kStatusUnsuccessful);
    StartThreads(1);
    ASSERT_TRUE(device_->Deliver(UdpRecord(1, 80, 100)));
    ASSERT_TRUE(device_->Deliver(UdpRecord(2, 53, 200)));
    ASSERT_TRUE(device_->WaitForPendingReads(1));
    EXPECT_EQ(PacketLines(), c.lines);
    EXPECT_EQ(Rows("SELECT count(*) FROM packets"),
              std::vector<std::string>{std::to_string(c.rows)});
    const std::vector<std::string> lines = ThreadLines(0);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], Line(0, "Begin capturePackets"));
    EXPECT_EQ(lines[1], Line(-1, "Unable to open and show adapters"));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                              return line.find("Text: Unable to connect BD") != std::string::npos;
                            }),
              c.unable_to_connect ? 1 : 0);
    EXPECT_EQ(HasPacketTableWriter(), c.rows > 0);
    for (platform::Thread& thread : threads_) thread.Terminate(0);
    threads_.clear();
    device_.reset();
    ClosePacketTableWriter();
    ResetPacketTextForTesting();
  }
}

// Another connection holds the write lock for 8 s, beyond the busy wait: the credits that meet
// it are reported and kept, and none is lost; in batch mode the capture threads read and log on
// meanwhile, never waiting on the database.
TEST_P(CaptureThreadTest, AWriteLockHeldElsewhereForEightSecondsLosesNothing) {
  AddCounter("all", 0, 0, 7, "Interface=0|");
  device_ = std::make_unique<ScriptedDevice>();
  StartThreads(2);
  ASSERT_TRUE(context_->StartFlusher());
  ASSERT_TRUE(device_->WaitForPendingReads(2));
  sqlite3* opened = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &opened), SQLITE_OK);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> holder(opened, sqlite3_close);
  ASSERT_EQ(sqlite3_exec(holder.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto held = std::chrono::steady_clock::now();
  const std::vector<PacketRecord> records(2, UdpRecord(1, 80, 100));
  ASSERT_NO_FATAL_FAILURE(DeliverAll(records));
  if (batch()) {
    ASSERT_TRUE(device_->WaitForPendingReads(2));
    EXPECT_EQ(PacketLines(), 2u);
  }
  // The busy wait has run out once the refused credit is reported.
  const std::string refused =
      Line(-1, "Ошибка при изменении количества пакетов и байтов счетчика в БД через ADO");
  const auto reported = [&] {
    const std::vector<std::string> lines = LogLines();
    return std::find(lines.begin(), lines.end(), refused) != lines.end();
  };
  for (const auto limit = held + std::chrono::minutes(1);
       !reported() && std::chrono::steady_clock::now() < limit;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(reported());
  std::this_thread::sleep_until(held + std::chrono::seconds(8));
  ASSERT_EQ(sqlite3_exec(holder.get(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);

  ASSERT_NO_FATAL_FAILURE(DeliverAll(records));
  ASSERT_TRUE(device_->WaitForPendingReads(2));
  EXPECT_EQ(PacketLines(), 4u);
  for (platform::Thread& thread : threads_) thread.Terminate(0);
  context_->FinishAccounting();
  EXPECT_EQ(Rows("SELECT packets, bytes FROM counters"), std::vector<std::string>{"4;400"});
}

INSTANTIATE_TEST_SUITE_P(Modes, CaptureThreadTest,
                         ::testing::Values(host::AccountingMode::kPacket,
                                           host::AccountingMode::kBatch),
                         [](const auto& info) {
                           return info.param == host::AccountingMode::kBatch ? "Batch" : "Packet";
                         });

}  // namespace
}  // namespace flowsentry::capture
