#include "driver/runtime/kernel.h"

#include <atomic>
#include <chrono>
#include <cstdio>

namespace flowsentry::ddk {
namespace {

std::atomic<SystemTimeSource> time_source{nullptr};
std::atomic<DebugSink> debug_sink{nullptr};

thread_local bool thread_time_set = false;
thread_local int64_t thread_time = 0;

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochGapSeconds = 11'644'473'600;

int64_t HostSystemTime() {
  auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  int64_t units = std::chrono::duration_cast<std::chrono::nanoseconds>(since_1970).count() / 100;
  return units + kEpochGapSeconds * 10'000'000;
}

}  // namespace

void KeQuerySystemTime(LARGE_INTEGER* current_time) {
  if (thread_time_set) {
    current_time->QuadPart = thread_time;
    return;
  }
  SystemTimeSource source = time_source.load();
  current_time->QuadPart = source != nullptr ? source() : HostSystemTime();
}

void SetSystemTimeSource(SystemTimeSource source) { time_source.store(source); }

void SetThreadSystemTime(int64_t time) {
  thread_time = time;
  thread_time_set = true;
}

void ClearThreadSystemTime() { thread_time_set = false; }

void DbgPrint(std::string_view line) {
  DebugSink sink = debug_sink.load();
  if (sink != nullptr) {
    sink(line);
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void SetDebugSink(DebugSink sink) { debug_sink.store(sink); }

}  // namespace flowsentry::ddk
