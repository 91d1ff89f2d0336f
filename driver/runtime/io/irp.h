// The I/O manager's request packet and the kernel calls a driver uses on it: completion, pending,
// cancel routines and the cancel lock, and the mapping of a direct-I/O buffer.
//
// An Irp is made by the I/O manager (SocketDeviceHost) for each request of a handle and handed to
// the driver's dispatch routine. From then on the driver owns it until it calls
// IoCompleteRequest; after that call the driver must not touch it again (the I/O manager may free
// it at once, from the completing thread). A dispatch routine either completes the request and
// returns its status, or marks it pending (IoMarkIrpPending), keeps it, and returns
// STATUS_PENDING; a kept request may be completed later from any thread.
//
// Field names follow the kernel's: drivers read and write the PascalCase fields; the lower-case
// fields at the end belong to the I/O manager.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_IO_IRP_H_
#define FLOWSENTRY_DRIVER_RUNTIME_IO_IRP_H_

#include <atomic>
#include <cstdint>

#include "driver/runtime/io/dispatch.h"
#include "driver/runtime/io/list_entry.h"
#include "driver/runtime/ntstatus.h"

namespace flowsentry::ddk {

using KIRQL = uint8_t;

// Major function codes, with the kernel's numbers.
inline constexpr uint8_t IRP_MJ_CREATE = 0x00;
inline constexpr uint8_t IRP_MJ_CLOSE = 0x02;
inline constexpr uint8_t IRP_MJ_READ = 0x03;
inline constexpr uint8_t IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr uint8_t IRP_MJ_CLEANUP = 0x12;

// Priority boost of IoCompleteRequest; the stand-in schedules nothing, so it is recorded only.
inline constexpr int8_t IO_NO_INCREMENT = 0;

constexpr bool NT_ERROR(NTSTATUS status) { return (status >> 30) == 3; }

struct IoStatusBlock {
  NTSTATUS Status = STATUS_SUCCESS;
  uintptr_t Information = 0;  // bytes transferred, as the request type defines it
};

// One open handle. Create, every request of the handle, Cleanup and Close see the same object.
// The two context words are the driver's: null when Create is called, never read by the I/O
// manager.
struct FileObject {
  void* FsContext = nullptr;
  void* FsContext2 = nullptr;
};

// Memory descriptor flags.
inline constexpr uint16_t MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
inline constexpr uint16_t MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

enum MmPagePriority : uint32_t {
  LowPagePriority = 0,
  NormalPagePriority = 16,
  HighPagePriority = 32,
};

// Describes the caller's buffer of a direct-I/O read. The buffer is reachable only through the
// address that MmGetSystemAddressForMdlSafe hands out.
struct Mdl {
  void* StartVa = nullptr;  // the caller's buffer
  uint32_t ByteCount = 0;
  uint16_t MdlFlags = 0;
  void* MappedSystemVa = nullptr;  // valid once MDL_MAPPED_TO_SYSTEM_VA is set
  bool mapping_fails = false;      // set by the I/O manager (a test knob): mapping is refused
};

// The system-space address of the buffer: the descriptor's own when it is already mapped or
// describes non-paged pool, else a new mapping, kept in the descriptor. Null when `mdl` is null
// or the mapping cannot be made. The priority is accepted and ignored.
void* MmGetSystemAddressForMdlSafe(Mdl* mdl, uint32_t priority);

inline uint32_t MmGetMdlByteCount(const Mdl& mdl) { return mdl.ByteCount; }

// The parameters of the request, as the driver's stack location holds them.
struct IoStackLocation {
  uint8_t MajorFunction = 0;
  ddk::FileObject* FileObject = nullptr;
  struct {
    struct {
      uint32_t Length = 0;  // the caller's buffer length
    } Read;
    struct {
      uint32_t OutputBufferLength = 0;
      uint32_t InputBufferLength = 0;
      uint32_t IoControlCode = 0;
      void* Type3InputBuffer = nullptr;  // METHOD_NEITHER: the input, InputBufferLength bytes
    } DeviceIoControl;
  } Parameters;
};

// Transfer methods of a control code (its low two bits): how the I/O manager hands the
// request's buffers to the driver.
inline constexpr uint32_t METHOD_BUFFERED = 0;    // one system buffer for input and output
inline constexpr uint32_t METHOD_IN_DIRECT = 1;   // system buffer: input; MDL: the output buffer
inline constexpr uint32_t METHOD_OUT_DIRECT = 2;  // the same
inline constexpr uint32_t METHOD_NEITHER = 3;     // the caller's two buffers as they are

constexpr uint32_t IoControlMethod(uint32_t code) { return code & 3; }

// Called with the cancel lock held (IoAcquireCancelSpinLock); it must release the lock with
// IoReleaseCancelSpinLock(irp.CancelIrql), on the thread it was called on, before it returns.
using DriverCancel = void (*)(DeviceObject& device, Irp& irp);

// The I/O manager's side of a request: told once, on the completing thread, when the request has
// been completed. It may free the Irp.
class IrpOwner {
 public:
  virtual void IrpCompleted(Irp& irp) = 0;

