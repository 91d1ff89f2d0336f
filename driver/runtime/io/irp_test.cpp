#include "driver/runtime/io/irp.h"

#include <gtest/gtest.h>

#include <vector>

namespace flowsentry::ddk {
namespace {

std::vector<int> Values(ListEntry& head) {
  std::vector<int> values;
  for (ListEntry* e = head.Flink; e != &head; e = e->Flink) {
    values.push_back(static_cast<int>(
        IoGetCurrentIrpStackLocation(*IrpFromListEntry(e))->Parameters.Read.Length));
  }
  return values;
}

TEST(ListEntryTest, IrpsLinkThroughTheirOwnEntry) {
  Irp irps[4];
  for (int i = 0; i < 4; ++i) irps[i].stack.Parameters.Read.Length = i;
  ListEntry head;
  InitializeListHead(head);
  EXPECT_TRUE(IsListEmpty(head));
  EXPECT_EQ(RemoveHeadList(head), &head);
  InsertTailList(head, irps[1].ListEntry);
  InsertTailList(head, irps[2].ListEntry);
  InsertHeadList(head, irps[0].ListEntry);
  InsertTailList(head, irps[3].ListEntry);
  EXPECT_EQ(Values(head), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(RemoveEntryList(irps[2].ListEntry));
  EXPECT_EQ(IrpFromListEntry(RemoveTailList(head)), &irps[3]);
  EXPECT_EQ(IrpFromListEntry(RemoveHeadList(head)), &irps[0]);
  EXPECT_TRUE(RemoveEntryList(irps[1].ListEntry));
  EXPECT_TRUE(IsListEmpty(head));
}

class RecordingOwner final : public IrpOwner {
 public:
  void IrpCompleted(Irp& irp) override { statuses.push_back(irp.IoStatus.Status); }
  std::vector<NTSTATUS> statuses;
};

DeviceObject test_device;
int cancel_calls = 0;

void CompletingCancel(DeviceObject& device, Irp& irp) {
  ++cancel_calls;
  EXPECT_EQ(&device, &test_device);
  EXPECT_TRUE(irp.Cancel.load());
  EXPECT_EQ(irp.CancelRoutine.load(), nullptr);  // swapped out before the call
  IoReleaseCancelSpinLock(irp.CancelIrql);
  irp.IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(CancelTest, RoutineIsSwappedOutAndCalledOnce) {
  RecordingOwner owner;
  Irp irp;
  irp.device = &test_device;
  irp.owner = &owner;
  cancel_calls = 0;
  EXPECT_EQ(IoSetCancelRoutine(irp, CompletingCancel), nullptr);
  EXPECT_EQ(IoSetCancelRoutine(irp, CompletingCancel), &CompletingCancel);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(cancel_calls, 1);
  EXPECT_EQ(owner.statuses, (std::vector<NTSTATUS>{STATUS_CANCELLED}));

  // The routine is gone now: a second cancel only marks the request. The cancel lock is free
  // again, or this would hang.
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(cancel_calls, 1);
  KIRQL irql = 0;
  IoAcquireCancelSpinLock(&irql);
  IoReleaseCancelSpinLock(irql);
}

TEST(CancelTest, RequestTakenByTheDriverIsOnlyMarked) {
  Irp irp;
  irp.device = &test_device;
  IoSetCancelRoutine(irp, CompletingCancel);
  cancel_calls = 0;
  EXPECT_EQ(IoSetCancelRoutine(irp, nullptr), &CompletingCancel);  // the driver takes it
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(cancel_calls, 0);
  EXPECT_TRUE(irp.Cancel.load());
}

TEST(CompletionDeathTest, LostOwnershipIsABugCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Irp irp;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "completed twice");
  EXPECT_DEATH(
      {
        Irp irp;
        IoSetCancelRoutine(irp, CompletingCancel);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "cancel routine still installed");
}

TEST(MdlTest, MappingIsMadeOnceAndCanBeRefused) {
  char buffer[8];
  Mdl mdl;
  mdl.StartVa = buffer;
  mdl.ByteCount = sizeof buffer;
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(nullptr, NormalPagePriority), nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority), buffer);
  EXPECT_NE(mdl.MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
  // Once mapped, the mapping stays, whatever a later attempt would do.
  mdl.mapping_fails = true;
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority), buffer);

  Mdl refused;
  refused.StartVa = buffer;
  refused.mapping_fails = true;
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(&refused, NormalPagePriority), nullptr);
  EXPECT_EQ(refused.MdlFlags, 0);

  // A descriptor of non-paged pool is its own system address.
  Mdl pool;
  pool.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
  pool.MappedSystemVa = buffer;
  pool.mapping_fails = true;
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(&pool, NormalPagePriority), buffer);
}

}  // namespace
}  // namespace flowsentry::ddk
