#include "setup/waits.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace flowsentry::setup {
namespace {

using platform::SERVICE_RUNNING;
using platform::SERVICE_START_PENDING;
using platform::SERVICE_STATUS;
using platform::SERVICE_STATUS_PROCESS;
using platform::SERVICE_STOP_PENDING;
using platform::SERVICE_STOPPED;

// A clock that moves only when the code under test sleeps, and records every sleep.
struct FakeTime {
  explicit FakeTime(uint32_t start) : now(start) {}
  Waits waits() {
    return Waits{[this](uint32_t ms) {
                   slept.push_back(ms);
                   now += ms;
                 },
                 [this] { return now; }};
  }
  uint32_t now;
  std::vector<uint32_t> slept;
};

// One scripted answer of a status query: nullopt is a failed query.
std::optional<SERVICE_STATUS_PROCESS> StartAnswer(uint32_t state, uint32_t check_point = 0,
                                                  uint32_t wait_hint = 0) {
  SERVICE_STATUS_PROCESS status;
  status.dwCurrentState = state;
  status.dwCheckPoint = check_point;
  status.dwWaitHint = wait_hint;
  return status;
}

TEST(WaitsTest, PollIntervalIsATenthOfTheHintWithinOneAndTenSeconds) {
  struct Case {
    uint32_t hint, ms;
  };
  for (const Case& c : {Case{0, 1000}, Case{3000, 1000}, Case{10000, 1000}, Case{25000, 2500},
                        Case{100000, 10000}, Case{100009, 10000}, Case{0xFFFFFFFF, 10000}}) {
    EXPECT_EQ(StartPollMs(c.hint), c.ms) << c.hint;
  }
}

TEST(WaitsTest, StartPendingWatch) {
  constexpr uint32_t kNearWrap = 0xFFFFF800;  // the tick count wraps during the wait
  struct Case {
    std::string name;
    std::optional<SERVICE_STATUS_PROCESS> first;
    std::vector<std::optional<SERVICE_STATUS_PROCESS>> answers;
    bool result;
    uint32_t final_state;
    std::vector<uint32_t> slept;
  };
  const std::vector<Case> cases = {
      {"already running", StartAnswer(SERVICE_RUNNING), {}, true, SERVICE_RUNNING, {}},
      {"progress then running",
       StartAnswer(SERVICE_START_PENDING, 1, 3000),
       {StartAnswer(SERVICE_START_PENDING, 2, 3000), StartAnswer(SERVICE_START_PENDING, 3, 3000),
        StartAnswer(SERVICE_RUNNING)},
       true,
       SERVICE_RUNNING,
       {1000, 1000, 1000}},
      {"no progress: gives up once more than the hint has passed",
       StartAnswer(SERVICE_START_PENDING, 1, 3000),
       {StartAnswer(SERVICE_START_PENDING, 1, 3000), StartAnswer(SERVICE_START_PENDING, 1, 3000),
        StartAnswer(SERVICE_START_PENDING, 1, 3000), StartAnswer(SERVICE_START_PENDING, 1, 3000),
        StartAnswer(SERVICE_RUNNING)},
       true,
       SERVICE_START_PENDING,
       {1000, 1000, 1000, 1000}},
      {"a smaller check point is no progress",
       StartAnswer(SERVICE_START_PENDING, 5, 1500),
       {StartAnswer(SERVICE_START_PENDING, 3, 1500), StartAnswer(SERVICE_START_PENDING, 4, 1500),
        StartAnswer(SERVICE_RUNNING)},
       true,
       SERVICE_START_PENDING,
       {1000, 1000}},
      {"progress restarts the time; the poll follows the current hint",
       StartAnswer(SERVICE_START_PENDING, 1, 2000),
       {StartAnswer(SERVICE_START_PENDING, 1, 2000), StartAnswer(SERVICE_START_PENDING, 2, 50000),
        StartAnswer(SERVICE_START_PENDING, 2, 50000), StartAnswer(SERVICE_STOPPED)},
       true,
       SERVICE_STOPPED,
       {1000, 1000, 5000, 5000}},
      {"a failed query ends the watch",
       StartAnswer(SERVICE_START_PENDING, 1, 3000),
       {StartAnswer(SERVICE_START_PENDING, 2, 3000), std::nullopt, StartAnswer(SERVICE_RUNNING)},
       false,
       SERVICE_START_PENDING,
       {1000, 1000}},
  };
  for (const Case& c : cases) {
    FakeTime time(kNearWrap);
    std::deque<std::optional<SERVICE_STATUS_PROCESS>> script(c.answers.begin(), c.answers.end());
    const auto query = [&](SERVICE_STATUS_PROCESS& status) {
      if (script.empty()) {
        ADD_FAILURE() << c.name << ": queried once too often";
        return false;
      }
      const std::optional<SERVICE_STATUS_PROCESS> answer = script.front();
      script.pop_front();
      if (answer) status = *answer;
      return answer.has_value();
    };
    SERVICE_STATUS_PROCESS status = *c.first;
    EXPECT_EQ(WaitWhileStartPending(query, status, time.waits()), c.result) << c.name;
    if (c.result) {
      EXPECT_EQ(status.dwCurrentState, c.final_state) << c.name;
    }
    EXPECT_EQ(time.slept, c.slept) << c.name;
  }
}

TEST(WaitsTest, StopPendingPoll) {
  struct Case {
    std::string name;
    std::vector<std::optional<uint32_t>> answers;  // states; nullopt is a failed query
    uint32_t final_state;
    std::vector<uint32_t> slept;
    size_t queries;
  };
  const std::vector<Case> cases = {
      {"pending then stopped",
       {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED, SERVICE_RUNNING},
       SERVICE_STOPPED,
       {1000, 500, 500},
       3},
      {"stopped at the first look", {SERVICE_STOPPED}, SERVICE_STOPPED, {1000}, 1},
      {"running again is not stopped", {SERVICE_RUNNING}, SERVICE_RUNNING, {1000}, 1},
      {"a failed first query keeps the stop's answer",
       {std::nullopt, SERVICE_STOPPED},
       SERVICE_STOP_PENDING,
       {1000},
       1},
      {"a failed query keeps the last state seen",
       {SERVICE_STOP_PENDING, std::nullopt, SERVICE_STOPPED},
       SERVICE_STOP_PENDING,
       {1000, 500},
       2},
  };
  for (const Case& c : cases) {
    FakeTime time(0);
    size_t queries = 0;
    const auto query = [&](SERVICE_STATUS& status) {
      const std::optional<uint32_t> answer = c.answers.at(queries++);
      if (answer) {
        status.dwCurrentState = *answer;
      } else {
        status.dwCurrentState = 0xDEAD;  // a failed query must not leak what it wrote
      }
      return answer.has_value();
    };
    SERVICE_STATUS status;
    status.dwCurrentState = SERVICE_STOP_PENDING;  // as the stop control answered
    WaitWhileStopPending(query, status, time.waits());
    EXPECT_EQ(status.dwCurrentState, c.final_state) << c.name;
    EXPECT_EQ(time.slept, c.slept) << c.name;
    EXPECT_EQ(queries, c.queries) << c.name;
  }
}

}  // namespace
}  // namespace flowsentry::setup
