#include "driver/runtime/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
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

struct TagTable {
  std::mutex mu;
  std::map<uint32_t, TagUsage> usage;
};

TagTable& Tags() {
  static TagTable table;  // the kernel's pool accounting: one per process
  return table;
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
  {
    TagTable& table = Tags();
    std::lock_guard lock(table.mu);
    TagUsage& usage = table.usage[tag];
    usage.blocks += 1;
    usage.bytes += length;
  }
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
  {
    TagTable& table = Tags();
    std::lock_guard lock(table.mu);
    TagUsage& usage = table.usage[header->tag];
    usage.blocks -= 1;
    usage.bytes -= header->length;
  }
  header->magic = 0;
  std::free(header);
}

TagUsage MemoryInUse(uint32_t tag) {
  TagTable& table = Tags();
  std::lock_guard lock(table.mu);
  auto it = table.usage.find(tag);
  return it == table.usage.end() ? TagUsage{} : it->second;
}

void FailNextAllocationsForTesting(uint32_t count) { failures_requested.store(count); }

}  // namespace flowsentry::ndis
