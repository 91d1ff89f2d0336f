#include "driver/runtime/memory.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace flowsentry::ndis {
namespace {

// Every block carries this header in front of the caller's bytes; 16 bytes keep the caller's
// part aligned as malloc's own result is.
struct alignas(16) BlockHeader {
  uint32_t tag;
  uint32_t length;
  uint64_t magic;
};
static_assert(sizeof(BlockHeader) == 16);

constexpr uint64_t kMagic = 0x6B6F6F6C6E646973ull;

// The kernel's pool accounting, one per process: a counter pair per tag, found without a lock,
// so that the allocations of many threads at once do not queue behind one another. A driver uses
// a handful of tags; the table holds far more.
constexpr size_t kTagSlots = 256;

struct TagSlot {
  std::atomic<uint64_t> key{0};  // the tag + 1; 0 while the slot is free
  std::atomic<uint64_t> blocks{0};
  std::atomic<uint64_t> bytes{0};
};

std::array<TagSlot, kTagSlots>& Tags() {
  static std::array<TagSlot, kTagSlots> table;
  return table;
}

// The slot of `tag`; with `claim`, a free slot is taken for a tag not seen before. Null when the
// tag has no slot (and `claim` is false).
TagSlot* SlotOf(uint32_t tag, bool claim) {
  std::array<TagSlot, kTagSlots>& table = Tags();
  const uint64_t key = uint64_t{tag} + 1;
  for (size_t probe = 0; probe < kTagSlots; ++probe) {
    TagSlot& slot = table[(tag * 2654435761u + probe) % kTagSlots];
    uint64_t found = slot.key.load(std::memory_order_acquire);
    if (found == 0 && claim) {
      if (slot.key.compare_exchange_strong(found, key, std::memory_order_acq_rel)) return &slot;
    }
    if (found == key) return &slot;
    if (found == 0) return nullptr;
  }
  if (!claim) return nullptr;
  std::fprintf(stderr, "NdisAllocateMemoryWithTag: more than %zu pool tags\n", kTagSlots);
  std::abort();
}

std::atomic<uint32_t> failures_requested{0};

bool TakeRequestedFailure() {
  uint32_t left = failures_requested.load();
  while (left > 0) {
    if (failures_requested.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

}  // namespace

NDIS_STATUS NdisAllocateMemoryWithTag(void** virtual_address, uint32_t length, uint32_t tag) {
  *virtual_address = nullptr;
  if (TakeRequestedFailure()) return NDIS_STATUS_RESOURCES;
  void* raw = std::malloc(sizeof(BlockHeader) + length);
  if (raw == nullptr) return NDIS_STATUS_RESOURCES;
  auto* header = new (raw) BlockHeader{tag, length, kMagic};
  TagSlot* slot = SlotOf(tag, true);
  slot->blocks.fetch_add(1, std::memory_order_relaxed);
  slot->bytes.fetch_add(length, std::memory_order_relaxed);
  *virtual_address = header + 1;
  return NDIS_STATUS_SUCCESS;
}

void NdisFreeMemory(void* virtual_address, uint32_t length, uint32_t /*memory_flags*/) {
  if (virtual_address == nullptr) return;
  auto* header = static_cast<BlockHeader*>(virtual_address) - 1;
  if (header->magic != kMagic || header->length != length) {
    std::fprintf(stderr, "NdisFreeMemory: block %p freed with length %u, allocated with %u\n",
                 virtual_address, length, header->length);
    std::abort();
  }
  TagSlot* slot = SlotOf(header->tag, true);
  slot->blocks.fetch_sub(1, std::memory_order_relaxed);
  slot->bytes.fetch_sub(header->length, std::memory_order_relaxed);
  header->magic = 0;
  std::free(header);
}

TagUsage MemoryInUse(uint32_t tag) {
  // A block being allocated or freed meanwhile may be counted in one of the two and not yet in
  // the other; a caller that wants both exact asks when no allocation runs.
  const TagSlot* slot = SlotOf(tag, false);
  if (slot == nullptr) return {};
  return {slot->blocks.load(std::memory_order_relaxed),
          slot->bytes.load(std::memory_order_relaxed)};
}

void FailNextAllocationsForTesting(uint32_t count) { failures_requested.store(count); }

}  // namespace flowsentry::ndis
