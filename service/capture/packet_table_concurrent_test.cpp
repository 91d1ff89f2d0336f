// The packet table writer made by capture thread 0 while another capture thread is already
// delivering lines under ServiceLock, as happens when the driver's capture flag was left on.
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/threads.h"
#include "service/capture/packet_batch.h"
#include "service/capture/packet_line.h"
#include "service/capture/packet_log_testing.h"
#include "service/capture/service_sync.h"

namespace flowsentry::capture {
namespace {

using testing::PacketLogTest;
using testing::SampleRecord;

constexpr char kDatabase[] = "/opt/flowsentry/DB/packets.db";

class PacketTableRaceTest : public PacketLogTest {
 protected:
  void SetUp() override {
    PacketLogTest::SetUp();
    InitializeServiceLock();
    host::MutableSettings().STRINGCONNECT = std::string("Provider=SQLite;Data Source=") + kDatabase;
    host::MutableSettings().TABLENAME = "packets";
    ASSERT_TRUE(root_->WriteFile("/opt/flowsentry/DB/.keep", ""));
  }
  void TearDown() override {
    PacketLogTest::TearDown();
    DeleteServiceLock();
  }
  // Runs `sql` on the database, which it creates; the first column of the last row it yields.
  std::string Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(root_->Host(kDatabase).c_str(), &db);
    std::string value;
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "";
          return 0;
        },
        &value, nullptr);
    sqlite3_close(db);
    return value;
  }
};

TEST_F(PacketTableRaceTest, WriterAppearsWholeOrNotAtAllToOtherThreads) {
  struct Case {
    const char* table;  // null: no database file
    bool opens;
  };
  const Case cases[] = {
      {"CREATE TABLE packets (a INTEGER, b TEXT, c TEXT, d TEXT, e INTEGER, f TEXT, g TEXT, "
       "h INTEGER, i INTEGER, j INTEGER)",
       true},
      // Opens, but fails its column check: must never be seen half open.
      {"CREATE TABLE packets (a INTEGER, b TEXT, c TEXT, d TEXT, e REAL, f TEXT, g TEXT, "
       "h INTEGER, i INTEGER, j INTEGER)",
       false},
      {nullptr, false},
  };
  PacketLineBatch batch;
  for (uint32_t i = 0; i < 3; ++i) batch.Add(SampleRecord(i), 255);
  const std::string line = PacketLine(SampleRecord(), 255);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table != nullptr ? c.table : "no database");
    std::filesystem::remove(root_->Host(kDatabase));
    if (c.table != nullptr) Sql(c.table);
    ClearLog();

    std::atomic<bool> created = false;
    platform::Event started;
    int rounds_with_writer = 0;
    std::thread other([&] {
      for (int round = 0;; ++round) {
        const bool last = created.load();
        {
          platform::CriticalSectionLock lock(ServiceLock());
          if (HasPacketTableWriter()) ++rounds_with_writer;
          addPacketRow(line);
          addPacketRows(batch);
        }
        if (round == 0) started.Set();
        if (last) return;
      }
    });
    started.Wait(platform::INFINITE);
    EXPECT_EQ(CreatePacketTableWriter(0, ServiceLock()), c.opens);
    created = true;
    other.join();

    for (const std::string& entry : LogEntries()) {
      EXPECT_EQ(entry.find("Error add Record"), std::string::npos) << entry;
    }
    if (c.opens) {
      EXPECT_GE(rounds_with_writer, 1);
      EXPECT_EQ(Sql("SELECT count(*) FROM packets"), std::to_string(4 * rounds_with_writer));
    } else {
      EXPECT_EQ(rounds_with_writer, 0);
      EXPECT_EQ(LogEntries().back().find(" Code: "), 0u);
      EXPECT_NE(LogEntries().back().find("Thread N 0 Unable to connect BD"), std::string::npos);
    }
    ClosePacketTableWriter();
  }
}

}  // namespace
}  // namespace flowsentry::capture
