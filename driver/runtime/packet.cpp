#include "driver/runtime/packet.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace flowsentry::ndis {
namespace {

constexpr uintptr_t kPageSize = 4096;

std::atomic<int64_t> live_pools{0};
std::atomic<int64_t> live_packets{0};
std::atomic<bool> fail_packet_allocations{false};
std::atomic<int64_t> allocations_allowed{0};

// A pool keeps every descriptor it ever made and hands freed ones out again.
struct PacketPool {
  uint32_t limit = 0;
  uint32_t protocol_reserved_length = 0;
  std::mutex mu;
  uint32_t in_use = 0;
  std::vector<std::unique_ptr<uint8_t[]>> storage;
  std::vector<NDIS_PACKET*> free_list;
};

PacketPool* PoolOf(NDIS_HANDLE handle) { return static_cast<PacketPool*>(handle); }

size_t DescriptorSize(uint32_t reserved) { return sizeof(NDIS_PACKET) + reserved; }

void ResetDescriptor(NDIS_PACKET* packet, PacketPool* pool) {
  packet->Private = NDIS_PACKET_PRIVATE{};
  packet->Private.Pool = pool;
  for (auto& b : packet->MiniportReserved) b = 0;
  for (auto& b : packet->WrapperReserved) b = 0;
  packet->OobData = NDIS_PACKET_OOB_DATA{};
  packet->Extension = NDIS_PACKET_EXTENSION{};
  for (uint32_t i = 0; i < pool->protocol_reserved_length; ++i) packet->ProtocolReserved[i] = 0;
  packet->Runtime.return_references.store(0);
  packet->Runtime.route = nullptr;
}

}  // namespace

void NdisAllocatePacketPoolEx(NDIS_STATUS* status, NDIS_HANDLE* pool_handle,
                              uint32_t number_of_descriptors,
                              uint32_t number_of_overflow_descriptors,
                              uint32_t protocol_reserved_length) {
  auto* pool = new (std::nothrow) PacketPool;
  if (pool == nullptr) {
    *pool_handle = nullptr;
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  pool->limit = number_of_descriptors + number_of_overflow_descriptors;
  pool->protocol_reserved_length = protocol_reserved_length;
  live_pools.fetch_add(1);
  *pool_handle = pool;
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacketPool(NDIS_HANDLE pool_handle) {
  PacketPool* pool = PoolOf(pool_handle);
  if (pool == nullptr) return;
  {
    std::lock_guard lock(pool->mu);
    if (pool->in_use != 0) {
      std::fprintf(stderr, "NdisFreePacketPool: %u packets still allocated\n", pool->in_use);
      std::abort();
    }
  }
  for (NDIS_PACKET* packet : pool->free_list) packet->~NDIS_PACKET();
  delete pool;
  live_pools.fetch_sub(1);
}

void NdisAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet, NDIS_HANDLE pool_handle) {
  *packet = nullptr;
  PacketPool* pool = PoolOf(pool_handle);
  if (fail_packet_allocations.load() && allocations_allowed.fetch_sub(1) <= 0) {
    *status = NDIS_STATUS_RESOURCES;
    return;
  }
  NDIS_PACKET* descriptor = nullptr;
  {
    std::lock_guard lock(pool->mu);
    if (pool->in_use >= pool->limit) {
      *status = NDIS_STATUS_RESOURCES;
      return;
    }
    if (!pool->free_list.empty()) {
      descriptor = pool->free_list.back();
      pool->free_list.pop_back();
    } else {
      size_t size = DescriptorSize(pool->protocol_reserved_length);
      auto bytes = std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]);
      if (bytes == nullptr) {
        *status = NDIS_STATUS_RESOURCES;
        return;
      }
      descriptor = new (bytes.get()) NDIS_PACKET;
      descriptor->ProtocolReserved = bytes.get() + sizeof(NDIS_PACKET);
      pool->storage.push_back(std::move(bytes));
    }
    pool->in_use += 1;
  }
  ResetDescriptor(descriptor, pool);
  live_packets.fetch_add(1);
  *packet = descriptor;
  *status = NDIS_STATUS_SUCCESS;
}

