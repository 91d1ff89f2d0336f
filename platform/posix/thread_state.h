// The termination state of a thread made by Thread::Create, and the termination points through
// which the platform's blocking calls let Thread::Terminate wake them. Internal to the POSIX
// implementation.
//
// A blocking call makes itself a termination point by entering one before it blocks and leaving
// it once it no longer blocks. Entering and terminating take the thread state's one mutex, so
// either Terminate finds the point's canceller and runs it, or the point finds the thread
// terminated and does not block at all: no wake-up is lost.
#ifndef FLOWSENTRY_PLATFORM_POSIX_THREAD_STATE_H_
#define FLOWSENTRY_PLATFORM_POSIX_THREAD_STATE_H_

#include <atomic>
#include <mutex>

namespace flowsentry::platform::posix {

// Wakes one blocked call: a reference to a callable that the caller keeps alive while the point
// is entered. It runs on the terminating thread with the terminated thread's state locked, so it
// must be short, and must not take a lock that its own thread holds while entering or leaving
// the point.
class Canceller {
 public:
  template <typename F>
  explicit Canceller(F& callable)
      : callable_(&callable), run_([](void* target) { (*static_cast<F*>(target))(); }) {}

  void operator()() const { run_(callable_); }

 private:
  void* callable_;
  void (*run_)(void*);
};

class ThreadState {
 public:
  bool terminated() const { return terminated_.load(std::memory_order_acquire); }

  // Registers `canceller` for the call the thread is about to block in; false, registering
  // nothing, once the thread is terminated. Called by the thread itself, one point at a time.
  bool EnterPoint(const Canceller& canceller) {
    std::lock_guard lock(mutex_);
    if (terminated()) return false;
    canceller_ = &canceller;
    return true;
  }

  // Ends the registration; waits for a canceller that is running, so that it never outlives the
  // point.
  void LeavePoint() {
    std::lock_guard lock(mutex_);
    canceller_ = nullptr;
  }

  // Marks the thread terminated and wakes the point it is in. From any thread.
  void Terminate() {
    std::lock_guard lock(mutex_);
    terminated_.store(true, std::memory_order_release);
    if (canceller_ != nullptr) (*canceller_)();
  }

 private:
  std::mutex mutex_;
  std::atomic<bool> terminated_{false};
  const Canceller* canceller_ = nullptr;  // the entered point's, not owned
};

// The calling thread's state: null on threads not made by Thread::Create.
ThreadState* CurrentThreadState();

// One termination point of the calling thread, left at the latest on destruction. On threads not
// made by Thread::Create it does nothing and never reports termination.
class TerminationPoint {
 public:
  TerminationPoint() : state_(CurrentThreadState()) {}
  TerminationPoint(const TerminationPoint&) = delete;
  TerminationPoint& operator=(const TerminationPoint&) = delete;
  ~TerminationPoint() { Leave(); }

  // False when the thread is terminated: the caller must then not block, and fail with
  // ERROR_OPERATION_ABORTED. `canceller` must outlive the point's entry.
  bool Enter(const Canceller& canceller) {
    if (state_ == nullptr) return true;
    entered_ = state_->EnterPoint(canceller);
    return entered_;
  }
  void Leave() {
    if (entered_) state_->LeavePoint();
    entered_ = false;
  }
  bool terminated() const { return state_ != nullptr && state_->terminated(); }

 private:
  ThreadState* state_;  // the calling thread's, which outlives the point
  bool entered_ = false;
};

}  // namespace flowsentry::platform::posix

#endif  // FLOWSENTRY_PLATFORM_POSIX_THREAD_STATE_H_
