#include "service/counters/testing/counters_db_testing.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "service/counters/counter_table.h"
#include "service/host/config.h"

namespace flowsentry::counters::testing {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

struct Closer {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

}  // namespace

void CountersDbTest::SetUp() {
  root_ = std::make_unique<platform::testing::TempRoot>();
  host::MutableSettings().DESTPATH = kDestPath;
  std::filesystem::create_directories(root_->Host(std::string(kDestPath) + "/DB"));
  Exec(ReadWhole(FLOWSENTRY_SCHEMA_PATH));
}

void CountersDbTest::TearDown() {
  host::MutableSettings().DESTPATH.clear();
  root_.reset();
}

std::string CountersDbTest::DatabaseHostPath() const {
  return root_->Host(std::string(kDestPath) + "/DB/counters.mdb");
}

void CountersDbTest::RemoveDatabase() const {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::filesystem::remove(DatabaseHostPath() + suffix);
  }
}

void CountersDbTest::Exec(std::string_view sql) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, Closer> db(raw);
  sqlite3_busy_timeout(db.get(), 5000);
  char* message = nullptr;
  const int rc = sqlite3_exec(db.get(), std::string(sql).c_str(), nullptr, nullptr, &message);
  const std::string text = message != nullptr ? message : "";
  sqlite3_free(message);
  ASSERT_EQ(rc, SQLITE_OK) << text << " in " << sql;
}

std::vector<std::string> CountersDbTest::Rows(std::string_view sql) {
  std::vector<std::string> rows;
  sqlite3* raw = nullptr;
  EXPECT_EQ(sqlite3_open(DatabaseHostPath().c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, Closer> db(raw);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db.get(), std::string(sql).c_str(), -1, &statement, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db.get());
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      if (i > 0) row += ";";
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
      row += text != nullptr ? text : "NULL";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  return rows;
}

void CountersDbTest::AddCounter(std::string_view name, int64_t packets, int64_t bytes,
                                int64_t timecount, std::string_view parameters, int state,
                                int64_t timecreate) {
  std::string quoted_name;
  for (char c : name) {
    if (c == '\'') quoted_name += '\'';
    quoted_name += c;
  }
  Exec("INSERT INTO counters VALUES ('" + quoted_name + "', " + std::to_string(packets) + ", " +
       std::to_string(bytes) + ", " + std::to_string(state) + ", " + std::to_string(timecreate) +
       ", " + std::to_string(timecount) + ", '" + std::string(parameters) + "')");
}

std::vector<std::string> CountersDbTest::LogLines() const {
  const std::string log = ReadWhole(root_->Host(std::string(kDestPath) + "/flowmeter.log"));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    if (line.rfind("Time: ", 0) == 0) {
      const size_t code = line.find(" Code: ");
      if (code != std::string::npos) line = line.substr(code + 1);
    }
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

std::string CountersDbTest::Line(int32_t code, std::string_view text) {
  return "Code: " + std::to_string(code) + " Text: " + platform::Utf8ToCp1251(text);
}

void CountersDbTest::ClearLog() const {
  std::filesystem::remove(root_->Host(std::string(kDestPath) + "/flowmeter.log"));
}

}  // namespace flowsentry::counters::testing
