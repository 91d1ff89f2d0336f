// The packet table on a throwaway PostgreSQL cluster: rows, connection string forms, tables
// that do not fit, and a server restarted in the middle of a run.
#include <atomic>
#include <cstdio>

#include "platform/testing/postgres_cluster.h"
#include "service/capture/packet_batch.h"
#include "service/capture/packet_line.h"
#include "service/capture/testing/packet_log_testing.h"
#include "service/db/db_error.h"
#include "service/db/postgres_engine.h"

namespace flowsentry::capture {
namespace {

using platform::testing::PostgresCluster;
using testing::PacketLogTest;
using testing::SampleRecord;

constexpr char kGoodTable[] =
    "CREATE TABLE packets (adapter integer, \"time\" varchar(50), srcmac varchar(17), "
    "dstmac text, ethertype integer, srcip text, dstip character varying, srcport integer, "
    "dstport bigint, length integer, logged timestamptz DEFAULT now())";
constexpr char kColumns[] =
    "SELECT adapter, \"time\", srcmac, dstmac, ethertype, srcip, dstip, srcport, dstport, "
    "length FROM packets ORDER BY logged, adapter";

class PostgresPacketTableTest : public PacketLogTest {
 protected:
  static void SetUpTestSuite() { cluster_ = new PostgresCluster(); }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    PacketLogTest::SetUp();
    ASSERT_TRUE(cluster_->ok()) << cluster_->failure();
    ASSERT_TRUE(cluster_->Start()) << cluster_->failure();
    std::string error;
    ASSERT_TRUE(cluster_->Exec("DROP TABLE IF EXISTS packets", &error)) << error;
    host::MutableSettings().STRINGCONNECT = cluster_->ConnectionString();
    host::MutableSettings().TABLENAME = "packets";
    now_ms_ = 1000000;
    db::SetPostgresClockForTesting([] { return now_ms_.load(); });
  }
  void TearDown() override {
    ClosePacketTableWriter();
    db::SetPostgresClockForTesting({});
    PacketLogTest::TearDown();
  }
  static std::string Line(uint16_t adapter, uint32_t options = 255) {
    PacketRecord record = SampleRecord();
    record.Interface = adapter;
    return PacketLine(record, options);
  }

  static PostgresCluster* cluster_;
  static std::atomic<int64_t> now_ms_;
};

PostgresCluster* PostgresPacketTableTest::cluster_ = nullptr;
std::atomic<int64_t> PostgresPacketTableTest::now_ms_{0};

TEST_F(PostgresPacketTableTest, RowsArriveThroughEveryConnectionStringForm) {
  ASSERT_TRUE(cluster_->Exec(kGoodTable));
  const std::string folder = cluster_->socket_folder();
  const std::vector<std::string> forms = {
      cluster_->ConnectionString(),
      "Provider=PostgreSQL OLE DB Provider;Server=" + folder + ";Database=postgres;UID=postgres",
      "provider=postgresql; Host='" + folder +
          "'; Port=5432; Location=postgres; User=postgres; "
          "PWD=unused",
      "Provider=PostgreSQL;Data Source=" + folder +
          ";Initial Catalog=postgres;User ID=postgres;Password=;Connect Timeout=5",
  };
  uint16_t adapter = 0;
  for (const std::string& form : forms) {
    SCOPED_TRACE(form);
    host::MutableSettings().STRINGCONNECT = form;
    ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
    addPacketRow(Line(adapter++));
    ClosePacketTableWriter();
  }
  addPacketRow(Line(adapter, 0));  // no writer any more
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  addPacketRow(Line(adapter, 0));
  const std::string all_on =
      ";12:00:00.50;00:1A:2B:3C:4D:5E;0A:0B:0C:0D:0E:0F;2048;192.0.2.10;198.51.100.20;8080;80;"
      "1514";
  EXPECT_EQ(cluster_->Rows(kColumns),
            (std::vector<std::string>{"0" + all_on, "1" + all_on, "2" + all_on, "3" + all_on,
                                      "4;12:00:00.50;-;-;0;-;-;0;0;0"}));
  EXPECT_TRUE(LogEntries().empty() || LogEntries() == std::vector<std::string>{""});
}

std::string Hex(int32_t number) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<uint32_t>(number));
  return hex;
}

