// Test bench for pactrak: a temporary machine root, a runtime with the driver loaded, a
// recording device host, and the simulated protocol above the virtual adapters.
#ifndef FLOWSENTRY_DRIVER_TESTING_DRIVER_FIXTURE_H_
#define FLOWSENTRY_DRIVER_TESTING_DRIVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/binding.h"
#include "driver/driver_state.h"
#include "driver/pactrak.h"
#include "driver/runtime/runtime.h"
#include "driver/runtime/testing/simulated_adapter.h"
#include "driver/runtime/testing/simulated_protocol.h"
#include "platform/testing/temp_root.h"

namespace flowsentry::pactrak::testing {

// Records what the driver registers; can be told to refuse.
class RecordingDeviceHost : public ddk::DeviceHost {
 public:
  ddk::NTSTATUS CreateDevice(std::string_view kernel_name, std::string_view symbolic_link,
                             const ddk::DispatchTable& /*table*/,
                             ddk::DeviceObject*& device) override {
    std::lock_guard lock(mu_);
    if (refuse_) return ddk::STATUS_INSUFFICIENT_RESOURCES;
    created_ += 1;
    names_.emplace_back(kernel_name);
    links_.emplace_back(symbolic_link);
    device_ = std::make_unique<ddk::DeviceObject>();
    device = device_.get();
    return ddk::STATUS_SUCCESS;
  }
  void DeleteDevice(ddk::DeviceObject* device) override {
    std::lock_guard lock(mu_);
    if (device == device_.get()) device_.reset();
    deleted_ += 1;
  }

  void Refuse(bool refuse) {
    std::lock_guard lock(mu_);
    refuse_ = refuse;
  }
  int created() const {
    std::lock_guard lock(mu_);
    return created_;
  }
  int deleted() const {
    std::lock_guard lock(mu_);
    return deleted_;
  }
  bool exists() const {
    std::lock_guard lock(mu_);
    return device_ != nullptr;
  }
  uint32_t flags() const {
    std::lock_guard lock(mu_);
    return device_ ? device_->Flags : 0;
  }
  std::vector<std::string> names() const {
    std::lock_guard lock(mu_);
    return names_;
  }
  std::vector<std::string> links() const {
    std::lock_guard lock(mu_);
    return links_;
  }

 private:
  mutable std::mutex mu_;
  bool refuse_ = false;
  int created_ = 0;
  int deleted_ = 0;
  std::unique_ptr<ddk::DeviceObject> device_;
  std::vector<std::string> names_;
  std::vector<std::string> links_;
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = std::make_unique<ndis::Runtime>();
    runtime_->SetDeviceHost(&host_);
    runtime_->AttachUpperProtocol(&protocol_);
    ASSERT_EQ(runtime_->LoadDriver(kProtocolName, DriverEntry), ddk::STATUS_SUCCESS);
  }

  void TearDown() override {
    for (auto& adapter : adapters_) runtime_->RemoveAdapter(adapter->Name());
    runtime_->UnloadDriver();
    runtime_->DetachUpperProtocol(&protocol_);
    runtime_.reset();
    adapters_.clear();
    EXPECT_EQ(ndis::MemoryInUse(kPoolTag).blocks, 0u) << "driver memory left after unbinding";
    EXPECT_FALSE(host_.exists());
  }

  std::shared_ptr<ndis::SimulatedAdapter> MakeAdapter(std::string name, ndis::NDIS_MEDIUM medium) {
    ndis::SimulatedAdapter::Config config;
    config.name = std::move(name);
    config.medium = medium;
    auto adapter = std::make_shared<ndis::SimulatedAdapter>(config);
    adapters_.push_back(adapter);
    return adapter;
  }

  std::shared_ptr<ndis::SimulatedAdapter> AddAdapter(
      std::string name, ndis::NDIS_MEDIUM medium = ndis::NdisMedium802_3) {
    auto adapter = MakeAdapter(std::move(name), medium);
    EXPECT_TRUE(runtime_->AddAdapter(adapter));
    return adapter;
  }

  static std::u16string VirtualName(const std::string& adapter) {
    return ndis::WidenName(ndis::Runtime::DefaultUpperBindings(kProtocolName, adapter));
  }

  static std::vector<uint8_t> Frame(size_t length, uint8_t seed = 1) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(seed + i * 7);
    // Ethernet: destination, source 02:00:5e:00:53:xx, IPv4 192.0.2.1 -> 198.51.100.2.
    if (length >= 34) {
      frame[12] = 0x08;
      frame[13] = 0x00;
      frame[14] = 0x45;
      const uint8_t addresses[8] = {192, 0, 2, 1, 198, 51, 100, 2};
      std::copy(addresses, addresses + 8, frame.begin() + 26);
    }
    return frame;
  }

  size_t BindingCount() {
    DriverState& driver = Driver();
    ndis::SpinLockGuard guard(driver.GlobalLock);
    size_t count = 0;
    for (Binding* b = driver.BindingList; b != nullptr; b = b->next) ++count;
    return count;
  }

  platform::testing::TempRoot root_;
  RecordingDeviceHost host_;
  ndis::SimulatedProtocol protocol_;
  std::unique_ptr<ndis::Runtime> runtime_;
  std::vector<std::shared_ptr<ndis::SimulatedAdapter>> adapters_;
};

}  // namespace flowsentry::pactrak::testing

#endif  // FLOWSENTRY_DRIVER_TESTING_DRIVER_FIXTURE_H_
