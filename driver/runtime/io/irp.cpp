#include "driver/runtime/io/irp.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <type_traits>

namespace flowsentry::ddk {
namespace {

// Required for offsetof in IrpFromListEntry.
static_assert(std::is_standard_layout_v<Irp>);

std::mutex& CancelLock() {
  // The kernel has exactly one cancel lock; so does this I/O manager.
  static std::mutex lock;
  return lock;
}

[[noreturn]] void BugCheck(const char* what) {
  std::fprintf(stderr, "I/O manager bug check: %s\n", what);
  std::abort();
}

}  // namespace

void* MmGetSystemAddressForMdlSafe(Mdl* mdl, uint32_t /*priority*/) {
  if (mdl == nullptr) return nullptr;
  if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
    return mdl->MappedSystemVa;
  }
  if (mdl->mapping_fails) return nullptr;
  // The caller's buffer already lies in this process, so the "mapping" is the buffer itself.
  mdl->MappedSystemVa = mdl->StartVa;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

Irp* IrpFromListEntry(ddk::ListEntry* entry) {
  return reinterpret_cast<Irp*>(reinterpret_cast<char*>(entry) - offsetof(Irp, ListEntry));
}

void IoCompleteRequest(Irp& irp, int8_t /*priority_boost*/) {
  if (irp.completed.exchange(true, std::memory_order_acq_rel)) {
    BugCheck("request completed twice");
  }
  if (irp.CancelRoutine.load(std::memory_order_acquire) != nullptr) {
    BugCheck("request completed with its cancel routine still installed");
  }
  if (irp.owner != nullptr) irp.owner->IrpCompleted(irp);
}

void IoAcquireCancelSpinLock(KIRQL* irql) {
  CancelLock().lock();
  if (irql != nullptr) *irql = 0;
}

void IoReleaseCancelSpinLock(KIRQL /*irql*/) { CancelLock().unlock(); }

bool IoCancelIrp(Irp& irp) {
  KIRQL irql = 0;
  IoAcquireCancelSpinLock(&irql);
  irp.Cancel.store(true, std::memory_order_release);
  const DriverCancel routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  if (irp.device == nullptr) BugCheck("cancel of a request that was sent to no device");
  irp.CancelIrql = irql;
  routine(*irp.device, irp);
  return true;
}

}  // namespace flowsentry::ddk
