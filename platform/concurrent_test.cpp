#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

constexpr char kKey[] = "SYSTEM\\Bindings";

TEST(RegistryConcurrencyTest, WritersAreSerializedAndReadersSeeWholeFiles) {
  testing::TempRoot root;
  constexpr int kWriters = 8;
  constexpr int kValues = 25;

  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      RegistryKey key;
      const Win32Error error = RegistryKey::Open(kKey, key);
      // Before the first write the file is missing; afterwards it is always whole.
      if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) ++bad_reads;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < kValues; ++i) {
        const std::string name = "b" + std::to_string(w) + "_" + std::to_string(i);
        EXPECT_EQ(RegistrySetString(kKey, name, "UpperBindings of " + name), ERROR_SUCCESS);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValues; ++i) {
      const std::string name = "b" + std::to_string(w) + "_" + std::to_string(i);
      std::string value;
      ASSERT_EQ(RegistryGetString(kKey, name, value), ERROR_SUCCESS) << name;
      EXPECT_EQ(value, "UpperBindings of " + name);
    }
  }
}

TEST(LastErrorConcurrencyTest, EachThreadHasItsOwn) {
  SetLastError(7);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([t, &wrong] {
      if (GetLastError() != 0) ++wrong;
      for (int i = 0; i < 1000; ++i) {
        SetLastError(static_cast<Win32Error>(t * 1000 + i));
        if (GetLastError() != static_cast<Win32Error>(t * 1000 + i)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(GetLastError(), 7u);
}

TEST(FilesConcurrencyTest, ExclusiveWritersAcrossThreadsNeverOverlap) {
  testing::TempRoot root;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        File f = File::Open("/f", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            Disposition::kOpenAlways);
        if (!f.IsOpen()) {
          if (GetLastError() != ERROR_SHARING_VIOLATION) ++overlaps;
          continue;
        }
        ++opened;
        if (inside.fetch_add(1) != 0) ++overlaps;
        f.Seek(0, SeekOrigin::kEnd);
        f.Write("x");
        inside.fetch_sub(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(opened.load(), 0);
}

}  // namespace
}  // namespace flowsentry::platform
