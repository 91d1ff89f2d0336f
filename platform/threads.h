// Threads, manual-reset events, critical sections and waits, as CreateThread, CreateEvent,
// InitializeCriticalSection, WaitForSingleObject and WaitForMultipleObjects give them on Windows,
// plus a safe stand-in for TerminateThread.
//
// Terminating a thread. Windows' TerminateThread stops a thread wherever it stands, which can
// leave a lock held, a transaction open or a line half written. Thread::Terminate instead stops
// a thread cooperatively, at its next termination point, and this is the contract between the
// two sides:
//  - Terminate(code) marks the thread terminated (ThisThreadTerminated() turns true on it), wakes
//    the termination point it is blocked in, if any, and returns only once the thread has ended;
//    `code` becomes its exit code, whatever the routine returns afterwards.
//  - The termination points are the platform calls that block: DeviceHandle::ReadFile and
//    DeviceHandle::DeviceIoControl (a pending request of a terminated thread is cancelled, as
//    CancelSynchronousIo does, and the call fails with ERROR_OPERATION_ABORTED even when the
//    driver completed it meanwhile; a request made once the thread is terminated fails at once
//    with ERROR_OPERATION_ABORTED and is never sent), Sleep (returns early), and every wait:
//    Event::Wait, Thread::Wait and WaitForMultipleObjects (WAIT_FAILED with
//    ERROR_OPERATION_ABORTED, also for a poll). CriticalSection::Enter is not one: a thread always
//    gets the lock it waits for, and gives it back.
//  - The thread's code checks ThisThreadTerminated() after every failed termination point and,
//    when it is true, returns at once, running none of its end steps; destructors (RAII) release
//    what it owns. It never waits at a termination point while holding a lock, a database
//    transaction or a half-built line (the capture thread takes `ServiceLock` only around work
//    that never waits), so a terminated thread leaves none of these behind.
// Unlike TerminateThread, Terminate waits for the thread's end: its caller (the service's stop)
// destroys the lock and the event the thread uses right afterwards, which must not happen while
// the thread still runs. A thread that never reaches a termination point is never stopped.
//
// Threads: every object may be used from any thread at once, except that moving and destroying
// are not thread-safe. A waited-on object must outlive the waits on it.
#ifndef FLOWSENTRY_PLATFORM_THREADS_H_
#define FLOWSENTRY_PLATFORM_THREADS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

namespace flowsentry::platform {

inline constexpr uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr uint32_t STILL_ACTIVE = 259;

namespace internal {
class WaitState;
struct WaitAccess;
struct ThreadControl;
}  // namespace internal

// Something that can be waited on: a thread (signalled once it has ended) or an event. Made and
// owned by its Event or Thread; callers only take its address for WaitForMultipleObjects.
class WaitObject {
 public:
  WaitObject(const WaitObject&) = delete;
  WaitObject& operator=(const WaitObject&) = delete;
  ~WaitObject();

 private:
  friend class Event;
  friend struct internal::WaitAccess;
  friend struct internal::ThreadControl;
  explicit WaitObject(bool valid = true, bool signalled = false);

  std::unique_ptr<internal::WaitState> state_;
};

// A manual-reset event (CreateEvent with bManualReset TRUE, unnamed): stays signalled from Set
// until Reset, and releases every waiter meanwhile. Neither copyable nor movable, so that
// object() stays valid for the event's whole life.
class Event {
 public:
  explicit Event(bool initially_set = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  void Set();
  void Reset();
  bool IsSet() const;
  // WaitForSingleObject: WAIT_OBJECT_0 once set, WAIT_TIMEOUT after `timeout_ms` (0 polls,
  // INFINITE waits for good); WAIT_FAILED with ERROR_OPERATION_ABORTED when the caller is
  // terminated.
  uint32_t Wait(uint32_t timeout_ms) const;
  const WaitObject& object() const { return object_; }

 private:
  WaitObject object_;
};

// A recursive lock, as a Windows critical section: the owning thread may enter again, and must
// leave as often as it entered. Neither copyable nor movable.
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  // Enters when no other thread owns the section; false otherwise, without waiting.
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Enters the section for the object's life.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& section) : section_(section) { section_.Enter(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;
  ~CriticalSectionLock() { section_.Leave(); }

 private:
  CriticalSection& section_;
};

// A thread handle. Destroying it (CloseHandle) neither waits for the thread nor stops it: a
// running thread goes on to its end, detached. Movable, not copyable; object() stays valid across
// moves, for as long as some handle on the thread lives.
class Thread {
 public:
  Thread();  // no thread
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // CreateThread: runs `routine` on a new thread, at once; its return value becomes the exit
  // code. Everything `routine` holds is destroyed on the thread before the thread counts as
  // ended. When the thread cannot be made: an empty Thread (IsValid() false) and the last error
  // set (ERROR_NOT_ENOUGH_MEMORY when the system lacks the resources); never throws, never ends
  // the process.
  static Thread Create(std::function<uint32_t()> routine);

  bool IsValid() const { return control_ != nullptr; }
  // WaitForSingleObject on the handle: WAIT_OBJECT_0 once the thread has ended, else as
  // Event::Wait; WAIT_FAILED with ERROR_INVALID_HANDLE on an empty Thread.
  uint32_t Wait(uint32_t timeout_ms) const;
  // GetExitCodeThread: STILL_ACTIVE while the thread runs. False with ERROR_INVALID_HANDLE on an
  // empty Thread.
  bool GetExitCode(uint32_t& code) const;
  // The TerminateThread stand-in described at the top of this file: marks the thread terminated,
  // wakes its termination point and returns once the thread has ended, with `code` as its exit
  // code. A thread that has already ended keeps its exit code; a second Terminate keeps the
  // first code. Called by the thread on itself, it marks itself and returns at once (it cannot
  // wait for its own end). False with ERROR_INVALID_HANDLE on an empty Thread.
  bool Terminate(uint32_t exit_code);
  // Waitable; an empty Thread's object fails every wait with ERROR_INVALID_HANDLE.
  const WaitObject& object() const;

 private:
  explicit Thread(std::shared_ptr<internal::ThreadControl> control);

  std::shared_ptr<internal::ThreadControl> control_;
};

// WaitForMultipleObjects on 1..MAXIMUM_WAIT_OBJECTS objects (an object may appear more than
// once). Wait for any: WAIT_OBJECT_0 + the index of the first signalled object (the lowest index
// wins when several are). Wait for all: WAIT_OBJECT_0 once all are signalled at one moment.
// WAIT_TIMEOUT once `timeout_ms` has passed (0 polls, INFINITE waits for good). WAIT_FAILED with
// ERROR_INVALID_PARAMETER for no object, more than MAXIMUM_WAIT_OBJECTS or a null one, with
// ERROR_INVALID_HANDLE for an empty Thread's object, with ERROR_OPERATION_ABORTED when the
// caller is terminated.
uint32_t WaitForMultipleObjects(std::span<const WaitObject* const> objects, bool wait_all,
                                uint32_t timeout_ms);

// Sleep for `ms` milliseconds (INFINITE: for good); a Terminate of the calling thread cuts it
// short.
void Sleep(uint32_t ms);

// True on a thread made by Thread::Create once Terminate has been called for it; false on other
// threads.
bool ThisThreadTerminated();

}  // namespace flowsentry::platform

#endif  // FLOWSENTRY_PLATFORM_THREADS_H_