TEST_F(PostgresPacketTableTest, TableThatDoesNotFitFailsTheOpen) {
  struct Case {
    const char* create;  // null: no table
    uint32_t hresult;
    const char* description;
  };
  const Case cases[] = {
      {nullptr, 0x80040E37, "relation \"packets\" does not exist"},
      {"CREATE TABLE packets (a integer, b text, c text, d text, e integer, f text, g text, "
       "h integer, i integer)",
       0x80040E14, "The row binds column 10, which the table packets does not have."},
      {"CREATE TABLE packets (a integer, b text, c text, d text, e text, f text, g text, "
       "h integer, i integer, j integer)",
       0x80040E07,
       "Column 5 of the table packets is of type text, which cannot keep the integer the packet "
       "log stores there."},
      {"CREATE TABLE packets (a integer, b text, c text, d text, e integer, f text, g text, "
       "h smallint, i integer, j integer)",
       0x80040E07,
       "Column 8 of the table packets is of type smallint, which cannot keep the integer the "
       "packet log stores there."},
      {"CREATE TABLE packets (a integer, b text, c varchar(16), d text, e integer, f text, "
       "g text, h integer, i integer, j integer)",
       0x80040E07,
       "Column 3 of the table packets is of type character varying(16), which cannot keep the "
       "text the packet log stores there."},
      {"CREATE TABLE packets (a integer, b text, c text, d text, e integer, f inet, g text, "
       "h integer, i integer, j integer)",
       0x80040E07,
       "Column 6 of the table packets is of type type 869, which cannot keep the text the "
       "packet log stores there."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    ASSERT_TRUE(cluster_->Exec("DROP TABLE IF EXISTS packets"));
    if (c.create != nullptr) {
      ASSERT_TRUE(cluster_->Exec(c.create));
    }
    ClearLog();
    EXPECT_FALSE(CreatePacketTableWriter(0, lock_));
    EXPECT_FALSE(HasPacketTableWriter());
    std::vector<std::string> expected;
    const std::string meaning = db::HResultMessage(c.hresult);
    if (c.create == nullptr) {
      expected.push_back(Entry(-1, ";\r\nCode Error " + Hex(db::PackSqlState("42P01")) +
                                       " Description SQLSTATE 42P01: " + c.description));
      expected.push_back(Entry(-1, "Code Error 80040e37, Code meaning = " + meaning +
                                       ", Source = PostgreSQL, Description = " + c.description));
    } else {
      expected.push_back(Entry(
          -1, "Code Error " + Hex(static_cast<int32_t>(c.hresult)) + ", Code meaning = " + meaning +
                  ", Source = ADODB.Connection, Description = " + c.description));
    }
    expected.push_back(Entry(static_cast<int32_t>(c.hresult), "Thread N 0 Unable to connect BD"));
    EXPECT_EQ(LogEntries(), expected);
  }
}

TEST_F(PostgresPacketTableTest, UnreachableServerFailsTheOpenOnce) {
  host::MutableSettings().STRINGCONNECT =
      "Provider=PostgreSQL;Data Source=" + root_->path() + ";User ID=postgres";
  EXPECT_FALSE(CreatePacketTableWriter(0, lock_));
  const std::vector<std::string> entries = LogEntries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[0].starts_with(" Code: -1 Text: ;\r\nCode Error " +
                                     Hex(db::PackSqlState("08001")) +
                                     " Description SQLSTATE 08001: "))
      << entries[0];
  EXPECT_TRUE(entries[1].starts_with(
      " Code: -1 Text: Code Error 80004005, Code meaning = Unspecified error, Source = "
      "PostgreSQL, Description = "))
      << entries[1];
  EXPECT_EQ(entries[2],
            Entry(static_cast<int32_t>(0x80004005u), "Thread N 0 Unable to connect BD"));
  addPacketRow(Line(1));  // no writer: nothing per packet
  EXPECT_EQ(LogEntries().size(), 3u);
}

