#include "driver/runtime/sources/simulated/simulated_source.h"

namespace flowsentry::ndis {

SimulatedSource::SimulatedSource(Runtime& runtime,
                                 const std::vector<SimulatedAdapter::Config>& adapters)
    : runtime_(runtime) {
  for (const SimulatedAdapter::Config& config : adapters) {
    adapters_.push_back(std::make_shared<SimulatedAdapter>(config));
  }
}

SimulatedSource::~SimulatedSource() { Stop(); }

bool SimulatedSource::Start(std::string* error) {
  for (const auto& adapter : adapters_) {
    if (!runtime_.AddAdapter(adapter)) {
      *error = "an adapter named " + adapter->Name() + " exists already";
      Stop();
      return false;
    }
    ++added_;
  }
  return true;
}

void SimulatedSource::Stop() {
  // In the reverse order of the adding, as a machine takes its adapters away.
  for (; added_ > 0; --added_) runtime_.RemoveAdapter(adapters_[added_ - 1]->Name());
}

SourceStatistics SimulatedSource::Statistics() const {
  SourceStatistics statistics;
  for (const auto& adapter : adapters_) {
    statistics.received += adapter->FramesReceived();
    statistics.sent += adapter->FramesSent();
  }
  return statistics;
}

}  // namespace flowsentry::ndis
