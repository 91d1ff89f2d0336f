#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/temp_root.h"
#include "service/host/config.h"
#include "service/host/log.h"

namespace flowsentry::host {
namespace {

TEST(LogStressTest, ConcurrentWritersLoseNoLineAndNeverInterleave) {
  constexpr int kThreads = 16;
  constexpr int kLines = 2000;
  platform::testing::TempRoot root;
  ASSERT_TRUE(root.WriteFile("/d/.keep", ""));
  MutableSettings() = Settings();
  MutableSettings().DESTPATH = "/d";

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        WriteLog("Thread N " + std::to_string(t) + " line " + std::to_string(i), t);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::string contents = root.ReadFile("/d/flowmeter.log");
  std::set<std::pair<int, int>> seen;
  size_t pos = 0;
  size_t lines = 0;
  while (pos < contents.size()) {
    const size_t end = contents.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos) << "last line is cut short";
    const std::string line = contents.substr(pos, end - pos);
    pos = end + 2;
    ++lines;
    // "Time: dd.mm.yy hh:mm:ss Code: T Text: Thread N T line I"
    ASSERT_EQ(line.rfind("Time: ", 0), 0u) << line;
    ASSERT_EQ(line.size() > 23 && line.compare(23, 7, " Code: ") == 0, true) << line;
    int code = -1;
    int thread = -1;
    int index = -1;
    char tail = 0;
    ASSERT_EQ(
        sscanf(line.c_str() + 30, "%d Text: Thread N %d line %d%c", &code, &thread, &index, &tail),
        3)
        << line;
    ASSERT_EQ(code, thread) << line;
    ASSERT_TRUE(seen.emplace(thread, index).second) << "twice: " << line;
  }
  EXPECT_EQ(lines, size_t{kThreads} * kLines);
  EXPECT_EQ(seen.size(), size_t{kThreads} * kLines);
  MutableSettings() = Settings();
}

}  // namespace
}  // namespace flowsentry::host
