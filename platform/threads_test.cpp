#include "platform/threads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/last_error.h"
#include "platform/testing/fake_device.h"
#include "platform/testing/sanitizers.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::platform {
namespace {

constexpr uint32_t kStatusCancelled = 0xC0000120;

std::vector<const WaitObject*> ObjectsOf(const std::vector<std::unique_ptr<Event>>& events) {
  std::vector<const WaitObject*> objects;
  for (const auto& event : events) objects.push_back(&event->object());
  return objects;
}

TEST(WaitTest, AnswersTheLowestSignalledIndexOrAllAtOnce) {
  struct Case {
    std::string name;
    size_t count;
    std::vector<size_t> set;
    bool wait_all;
    uint32_t timeout_ms;
    uint32_t expected;
  };
  const Case cases[] = {
      {"none set, poll", 3, {}, false, 0, WAIT_TIMEOUT},
      {"none set, time-out", 3, {}, false, 30, WAIT_TIMEOUT},
      {"lowest of two wins", 3, {2, 1}, false, INFINITE, WAIT_OBJECT_0 + 1},
      {"all set, any", 3, {0, 1, 2}, false, 0, WAIT_OBJECT_0},
      {"only the last", 3, {2}, false, 0, WAIT_OBJECT_0 + 2},
      {"two of three, all", 3, {0, 2}, true, 30, WAIT_TIMEOUT},
      {"all set, all", 3, {0, 1, 2}, true, INFINITE, WAIT_OBJECT_0},
      {"one object", 1, {0}, true, 0, WAIT_OBJECT_0},
      {"64, only the last", 64, {63}, false, 0, WAIT_OBJECT_0 + 63},
      {"64, all", 64,
       [] {
         std::vector<size_t> all;
         for (size_t i = 0; i < 64; ++i) all.push_back(i);
         return all;
       }(),
       true, 0, WAIT_OBJECT_0},
      {"64, one missing", 64, {0, 1, 2, 3}, true, 0, WAIT_TIMEOUT},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<Event>> events;
    for (size_t i = 0; i < c.count; ++i) events.push_back(std::make_unique<Event>());
    for (size_t i : c.set) events[i]->Set();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(ObjectsOf(events), c.wait_all, c.timeout_ms), c.expected)
        << c.name;
    if (c.expected == WAIT_TIMEOUT) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.timeout_ms))
          << c.name;
    }
  }
}

