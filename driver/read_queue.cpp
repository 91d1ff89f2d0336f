#include "driver/read_queue.h"

namespace flowsentry::pactrak {

bool ReadQueue::Push(ddk::Irp& irp, ddk::DriverCancel cancel) {
  ddk::InsertTailList(reads_, irp.ListEntry);
  ddk::IoSetCancelRoutine(irp, cancel);
  // Cancelled before the routine was in place: nobody will call it, so the read is ours to end,
  // unless delivery or a cancel that came since has taken the routine out already.
  if (irp.Cancel.load() && ddk::IoSetCancelRoutine(irp, nullptr) != nullptr) {
    ddk::RemoveEntryList(irp.ListEntry);
    return false;
  }
  return true;
}

ddk::Irp* ReadQueue::TakeOldest() {
  for (ddk::ListEntry* entry = reads_.Flink; entry != &reads_; entry = entry->Flink) {
    ddk::Irp* irp = ddk::IrpFromListEntry(entry);
    if (ddk::IoSetCancelRoutine(*irp, nullptr) != nullptr) {
      ddk::RemoveEntryList(*entry);
      return irp;
    }
  }
  return nullptr;
}

bool ReadQueue::Remove(ddk::Irp& irp) {
  // Every unlink leaves the entry pointing at itself, so the entry alone tells whether the read
  // is still queued: a close that cancels a handle's reads then costs one step per read, not a
  // walk of the reads of every handle for each of them.
  ddk::ListEntry& entry = irp.ListEntry;
  if (entry.Flink == nullptr || entry.Flink == &entry) return false;
  ddk::RemoveEntryList(entry);
  return true;
}

}  // namespace flowsentry::pactrak
