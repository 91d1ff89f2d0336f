// The control device's handles and control requests: create, cleanup and close of a handle with
// the OpenContext that IOCTL_OPEN_BINDING gives it, and the control requests that complete at
// once (list, open and query adapters, switch capture on and off, NOP). IOCTL_READ_RECORDS waits
// for records and is the control device's (control_device.h).
//
// Dispatch routines run at PASSIVE_LEVEL on the I/O manager's threads, several handles at once.
#ifndef FLOWSENTRY_DRIVER_CONTROL_REQUESTS_H_
#define FLOWSENTRY_DRIVER_CONTROL_REQUESTS_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "driver/binding.h"
#include "driver/runtime/io/dispatch.h"
#include "driver/runtime/io/irp.h"

namespace flowsentry::pactrak {

// A handle's hold on one adapter, made by IOCTL_OPEN_BINDING and ended by closing the handle.
// Each reference also holds one on the Binding; the last release frees the context.
struct OpenContext {
  std::atomic<uint32_t> reference_count{1};
  ndis::NDIS_SPIN_LOCK lock;
  Binding* binding = nullptr;
  ndis::NDIS_REQUEST request;  // IOCTL_QUERY_BINDING's query to the lower adapter
  void (*request_complete)(OpenContext* context, ndis::NDIS_STATUS status) = nullptr;
  OpenContext* request_complete_context = nullptr;
  ndis::NDIS_STATUS request_status = ndis::NDIS_STATUS_SUCCESS;
  ndis::NDIS_EVENT request_event;
  // Queries through several handles may reach one context at once; they use its request block
  // in turn (a passive-level mutex, held across the wait for the lower adapter).
  std::mutex query_turn;
};

// Create, cleanup and close of a handle. Close releases the handle's OpenContext.
ddk::NTSTATUS DispatchCreate(ddk::DeviceObject& device, ddk::Irp& irp);
ddk::NTSTATUS DispatchCleanup(ddk::DeviceObject& device, ddk::Irp& irp);
ddk::NTSTATUS DispatchClose(ddk::DeviceObject& device, ddk::Irp& irp);

// Serves and completes a control request that does not wait (every code but
// IOCTL_READ_RECORDS); an unknown code completes with STATUS_NOT_SUPPORTED.
ddk::NTSTATUS ServeControlRequest(ddk::Irp& irp);

// A request that completed on the protocol edge but is not a binding's forwarded request: an
// IOCTL_QUERY_BINDING query, handed back to the OpenContext that issued it.
void CompleteControlDeviceQuery(Binding* binding, ndis::NDIS_REQUEST* request,
                                ndis::NDIS_STATUS status);

// The status a query of the lower adapter completes the control request with.
ddk::NTSTATUS TranslateQueryStatus(ndis::NDIS_STATUS status);

}  // namespace flowsentry::pactrak

#endif  // FLOWSENTRY_DRIVER_CONTROL_REQUESTS_H_
