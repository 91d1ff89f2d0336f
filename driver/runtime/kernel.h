// The few kernel services the driver uses beside NDIS: the system time, the debugger print,
// and the driver object the loader hands to DriverEntry.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_KERNEL_H_
#define FLOWSENTRY_DRIVER_RUNTIME_KERNEL_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace flowsentry::ddk {

struct LARGE_INTEGER {
  int64_t QuadPart = 0;
};

// The system time: 100-nanosecond units since 1601-01-01 UTC.
void KeQuerySystemTime(LARGE_INTEGER* current_time);

// Replaces the clock (for tests); nullptr restores the host's clock. The source is called from
// any thread and must be safe there.
using SystemTimeSource = int64_t (*)();
void SetSystemTimeSource(SystemTimeSource source);

// Stamps the calling thread's reads of the system time with `time` (100-nanosecond units since
// 1601) until it is cleared: a replay of a capture file runs the driver's capture step on its
// own thread and gives the frame's recorded time this way, so concurrent replays never share
// one clock. Takes precedence over the source above on that thread only.
void SetThreadSystemTime(int64_t time);
void ClearThreadSystemTime();

// The driver's debug output. By default it goes to standard error; a test can take the lines.
void DbgPrint(std::string_view line);
using DebugSink = void (*)(std::string_view line);
void SetDebugSink(DebugSink sink);  // nullptr: standard error again

struct DRIVER_OBJECT {
  void* runtime = nullptr;  // the runtime that loaded the driver
  void* wrapper = nullptr;  // set by NdisMInitializeWrapper
};

}  // namespace flowsentry::ddk

#endif  // FLOWSENTRY_DRIVER_RUNTIME_KERNEL_H_
