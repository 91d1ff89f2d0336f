#include "platform/threads.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/errno_map.h"
#include "platform/last_error.h"
#include "platform/posix/thread_state.h"

namespace flowsentry::platform {
namespace internal {

// One thread waiting in WaitForMultipleObjects, registered with every object it waits on. It has
// its own mutex and condition variable, so that a signal wakes only those who wait on the object.
struct Waiter {
  std::mutex mutex;
  std::condition_variable changed;
  bool notified = false;  // some object changed since the waiter last looked
  bool aborted = false;   // its thread was terminated
};

class WaitState {
 public:
  WaitState(bool valid, bool signalled) : valid_(valid), signalled_(signalled) {}

  bool valid() const { return valid_; }
  std::mutex& mutex() { return mutex_; }
  // The following need mutex() held.
  bool signalled() const { return signalled_; }
  void Add(Waiter* waiter) { waiters_.push_back(waiter); }
  void Remove(Waiter* waiter) { std::erase(waiters_, waiter); }

  void Set(bool signalled) {
    std::lock_guard lock(mutex_);
    signalled_ = signalled;
    if (!signalled) return;
    for (Waiter* waiter : waiters_) {
      std::lock_guard waiter_lock(waiter->mutex);
      waiter->notified = true;
      waiter->changed.notify_one();
    }
  }

  bool IsSet() {
    std::lock_guard lock(mutex_);
    return signalled_;
  }

 private:
  const bool valid_;  // false only for the object of an empty Thread
  std::mutex mutex_;
  bool signalled_;
  std::vector<Waiter*> waiters_;  // not owned: each removes itself before it goes
};

struct WaitAccess {
  static WaitState* State(const WaitObject& object) { return object.state_.get(); }
  // The object of every empty Thread: never changes, fails every wait.
  static const WaitObject& Invalid() {
    static const WaitObject object(/*valid=*/false);
    return object;
  }
};

// What a thread and its handles share. The thread holds it until it has ended, so that it lives
// on when every handle is closed.
struct ThreadControl {
  posix::ThreadState state;
  WaitObject object;  // signalled once the thread has ended
  std::function<uint32_t()> routine;

  std::mutex mutex;
  bool ended = false;
  std::optional<uint32_t> terminate_code;  // set by the first Terminate before the end
  uint32_t exit_code = 0;
};

}  // namespace internal

namespace {

using internal::WaitAccess;
using internal::Waiter;
using internal::WaitState;

// The state of the thread that runs here, when Thread::Create made it.
thread_local posix::ThreadState* current_state = nullptr;

// Locks a set of wait states in address order, the one order every waiter uses.
class AllLocked {
 public:
  explicit AllLocked(const std::vector<WaitState*>& states) : states_(states) {
    for (WaitState* state : states_) state->mutex().lock();
  }
  AllLocked(const AllLocked&) = delete;
  AllLocked& operator=(const AllLocked&) = delete;
  ~AllLocked() {
    for (auto it = states_.rbegin(); it != states_.rend(); ++it) (*it)->mutex().unlock();
  }