void NdisFreePacket(NDIS_PACKET* packet) {
  PacketPool* pool = PoolOf(packet->Private.Pool);
  packet->Private.Head = nullptr;
  packet->Private.Tail = nullptr;
  live_packets.fetch_sub(1);
  std::lock_guard lock(pool->mu);
  pool->in_use -= 1;
  pool->free_list.push_back(packet);
}

void NdisReinitializePacket(NDIS_PACKET* packet) {
  ResetDescriptor(packet, PoolOf(packet->Private.Pool));
}

uint32_t NdisPacketPoolUsage(NDIS_HANDLE pool_handle) {
  PacketPool* pool = PoolOf(pool_handle);
  std::lock_guard lock(pool->mu);
  return pool->in_use;
}

PoolCounts PacketPoolsInUse() { return {live_pools.load(), live_packets.load()}; }

void FailPacketAllocationsForTesting(bool fail, uint32_t allowed_first) {
  allocations_allowed.store(allowed_first);
  fail_packet_allocations.store(fail);
}

void NdisChainBufferAtBack(NDIS_PACKET* packet, NDIS_BUFFER* buffer) {
  buffer->Next = nullptr;
  if (packet->Private.Head == nullptr) {
    packet->Private.Head = buffer;
  } else {
    packet->Private.Tail->Next = buffer;
  }
  packet->Private.Tail = buffer;
  packet->Private.ValidCounts = false;
}

void NdisChainBufferAtFront(NDIS_PACKET* packet, NDIS_BUFFER* buffer) {
  buffer->Next = packet->Private.Head;
  packet->Private.Head = buffer;
  if (packet->Private.Tail == nullptr) packet->Private.Tail = buffer;
  packet->Private.ValidCounts = false;
}

void NdisQueryPacket(NDIS_PACKET* packet, uint32_t* physical_buffer_count, uint32_t* buffer_count,
                     NDIS_BUFFER** first_buffer, uint32_t* total_packet_length) {
  NDIS_PACKET_PRIVATE& p = packet->Private;
  if (!p.ValidCounts) {
    uint32_t pages = 0;
    uint32_t count = 0;
    uint32_t total = 0;
    for (NDIS_BUFFER* b = p.Head; b != nullptr; b = b->Next) {
      count += 1;
      total += b->ByteCount;
      if (b->ByteCount > 0) {
        auto start = reinterpret_cast<uintptr_t>(b->VirtualAddress);
        pages +=
            static_cast<uint32_t>(((start % kPageSize) + b->ByteCount + kPageSize - 1) / kPageSize);
      }
    }
    p.PhysicalCount = pages;
    p.Count = count;
    p.TotalLength = total;
    p.ValidCounts = true;
  }
  if (physical_buffer_count != nullptr) *physical_buffer_count = p.PhysicalCount;
  if (buffer_count != nullptr) *buffer_count = p.Count;
  if (first_buffer != nullptr) *first_buffer = p.Head;
  if (total_packet_length != nullptr) *total_packet_length = p.TotalLength;
}

uint32_t CopyFromPacket(NDIS_PACKET* packet, uint32_t offset, void* destination, uint32_t length) {
  auto* out = static_cast<uint8_t*>(destination);
  uint32_t copied = 0;
  uint32_t position = 0;
  for (NDIS_BUFFER* b = packet->Private.Head; b != nullptr && copied < length; b = b->Next) {
    const auto* data = static_cast<const uint8_t*>(b->VirtualAddress);
    for (uint32_t i = 0; i < b->ByteCount && copied < length; ++i, ++position) {
      if (position >= offset) out[copied++] = data[i];
    }
  }
  return copied;
}

uint32_t CopyToPacket(NDIS_PACKET* packet, uint32_t offset, const void* source, uint32_t length) {
  const auto* in = static_cast<const uint8_t*>(source);
  uint32_t copied = 0;
  uint32_t position = 0;
  for (NDIS_BUFFER* b = packet->Private.Head; b != nullptr && copied < length; b = b->Next) {
    auto* data = static_cast<uint8_t*>(b->VirtualAddress);
    for (uint32_t i = 0; i < b->ByteCount && copied < length; ++i, ++position) {
      if (position >= offset) data[i] = in[copied++];
    }
  }
  return copied;
}

}  // namespace flowsentry::ndis
