// One kind of lower adapters for the runtime: live interfaces, capture files, simulated
// adapters. A source is made with everything it needs to know; Start adds its adapters to the
// runtime (the protocols registered there bind to them) and starts feeding them frames from
// threads of its own; Stop ends the feeding and removes every adapter it added.
//
// Start and Stop are called from one thread; Statistics is safe from any thread once Start has
// returned.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_SOURCE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_SOURCE_H_

#include <cstdint>
#include <functional>
#include <string>

namespace flowsentry::ndis {

// Where a source tells what it binds, unbinds and finishes: one line at a time, from any thread.
using SourceLog = std::function<void(const std::string& line)>;

// Frames of a source's adapters since it started, over every adapter it has or had.
struct SourceStatistics {
  uint64_t received = 0;  // indicated up to the driver (the receive path)
  uint64_t sent = 0;      // passed down to the adapters by the driver (the send path)
  uint64_t dropped = 0;   // lost before the driver saw them (a live capture's kernel drops)
};

class AdapterSource {
 public:
  virtual ~AdapterSource() = default;

  // False, with a message naming the file, interface or resource at fault, when the source
  // cannot start; nothing of it stays added then.
  virtual bool Start(std::string* error) = 0;

  // Ends the feeding and removes every adapter the source added. Harmless when not started, or
  // stopped already.
  virtual void Stop() = 0;

  virtual SourceStatistics Statistics() const = 0;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_SOURCE_H_
