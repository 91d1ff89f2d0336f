// The driver-wide state of pactrak: the NDIS handles of its two edges, BindingList (newest
// first), the number of initialized virtual adapters and the control device's state, all
// guarded by GlobalLock. One instance, in the driver's data; DriverEntry sets it up.
#ifndef FLOWSENTRY_DRIVER_DRIVER_STATE_H_
#define FLOWSENTRY_DRIVER_DRIVER_STATE_H_

#include <cstdint>

#include "driver/binding.h"

namespace flowsentry::pactrak {

// Control-device states.
inline constexpr uint32_t kControlDeviceReady = 0;
inline constexpr uint32_t kControlDeviceBeingCreated = 1;
inline constexpr uint32_t kControlDeviceBeingDeleted = 2;

struct DriverState {
  ndis::NDIS_HANDLE wrapper_handle = nullptr;
  ndis::NDIS_HANDLE driver_handle = nullptr;  // the layered miniport
  ndis::NDIS_HANDLE protocol_handle = nullptr;
  Binding* BindingList = nullptr;
  uint32_t adapter_count = 0;
  uint32_t control_device_state = kControlDeviceReady;
  ddk::DeviceObject* control_device_object = nullptr;
  ndis::NDIS_HANDLE control_device_handle = nullptr;
  ndis::NDIS_SPIN_LOCK GlobalLock;
};

DriverState& Driver();

// The medium array offered to NdisOpenAdapter, in this order.
inline constexpr ndis::NDIS_MEDIUM kMediumArray[] = {NdisMedium802_3, NdisMedium802_5,
                                                     NdisMediumFddi, NdisMediumWan};
inline constexpr uint32_t kMediumArraySize = 4;

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_DRIVER_STATE_H_
