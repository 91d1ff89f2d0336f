#include "driver/runtime/sources/simulated/simulated_source.h"

#include <gtest/gtest.h>

namespace flowsentry::ndis {
namespace {

SimulatedAdapter::Config Named(const char* name) {
  SimulatedAdapter::Config config;
  config.name = name;
  return config;
}

TEST(SimulatedSourceTest, AddsItsAdaptersOrNoneAndRemovesThemOnStop) {
  Runtime runtime;
  SimulatedSource first(runtime, {Named("sim0"), Named("sim1")});
  std::string error;
  ASSERT_TRUE(first.Start(&error)) << error;
  // sim2 was added before sim1 was refused, and is taken away again.
  SimulatedSource second(runtime, {Named("sim2"), Named("sim1")});
  EXPECT_FALSE(second.Start(&error));
  EXPECT_EQ(error, "an adapter named sim1 exists already");
  SimulatedSource third(runtime, {Named("sim2")});
  EXPECT_TRUE(third.Start(&error)) << error;
  first.Stop();
  first.Stop();
  SimulatedSource fourth(runtime, {Named("sim0"), Named("sim1")});
  EXPECT_TRUE(fourth.Start(&error)) << error;
}

}  // namespace
}  // namespace flowsentry::ndis
