// The adapter source pactrak's command line asks for: the live interfaces of --live (with their
// capture buffer) or the capture files of --replay (with pacing, time stamps, passes and the
// host's address), made but not started.
#ifndef FLOWSENTRY_DRIVER_PROGRAM_SOURCE_FACTORY_H_
#define FLOWSENTRY_DRIVER_PROGRAM_SOURCE_FACTORY_H_

#include <memory>

#include "driver/program/options.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/sources/host_stack.h"

namespace flowsentry::pactrak {

// The source refers to `runtime` and `host_stack`, which must outlive it. A lossless replay
// waits for room in the driver's record queue.
std::unique_ptr<ndis::AdapterSource> MakeAdapterSource(const Options& options,
                                                       ndis::Runtime& runtime,
                                                       ndis::HostStack& host_stack,
                                                       ndis::SourceLog log);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_PROGRAM_SOURCE_FACTORY_H_
