// The capture thread `capturePackets`: the service's main loop. Each copy opens its own handle on
// the driver's control device, loads its own counter rules, and then reads PacketRecords, credits
// every counter whose rule matches each and hands each to the packet log. In packet mode it reads
// one record per read and commits each credit at once; in batch mode it reads up to readRecords
// records per request (IOCTL_READ_RECORDS), adds the credits to its deltas in memory (committed
// by the flusher) and hands the batch's lines to the packet log at once.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_CAPTURE_THREAD_H_
#define FLOWSENTRY_SERVICE_CAPTURE_CAPTURE_THREAD_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "service/capture/service_context.h"

namespace flowsentry::capture {

// The thread routine. `thread_number` points at the thread's ThreadNumber, which outlives the
// thread; thread 0 also lists the adapters, sets up the packet table writer and switches capture
// on. Runs until it reads a record after SyncEvent was signalled, or until its sixth failed
// read; every copy switches capture off when it ends. A record read after the stop is dropped in
// packet mode; in batch mode the batch read then is accounted whole before the loop ends. Always
// returns 0.
//
// Needs `context` (and with it ServiceLock and SyncEvent) for its whole life.
//
// Terminated (platform::Thread::Terminate), the thread returns at its next device request or at
// once if it waits in one, without any of its end steps: no end lines, no switch-off request. It
// looks at the termination only outside ServiceLock, so it never leaves the lock held, a
// database transaction open or a half-written packet log line behind; what it owns (its rules,
// its device handle) is released on the way out.
uint32_t capturePackets(ServiceContext& context, const uint16_t* thread_number);

// A message of capture thread `number`: "Thread N", the number and the text joined by single
// blanks. Pure.
std::string ThreadMessage(uint16_t number, std::string_view text);

// The end counts: "Thread N", the number, the text, " - " and the count. Pure.
std::string ThreadCountMessage(uint16_t number, std::string_view text, int64_t count);

// Reads a capture thread fails before its loop ends.
inline constexpr int32_t kReadFailureLimit = 5;

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_CAPTURE_THREAD_H_
