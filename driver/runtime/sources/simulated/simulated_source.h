// Simulated adapters as an adapter source, for tests: the adapters a test scripts
// (SimulatedAdapter), added to the runtime when the source starts and removed when it stops.
// Never linked into pactrak.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SIMULATED_SIMULATED_SOURCE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SIMULATED_SIMULATED_SOURCE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "driver/runtime/runtime.h"
#include "driver/runtime/sources/adapter_source.h"
#include "driver/runtime/testing/simulated_adapter.h"

namespace flowsentry::ndis {

class SimulatedSource final : public AdapterSource {
 public:
  // One adapter per configuration, in this order.
  SimulatedSource(Runtime& runtime, const std::vector<SimulatedAdapter::Config>& adapters);
  ~SimulatedSource() override;  // Stop()
  SimulatedSource(const SimulatedSource&) = delete;
  SimulatedSource& operator=(const SimulatedSource&) = delete;

  // Adds every adapter; fails on a name the runtime knows already, adding none.
  bool Start(std::string* error) override;
  void Stop() override;
  // received: frames that reached one open at least; sent: sends the adapters took; nothing is
  // dropped.
  SourceStatistics Statistics() const override;

  // The adapter at `index`, to script and to drive; it lives as long as the source.
  SimulatedAdapter& Adapter(size_t index) const { return *adapters_.at(index); }

 private:
  Runtime& runtime_;
  std::vector<std::shared_ptr<SimulatedAdapter>> adapters_;
  size_t added_ = 0;  // the first added_ adapters are in the runtime
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_SIMULATED_SIMULATED_SOURCE_H_