TEST(WaitTest, RefusesBadObjectLists) {
  Event event;
  const Thread empty;
  std::vector<const WaitObject*> too_many(65, &event.object());
  const struct {
    std::string name;
    std::vector<const WaitObject*> objects;
    Win32Error error;
  } cases[] = {
      {"none", {}, ERROR_INVALID_PARAMETER},
      {"65", too_many, ERROR_INVALID_PARAMETER},
      {"a null one", {&event.object(), nullptr}, ERROR_INVALID_PARAMETER},
      {"an empty thread's", {&event.object(), &empty.object()}, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    for (bool wait_all : {false, true}) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(WaitForMultipleObjects(c.objects, wait_all, INFINITE), WAIT_FAILED) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
  }
  // The same object twice is one object.
  event.Set();
  const WaitObject* twice[] = {&event.object(), &event.object()};
  EXPECT_EQ(WaitForMultipleObjects(twice, true, 0), WAIT_OBJECT_0);
}

TEST(WaitTest, WaitersWakeOnTheSignalTheyWaitFor) {
  Event a, b, c;
  const WaitObject* objects[] = {&a.object(), &b.object(), &c.object()};
  uint32_t any_result = 0;
  uint32_t all_result = 0;
  Thread any = Thread::Create([&] {
    any_result = WaitForMultipleObjects(objects, false, INFINITE);
    return 0u;
  });
  Thread all = Thread::Create([&] {
    all_result = WaitForMultipleObjects(objects, true, INFINITE);
    return 0u;
  });
  c.Set();
  EXPECT_EQ(any.Wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(any_result, WAIT_OBJECT_0 + 2);
  EXPECT_EQ(all.Wait(0), WAIT_TIMEOUT);
  a.Set();
  b.Set();
  EXPECT_EQ(all.Wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(all_result, WAIT_OBJECT_0);

  // Signalled one after the other but never both at once: a wait for all never ends.
  Event first, second;
  const WaitObject* pair[] = {&first.object(), &second.object()};
  Thread toggler = Thread::Create([&] {
    for (int i = 0; i < 200; ++i) {
      first.Set();
      first.Reset();
      second.Set();
      second.Reset();
    }
    return 0u;
  });
  Thread waiter = Thread::Create([&] { return WaitForMultipleObjects(pair, true, 100); });
  const WaitObject* both[] = {&toggler.object(), &waiter.object()};
  EXPECT_EQ(WaitForMultipleObjects(both, true, INFINITE), WAIT_OBJECT_0);
  uint32_t code = 0;
  ASSERT_TRUE(waiter.GetExitCode(code));
  EXPECT_EQ(code, WAIT_TIMEOUT);
}

TEST(EventTest, StaysSetUntilResetAndReleasesEveryWaiter) {
  Event event(true);
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);  // manual reset: a wait does not clear it
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(event.Wait(20), WAIT_TIMEOUT);

  std::vector<Thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.push_back(Thread::Create([&] { return event.Wait(INFINITE); }));
  event.Set();
  event.Set();
  for (Thread& waiter : waiters) {
    EXPECT_EQ(waiter.Wait(INFINITE), WAIT_OBJECT_0);
    uint32_t code = 1;
    ASSERT_TRUE(waiter.GetExitCode(code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
  }
  EXPECT_TRUE(event.IsSet());
}

TEST(ThreadTest, ExitCodesAndHandles) {
  Event release;
  auto held = std::make_shared<int>(0);
  Thread thread = Thread::Create([&release, held] { return release.Wait(INFINITE) + 42; });
  ASSERT_TRUE(thread.IsValid());
  uint32_t code = 0;
  ASSERT_TRUE(thread.GetExitCode(code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(thread.Wait(0), WAIT_TIMEOUT);
  Thread moved = std::move(thread);
  release.Set();
  EXPECT_EQ(moved.Wait(INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(moved.GetExitCode(code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(held.use_count(), 1);   // the routine's captures went before the thread ended
  EXPECT_TRUE(moved.Terminate(7));  // an ended thread keeps its code
  ASSERT_TRUE(moved.GetExitCode(code));
  EXPECT_EQ(code, 42u);

  // A closed handle neither stops nor waits for its thread.
  Event go, done;
  Thread::Create([&] {
    go.Wait(INFINITE);
    done.Set();
    return 0u;
  });
  go.Set();
  EXPECT_EQ(done.Wait(INFINITE), WAIT_OBJECT_0);

  Thread empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(empty.Wait(0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(empty.GetExitCode(code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(empty.Terminate(0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ThisThreadTerminated());
}

using flowsentry::testing::kSanitized;

[[noreturn]] void CreateWithoutAddressSpace() {
  size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t used = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{used + (1 << 20), used + (1 << 20)};
  ::setrlimit(RLIMIT_AS, &limit);
  Thread thread = Thread::Create([] { return 0u; });
  std::_Exit(!thread.IsValid() && GetLastError() == ERROR_NOT_ENOUGH_MEMORY ? 0 : 1);
}

// With no address space left for a stack, Create answers an empty Thread and an error instead of
// throwing or ending the process. Run in a child process, whose address space is then limited.
TEST(ThreadTest, CreateFailsAsAValue) {
  if (kSanitized) GTEST_SKIP() << "address space limits break the sanitizers";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(CreateWithoutAddressSpace(), ::testing::ExitedWithCode(0), "");
}

TEST(CriticalSectionTest, IsRecursiveAndOwnedByOneThread) {
  CriticalSection section;
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  auto other_try = [&] {
    Thread thread = Thread::Create([&] {
      if (!section.TryEnter()) return 0u;
      section.Leave();
      return 1u;
    });
    thread.Wait(INFINITE);
    uint32_t code = 2;
    thread.GetExitCode(code);
    return code;
  };
  EXPECT_EQ(other_try(), 0u);
  section.Leave();
  EXPECT_EQ(other_try(), 0u);  // entered twice, left once
  section.Leave();
  EXPECT_EQ(other_try(), 1u);
}

// What a terminated thread's blocking call answered, and whether its end steps ran.
struct Outcome {
  bool point_failed = false;
  Win32Error error = 0;
  bool saw_terminated = false;
  bool end_steps_ran = false;
};

// The shape of a capture loop: block at a point; after a failure, return at once when
// terminated, else run the end steps.
uint32_t RunPoint(const std::function<bool()>& point, Outcome& outcome, Event* ready) {
  if (ready != nullptr) ready->Set();
  if (point()) return 1;
  outcome.point_failed = true;
  outcome.error = GetLastError();
  outcome.saw_terminated = ThisThreadTerminated();
  if (outcome.saw_terminated) return 99;
  outcome.end_steps_ran = true;
  return 2;
}

TEST(TerminateTest, WakesEveryKindOfWaitAndEndsTheThread) {
  Event never;
  Thread other = Thread::Create([&] { return never.Wait(INFINITE); });
  const struct {
    std::string name;
    std::function<bool()> point;
  } cases[] = {
      {"Sleep",
       [] {
         Sleep(INFINITE);
         SetLastError(ERROR_OPERATION_ABORTED);
         return false;
       }},
      {"Sleep with a time-out",
       [] {
         Sleep(600000);
         SetLastError(ERROR_OPERATION_ABORTED);
         return false;
       }},
      {"Event::Wait", [&] { return never.Wait(INFINITE) == WAIT_OBJECT_0; }},
      {"Event::Wait with a time-out", [&] { return never.Wait(600000) == WAIT_OBJECT_0; }},
      {"Thread::Wait", [&] { return other.Wait(INFINITE) == WAIT_OBJECT_0; }},
      {"WaitForMultipleObjects",
       [&] {
         const WaitObject* objects[] = {&never.object(), &other.object()};
         return WaitForMultipleObjects(objects, true, 600000) == WAIT_OBJECT_0;
       }},
  };
  for (const auto& c : cases) {
    Outcome outcome;
    Event ready;
    Thread thread = Thread::Create([&] { return RunPoint(c.point, outcome, &ready); });
    ASSERT_EQ(ready.Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(thread.Terminate(7)) << c.name;
    EXPECT_EQ(thread.Wait(0), WAIT_OBJECT_0) << c.name;  // ended by the time Terminate returns
    uint32_t code = 0;
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_EQ(code, 7u) << c.name;
    EXPECT_TRUE(outcome.point_failed) << c.name;
    EXPECT_EQ(outcome.error, ERROR_OPERATION_ABORTED) << c.name;
    EXPECT_TRUE(outcome.saw_terminated) << c.name;
    EXPECT_FALSE(outcome.end_steps_ran) << c.name;
  }
  EXPECT_TRUE(other.Terminate(0));
}

class TerminateDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = DeviceHandle::Open("\\\\.\\Globals\\fake");
    ASSERT_TRUE(handle_.IsOpen());
    device_.Accept();
  }
  void TearDown() override { device_.Hangup(); }

  platform::testing::TempRoot root_;
  platform::testing::FakeDevice device_{root_.Host("/run/flowsentry/devices/Globals/fake")};
  DeviceHandle handle_;
};

// A terminated thread's pending read is cancelled; the read fails whether the driver answers the
// cancel or completes the read with a record first.
TEST_F(TerminateDeviceTest, CancelsTheReadItIsBlockedIn) {
  for (const bool record_first : {false, true}) {
    Outcome outcome;
    std::array<uint8_t, 50> buffer{};
    Thread thread = Thread::Create([&] {
      return RunPoint([&] { return handle_.ReadFile(buffer, nullptr); }, outcome, nullptr);
    });
    platform::testing::FakeDevice::Request read;
    ASSERT_TRUE(device_.Receive(read));
    ASSERT_EQ(read.op, 1);
    std::thread terminator([&] { EXPECT_TRUE(thread.Terminate(3)); });
    platform::testing::FakeDevice::Request cancel;
    ASSERT_TRUE(device_.Receive(cancel));
    EXPECT_EQ(cancel.op, 3);
    EXPECT_EQ(cancel.id, read.id);
    if (record_first) {
      device_.Reply(read.id, 0, 50, std::vector<uint8_t>(41, 0x41));
    } else {
      device_.Reply(read.id, kStatusCancelled, 0);
    }
    terminator.join();
    uint32_t code = 0;
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_EQ(code, 3u) << record_first;
    EXPECT_EQ(outcome.error, ERROR_OPERATION_ABORTED) << record_first;
    EXPECT_TRUE(outcome.saw_terminated) << record_first;
    EXPECT_FALSE(outcome.end_steps_ran) << record_first;
  }
}

// Terminated between points, a thread sees the flag and its next points fail at once: a wait
// does not block, and a request is not even sent.
TEST_F(TerminateDeviceTest, ThreadBetweenPointsFailsAtItsNextPoint) {
  Event never;
  Event spinning;
  uint32_t wait_result = 0;
  Win32Error wait_error = 0;
  bool control_ok = true;
  Win32Error control_error = 0;
  Thread thread = Thread::Create([&] {
    spinning.Set();
    while (!ThisThreadTerminated()) {
    }
    wait_result = never.Wait(INFINITE);
    wait_error = GetLastError();
    std::array<uint8_t, 4> output{};
    const uint8_t input[] = {0};
    control_ok = handle_.DeviceIoControl(0x12C810, input, output, nullptr);
    control_error = GetLastError();
    return 1u;
  });
  ASSERT_EQ(spinning.Wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(thread.Terminate(5));
  EXPECT_EQ(wait_result, WAIT_FAILED);
  EXPECT_EQ(wait_error, ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(control_ok);
  EXPECT_EQ(control_error, ERROR_OPERATION_ABORTED);
  uint32_t code = 0;
  ASSERT_TRUE(thread.GetExitCode(code));
  EXPECT_EQ(code, 5u);
  // Closing ends the requests: the host saw none.
  std::thread closer([&] { EXPECT_TRUE(handle_.Close()); });
  platform::testing::FakeDevice::Request request;
  EXPECT_FALSE(device_.Receive(request));
  device_.Hangup();
  closer.join();
}

// A loop that takes a lock for its work and looks at the flag only at its points, out of the
// lock: however Terminate falls, the lock is free once the thread has ended.
TEST(TerminateTest, NeverLeavesACriticalSectionHeld) {
  CriticalSection section;
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> passes{0};
    Event started;
    Thread thread = Thread::Create([&] {
      for (;;) {
        {
          CriticalSectionLock lock(section);
          CriticalSectionLock again(section);
          started.Set();
          for (int i = 0; i < 1000; ++i) passes.fetch_add(1, std::memory_order_relaxed);
        }
        Sleep(0);
        if (ThisThreadTerminated()) return 1u;
      }
    });
    ASSERT_EQ(started.Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(thread.Terminate(0));
    ASSERT_TRUE(section.TryEnter()) << round;
    section.Leave();
  }
}

// Terminate racing the routine's own return: the exit code is one of the two, and a routine that
// saw itself terminated always gets the terminating code.
TEST(TerminateTest, RacesTheThreadsOwnEnd) {
  int terminated_codes = 0;
  for (int round = 0; round < 500; ++round) {
    Thread thread = Thread::Create([] { return ThisThreadTerminated() ? 100u : 5u; });
    EXPECT_TRUE(thread.Terminate(9));
    EXPECT_EQ(thread.Wait(0), WAIT_OBJECT_0);
    uint32_t code = 0;
    ASSERT_TRUE(thread.GetExitCode(code));
    ASSERT_TRUE(code == 5 || code == 9) << "round " << round << ": " << code;
    terminated_codes += code == 9;
    EXPECT_TRUE(thread.Terminate(11));  // a second Terminate changes nothing
    ASSERT_TRUE(thread.GetExitCode(code));
    EXPECT_TRUE(code == 5 || code == 9);
  }
  RecordProperty("terminated_codes", terminated_codes);
}

TEST(SleepTest, SleepsOnAnyThreadAndCutsShortOnlyForTheTerminated) {
  const auto start = std::chrono::steady_clock::now();
  Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  Thread thread = Thread::Create([] {
    const auto begun = std::chrono::steady_clock::now();
    Sleep(20);
    return std::chrono::steady_clock::now() - begun >= std::chrono::milliseconds(20) ? 1u : 0u;
  });
  EXPECT_EQ(thread.Wait(INFINITE), WAIT_OBJECT_0);
  uint32_t code = 0;
  ASSERT_TRUE(thread.GetExitCode(code));
  EXPECT_EQ(code, 1u);
}

}  // namespace
}  // namespace flowsentry::platform
