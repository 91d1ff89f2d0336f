// Starting a std::thread as a value: the manager runs as long as the machine does and serves
// every local user, so a thread it cannot make (thread or address space limit) must be a
// request it refuses, never an exception that ends it.
#ifndef FLOWSENTRY_SCMD_THREAD_START_H_
#define FLOWSENTRY_SCMD_THREAD_START_H_

#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace flowsentry::scmd {

// Runs `args...` on a new thread moved into `thread`; false, with `thread` left as it was, when
// the thread cannot be made.
template <typename... Args>
bool TryStartThread(std::thread& thread, Args&&... args) {
  try {
    thread = std::thread(std::forward<Args>(args)...);
    return true;
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace flowsentry::scmd

#endif  // FLOWSENTRY_SCMD_THREAD_START_H_
