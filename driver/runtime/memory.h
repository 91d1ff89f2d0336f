// Non-paged memory with a pool tag, as NdisAllocateMemoryWithTag gives it, counted per tag so
// that a test can see what a driver still holds.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_MEMORY_H_
#define FLOWSENTRY_DRIVER_RUNTIME_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/runtime/ndis_types.h"

namespace flowsentry::ndis {

// Allocates `length` bytes (not zeroed, as in the kernel) and counts them under `tag`.
// NDIS_STATUS_RESOURCES when the memory cannot be had (or a test asked for a failure).
// Safe from any thread.
NDIS_STATUS NdisAllocateMemoryWithTag(void** virtual_address, uint32_t length, uint32_t tag);

// Frees a block from NdisAllocateMemoryWithTag; `length` must be the length it was allocated
// with (a mismatch is a driver fault and ends the process).
void NdisFreeMemory(void* virtual_address, uint32_t length, uint32_t memory_flags);

inline void NdisZeroMemory(void* destination, size_t length) {
  if (length != 0) std::memset(destination, 0, length);
}

// The two ranges may overlap, as the kernel's RtlMoveMemory allows.
inline void NdisMoveMemory(void* destination, const void* source, size_t length) {
  if (length != 0) std::memmove(destination, source, length);
}

struct TagUsage {
  uint64_t blocks = 0;  // allocated and not yet freed
  uint64_t bytes = 0;
};

// What is allocated under `tag` now.
TagUsage MemoryInUse(uint32_t tag);

// Makes the next `count` allocations (of any tag) fail with NDIS_STATUS_RESOURCES; 0 ends it.
void FailNextAllocationsForTesting(uint32_t count);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_MEMORY_H_