 protected:
  ~IrpOwner() = default;
};

struct Irp {
  IoStatusBlock IoStatus;

  // Every descriptor and buffer below is exactly as long as it says; none is null unless its
  // length is 0.
  //
  // Reads: the descriptor of the caller's buffer (direct I/O), Parameters.Read.Length bytes,
  // holding what the caller's buffer held; null for a zero-length read.
  // Device control with METHOD_IN_DIRECT or METHOD_OUT_DIRECT: the descriptor of the output
  // buffer, OutputBufferLength bytes (zero-filled when the driver is called).
  Mdl* MdlAddress = nullptr;

  // Device control with METHOD_BUFFERED: the system buffer, max(input, output) bytes long,
  // holding the input when the driver is called; the driver writes the output from its start.
  // With the direct methods: the input, InputBufferLength bytes. Reads get the same buffer as
  // MdlAddress describes here too (buffered I/O), so the driver may use either.
  void* SystemBuffer = nullptr;

  // Device control with METHOD_NEITHER: the output buffer, OutputBufferLength bytes.
  void* UserBuffer = nullptr;

  // Exchanged atomically (IoSetCancelRoutine): whoever swaps a set routine out for null owns the
  // right to complete the request (the cancel side by calling it, the driver by keeping it).
  std::atomic<DriverCancel> CancelRoutine{nullptr};
  std::atomic<bool> Cancel{false};  // set once cancellation of the request has begun
  KIRQL CancelIrql = 0;             // what the cancel routine passes to IoReleaseCancelSpinLock

  std::atomic<bool> PendingReturned{false};  // set by IoMarkIrpPending

  // Reserved for the current owner of the request: a driver holding it pending may link it into
  // a list of its own through this entry (see IrpFromListEntry).
  ddk::ListEntry ListEntry;

  IoStackLocation stack;  // read through IoGetCurrentIrpStackLocation

  ddk::DeviceObject* device = nullptr;  // the device the request was sent to
  IrpOwner* owner = nullptr;            // told of completion; none for a free-standing Irp
  std::atomic<bool> completed{false};
};

inline IoStackLocation* IoGetCurrentIrpStackLocation(Irp& irp) { return &irp.stack; }

// The Irp whose ListEntry `entry` is.
Irp* IrpFromListEntry(ddk::ListEntry* entry);

// Records that the dispatch routine will return STATUS_PENDING.
inline void IoMarkIrpPending(Irp& irp) { irp.PendingReturned.store(true); }

// Installs `routine` (null removes it) and returns the routine that was installed, in one atomic
// exchange.
inline DriverCancel IoSetCancelRoutine(Irp& irp, DriverCancel routine) {
  return irp.CancelRoutine.exchange(routine, std::memory_order_acq_rel);
}

// Hands the request back to the I/O manager with the status and count in irp.IoStatus. Like the
// kernel's bug check, aborts the process when the request was completed before or still has a
// cancel routine installed, since either means the driver has lost track of who owns it.
void IoCompleteRequest(Irp& irp, int8_t priority_boost);

// The I/O manager's one cancel lock (process-wide). Not recursive; released on the thread that
// took it.
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// Starts cancellation of a request (the I/O manager's part of CancelIo and of closing a handle):
// takes the cancel lock, sets Cancel, swaps the cancel routine out for null and, when one was
// installed, calls it with the lock held (the routine releases it); else releases the lock.
// Returns whether a routine was called. The Irp must stay valid for the call: the routine may
// complete it.
bool IoCancelIrp(Irp& irp);

}  // namespace flowsentry::ddk

#endif  // FLOWSENTRY_DRIVER_RUNTIME_IO_IRP_H_