 private:
  const std::vector<WaitState*>& states_;
};

uint32_t Aborted() {
  SetLastError(ERROR_OPERATION_ABORTED);
  return WAIT_FAILED;
}

// The wait of WaitForMultipleObjects; `terminable` makes it a termination point of the caller.
uint32_t WaitFor(std::span<const WaitObject* const> objects, bool wait_all, uint32_t timeout_ms,
                 bool terminable) {
  if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS ||
      std::ranges::find(objects, nullptr) != objects.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<WaitState*> by_index;
  by_index.reserve(objects.size());
  for (const WaitObject* object : objects) {
    WaitState* state = WaitAccess::State(*object);
    if (!state->valid()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    by_index.push_back(state);
  }
  std::vector<WaitState*> states = by_index;
  std::ranges::sort(states);
  states.erase(std::unique(states.begin(), states.end()), states.end());

  // With every state locked, so that "all at one moment" and "the lowest index" hold.
  auto satisfied = [&]() -> std::optional<uint32_t> {
    if (wait_all) {
      if (std::ranges::all_of(states, [](WaitState* state) { return state->signalled(); })) {
        return WAIT_OBJECT_0;
      }
      return std::nullopt;
    }
    for (size_t index = 0; index < by_index.size(); ++index) {
      if (by_index[index]->signalled()) return WAIT_OBJECT_0 + static_cast<uint32_t>(index);
    }
    return std::nullopt;
  };

  Waiter waiter;
  auto cancel = [&waiter] {
    std::lock_guard lock(waiter.mutex);
    waiter.aborted = true;
    waiter.changed.notify_one();
  };
  const posix::Canceller canceller(cancel);
  posix::TerminationPoint point;
  if (terminable && !point.Enter(canceller)) return Aborted();

  {
    AllLocked lock(states);
    if (std::optional<uint32_t> result = satisfied()) return *result;
    if (timeout_ms == 0) return WAIT_TIMEOUT;
    for (WaitState* state : states) state->Add(&waiter);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint32_t result = WAIT_TIMEOUT;
  for (;;) {
    bool timed_out = false;
    {
      std::unique_lock lock(waiter.mutex);
      auto woken = [&] { return waiter.notified || waiter.aborted; };
      if (timeout_ms == INFINITE) {
        waiter.changed.wait(lock, woken);
      } else {
        timed_out = !waiter.changed.wait_until(lock, deadline, woken);
      }
      if (waiter.aborted) {
        result = WAIT_FAILED;
        break;
      }
      // Cleared before looking, so that a signal after the look wakes the waiter again.
      waiter.notified = false;
    }
    AllLocked lock(states);
    if (std::optional<uint32_t> done = satisfied()) {
      result = *done;
      break;
    }
    if (timed_out) break;
  }
  {
    AllLocked lock(states);
    for (WaitState* state : states) state->Remove(&waiter);
  }
  point.Leave();
  return result == WAIT_FAILED ? Aborted() : result;
}

uint32_t WaitForOne(const WaitObject& object, uint32_t timeout_ms, bool terminable) {
  const WaitObject* objects[] = {&object};
  return WaitFor(objects, false, timeout_ms, terminable);
}

void RunThread(std::shared_ptr<internal::ThreadControl> control) {
  current_state = &control->state;
  uint32_t code = control->routine();
  // What the routine holds goes before anyone may see the thread as ended.
  control->routine = nullptr;
  {
    std::lock_guard lock(control->mutex);
    control->ended = true;
    control->exit_code = control->terminate_code.value_or(code);
  }
  internal::WaitAccess::State(control->object)->Set(true);
}

extern "C" void* ThreadStart(void* argument) {
  // Takes back the reference that Create handed over through the C interface.
  std::unique_ptr<std::shared_ptr<internal::ThreadControl>> control(
      static_cast<std::shared_ptr<internal::ThreadControl>*>(argument));
  RunThread(std::move(*control));
  return nullptr;
}

}  // namespace

namespace posix {

ThreadState* CurrentThreadState() { return current_state; }

}  // namespace posix

WaitObject::WaitObject(bool valid, bool signalled)
    : state_(std::make_unique<internal::WaitState>(valid, signalled)) {}
WaitObject::~WaitObject() = default;

Event::Event(bool initially_set) : object_(true, initially_set) {}
Event::~Event() = default;
void Event::Set() { WaitAccess::State(object_)->Set(true); }
void Event::Reset() { WaitAccess::State(object_)->Set(false); }
bool Event::IsSet() const { return WaitAccess::State(object_)->IsSet(); }
uint32_t Event::Wait(uint32_t timeout_ms) const { return WaitForOne(object_, timeout_ms, true); }

Thread::Thread() = default;
Thread::Thread(std::shared_ptr<internal::ThreadControl> control) : control_(std::move(control)) {}
Thread::Thread(Thread&& other) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept = default;
Thread::~Thread() = default;

Thread Thread::Create(std::function<uint32_t()> routine) {
  auto control = std::make_shared<internal::ThreadControl>();
  control->routine = std::move(routine);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto handed = std::make_unique<std::shared_ptr<internal::ThreadControl>>(control);
  pthread_t thread;
  const int error = pthread_create(&thread, &attributes, ThreadStart, handed.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    // EAGAIN is the lack of memory or of a thread slot, which Windows reports this way.
    SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(error));
    return Thread();
  }
  handed.release();  // the new thread owns it now
  return Thread(std::move(control));
}

uint32_t Thread::Wait(uint32_t timeout_ms) const { return WaitForOne(object(), timeout_ms, true); }

bool Thread::GetExitCode(uint32_t& code) const {
  if (control_ == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  std::lock_guard lock(control_->mutex);
  code = control_->ended ? control_->exit_code : STILL_ACTIVE;
  return true;
}

bool Thread::Terminate(uint32_t exit_code) {
  if (control_ == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  {
    std::lock_guard lock(control_->mutex);
    if (!control_->ended && !control_->terminate_code) control_->terminate_code = exit_code;
  }
  control_->state.Terminate();
  if (current_state == &control_->state) return true;
  // Not a termination point: the caller may itself be terminated, and must still see this end.
  WaitForOne(control_->object, INFINITE, false);
  return true;
}

const WaitObject& Thread::object() const {
  return control_ == nullptr ? WaitAccess::Invalid() : control_->object;
}

uint32_t WaitForMultipleObjects(std::span<const WaitObject* const> objects, bool wait_all,
                                uint32_t timeout_ms) {
  return WaitFor(objects, wait_all, timeout_ms, true);
}

void Sleep(uint32_t ms) {
  posix::ThreadState* state = current_state;
  if (state == nullptr) {
    if (ms == INFINITE) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  Waiter waiter;
  auto cancel = [&waiter] {
    std::lock_guard lock(waiter.mutex);
    waiter.aborted = true;
    waiter.changed.notify_one();
  };
  const posix::Canceller canceller(cancel);
  posix::TerminationPoint point;
  if (!point.Enter(canceller)) return;
  if (ms == 0) {
    // As on Windows, gives the rest of the time slice away.
    std::this_thread::yield();
    return;
  }
  std::unique_lock lock(waiter.mutex);
  if (ms == INFINITE) {
    waiter.changed.wait(lock, [&] { return waiter.aborted; });
  } else {
    waiter.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return waiter.aborted; });
  }
}

bool ThisThreadTerminated() { return current_state != nullptr && current_state->terminated(); }

}  // namespace flowsentry::platform