TEST_F(PostgresPacketTableTest, ServerRestartedMidRunLosesOnlyTheRowsWhileItIsAway) {
  ASSERT_TRUE(cluster_->Exec(kGoodTable));
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  addPacketRow(Line(1));
  ASSERT_TRUE(cluster_->Stop()) << cluster_->failure();
  ClearLog();

  // Each failed packet leaves the error, the engine record, the own message and "Error add
  // Record"; the error's description says whether a reconnection was tried.
  const auto failed_packet = [this](uint16_t adapter, bool attempt) {
    const size_t before = LogEntries().size();
    addPacketRow(Line(adapter));
    const std::vector<std::string> entries = LogEntries();
    ASSERT_EQ(entries.size(), before + 4) << adapter;
    EXPECT_EQ(entries[before + 2], Entry(-1, "Ошибка при добавлениии трафика в БД через ADO"));
    EXPECT_EQ(entries[before + 3], Entry(0, "Error add Record"));
    const bool waited =
        entries[before].find("next attempt to reconnect is due in") != std::string::npos;
    EXPECT_EQ(waited, !attempt) << entries[before];
  };
  failed_packet(2, true);   // the lost connection shows itself
  failed_packet(3, false);  // the connect at the open was less than a second ago
  now_ms_ += 999;
  failed_packet(4, false);
  now_ms_ += 1;
  failed_packet(5, true);  // tried: the server is still away
  failed_packet(6, false);
  ASSERT_TRUE(cluster_->Start()) << cluster_->failure();
  now_ms_ += 500;
  failed_packet(7, false);  // back, but the last attempt was half a second ago
  now_ms_ += 500;
  const size_t before = LogEntries().size();
  addPacketRow(Line(8));  // reconnects and goes in
  addPacketRow(Line(9));
  EXPECT_EQ(LogEntries().size(), before);
  EXPECT_EQ(cluster_->Rows("SELECT adapter FROM packets ORDER BY logged, adapter"),
            (std::vector<std::string>{"1", "8", "9"}));
}

// 1200 rows take two statements; the refused row in the second costs that one's rows a try each.
// While the server is away every row is reported as on its own, and reconnecting waits its
// second whatever the batches do.
TEST_F(PostgresPacketTableTest, BatchKeepsAllButRefusedRowsAndReconnectsOnceASecond) {
  ASSERT_TRUE(
      cluster_->Exec(std::string(kGoodTable) + "; ALTER TABLE packets ADD CHECK (length < 9000)"));
  ASSERT_TRUE(CreatePacketTableWriter(0, lock_));
  const auto reported_rows = [this](uint16_t first, uint16_t count) {
    PacketLineBatch batch;
    for (PacketRecord record = SampleRecord(); batch.size() < count; batch.Add(record, 255)) {
      record.Interface = static_cast<uint16_t>(first + batch.size());
      record.PacketLength = record.Interface == 1100 ? 9000 : 60;
    }
    ClearLog();
    addPacketRows(batch);
    const std::vector<std::string> entries = LogEntries();
    for (size_t i = 3; i < entries.size(); i += 4) {
      EXPECT_EQ(entries[i], Entry(0, "Error add Record"));
    }
    return entries.size() / 4;
  };
  EXPECT_EQ(reported_rows(0, 1200), 1u);
  ASSERT_TRUE(cluster_->Stop()) << cluster_->failure();
  EXPECT_EQ(reported_rows(2000, 3), 3u);
  ASSERT_TRUE(cluster_->Start()) << cluster_->failure();
  now_ms_ += 999;
  EXPECT_EQ(reported_rows(3000, 2), 2u);
  now_ms_ += 1;
  EXPECT_EQ(reported_rows(4000, 2), 0u);
  EXPECT_EQ(cluster_->Rows("SELECT count(*), sum(adapter) FROM packets"),
            std::vector<std::string>{"1201;726301"});
}

}  // namespace
}  // namespace flowsentry::capture
