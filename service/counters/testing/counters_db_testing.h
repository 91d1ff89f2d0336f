// For the tests of the counters database: a temporary machine root with DESTPATH set and a
// counters database made from db/schema.sql, reached through SQLite directly to arrange and
// inspect rows, and the diagnostic log read back line by line.
#ifndef FLOWSENTRY_SERVICE_COUNTERS_TESTING_COUNTERS_DB_TESTING_H_
#define FLOWSENTRY_SERVICE_COUNTERS_TESTING_COUNTERS_DB_TESTING_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/temp_root.h"

namespace flowsentry::counters::testing {

inline constexpr char kDestPath[] = "/opt/flowsentry";

class CountersDbTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 public:
  // Runs SQL on a connection of the test's own; fails the test on an error.
  void Exec(std::string_view sql);
  // The rows a query yields, each as its columns joined by ";" (NULL as "NULL").
  std::vector<std::string> Rows(std::string_view sql);

  // Adds a counters row with the given values.
  void AddCounter(std::string_view name, int64_t packets, int64_t bytes, int64_t timecount,
                  std::string_view parameters = "Interface=0|", int state = 0,
                  int64_t timecreate = 100);

  // The physical lines of the diagnostic log, each from " Code: " on (the timestamp varies).
  std::vector<std::string> LogLines() const;
  // A log line as LogLines gives it, for a UTF-8 text.
  static std::string Line(int32_t code, std::string_view text);
  void ClearLog() const;

  std::string DatabaseHostPath() const;
  void RemoveDatabase() const;

  std::unique_ptr<platform::testing::TempRoot> root_;
};

}  // namespace flowsentry::counters::testing

#endif  // FLOWSENTRY_SERVICE_COUNTERS_TESTING_COUNTERS_DB_TESTING_H_
