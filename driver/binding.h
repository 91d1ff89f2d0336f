// The per-adapter record of the driver: one Binding for every lower adapter the protocol edge
// has bound to, with its virtual adapter's state, and its manual reference count.
//
// A Binding is one block of non-paged memory with the driver's pool tag: the fields below,
// then the UpperBindings name's buffer, then the lower adapter name's buffer. It lives from
// bind to the release of its last reference (one from bind, dropped by halt or by an unbind or
// bind that made no virtual adapter; one per OpenContext reference).
#ifndef FLOWSENTRY_DRIVER_BINDING_H_
#define FLOWSENTRY_DRIVER_BINDING_H_

#include <atomic>
#include <cstdint>

#include "driver/runtime/ndis.h"

namespace flowsentry::pactrak {

// The control device's per-adapter handle state (built with the control device).
struct OpenContext;

// All of the driver's memory carries this tag ("aPmI" in memory order).
inline constexpr uint32_t kPoolTag = 0x496D5061;

struct Binding {
  Binding* next = nullptr;  // link in BindingList, under GlobalLock
  ndis::NDIS_HANDLE lower_binding_handle = nullptr;
  // Set by the virtual adapter's initialize; read without a lock by the data path.
  std::atomic<ndis::NDIS_HANDLE> miniport_handle{nullptr};
  ndis::NDIS_HANDLE send_packet_pool = nullptr;
  ndis::NDIS_HANDLE receive_packet_pool = nullptr;
  ndis::NDIS_STATUS open_close_status = ndis::NDIS_STATUS_SUCCESS;
  ndis::NDIS_EVENT open_close_event;
  ndis::NDIS_MEDIUM medium = NdisMedium802_3;
  ndis::NDIS_REQUEST forwarded_request;
  uint32_t* caller_bytes_needed = nullptr;
  uint32_t* caller_bytes_read_or_written = nullptr;
  std::atomic<bool> receive_indicated{false};
  std::atomic<bool> request_outstanding{false};
  bool request_queued = false;  // under lock
  bool standing_by = false;     // under lock
  bool unbinding = false;       // under lock
  ndis::NDIS_SPIN_LOCK lock;
  // Written under lock; read without it where a handler only tests for D0.
  std::atomic<ndis::NDIS_DEVICE_POWER_STATE> virtual_adapter_power_state{
      ndis::NdisDeviceStateUnspecified};
  std::atomic<ndis::NDIS_DEVICE_POWER_STATE> lower_binding_power_state{
      ndis::NdisDeviceStateUnspecified};
  ndis::NDIS_STRING upper_bindings_name;
  ndis::NDIS_STRING lower_adapter_name;
  std::atomic<uint32_t> reference_count{0};
  // Set from null with a compare-exchange (IOCTL_OPEN_BINDING); cleared under lock (Close).
  std::atomic<struct OpenContext*> OpenContext{nullptr};
  ndis::NDIS_EVENT initialization_event;
  std::atomic<bool> initialization_pending{false};
  ndis::NDIS_STATUS last_indicated_media_status = ndis::NDIS_STATUS_SUCCESS;      // under lock
  ndis::NDIS_STATUS latest_unindicated_media_status = ndis::NDIS_STATUS_SUCCESS;  // under lock
  // Changed under lock; read without it by the wait for outstanding sends.
  std::atomic<uint32_t> outstanding_sends{0};
  std::atomic<uint32_t> InterfaceNumber{0};
  // Control-device queries on their way to the lower adapter (changed under lock), and the
  // close of the lower binding that refuses new ones and waits for these.
  std::atomic<uint32_t> outstanding_queries{0};
  bool lower_closing = false;  // under lock
};

// Allocates a zeroed Binding block with room for the two names and copies them in; the block
// holds no reference yet. Null when the memory cannot be had.
Binding* AllocateBinding(const ndis::NDIS_STRING& upper_bindings_name,
                         const ndis::NDIS_STRING& lower_adapter_name);

void ReferenceBinding(Binding* binding);
// Releasing the last reference frees the two packet pools and the block.
void DereferenceBinding(Binding* binding);

inline bool IsLowPower(ndis::NDIS_DEVICE_POWER_STATE state) {
  return state > ndis::NdisDeviceStateD0;
}

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_BINDING_H_
