// NDIS packets: a descriptor with a chain of buffers, flags, an out-of-band block, per-packet
// information, and reserved space for the protocol and the miniport that hold it; and the pools
// that packets come from.
//
// A packet never owns its buffers: whoever chained them frees them. Freeing a packet returns
// the descriptor to its pool.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_PACKET_H_
#define FLOWSENTRY_DRIVER_RUNTIME_PACKET_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "driver/runtime/ndis_types.h"

namespace flowsentry::ndis {

// A buffer descriptor (an MDL): one piece of a frame, mapped in system space.
struct NDIS_BUFFER {
  NDIS_BUFFER* Next = nullptr;
  void* VirtualAddress = nullptr;
  uint32_t ByteCount = 0;
};

enum MM_PAGE_PRIORITY : uint32_t { LowPagePriority = 0, NormalPagePriority = 16 };

inline void NdisQueryBufferSafe(NDIS_BUFFER* buffer, void** virtual_address, uint32_t* length,
                                MM_PAGE_PRIORITY /*priority*/) {
  if (virtual_address != nullptr) *virtual_address = buffer->VirtualAddress;
  *length = buffer->ByteCount;
}

inline void NdisGetNextBuffer(NDIS_BUFFER* buffer, NDIS_BUFFER** next) { *next = buffer->Next; }

// Slots of the per-packet information array.
enum NDIS_PER_PACKET_INFO : uint32_t {
  TcpIpChecksumPacketInfo = 0,
  IpSecPacketInfo = 1,
  TcpLargeSendPacketInfo = 2,
  ClassificationHandlePacketInfo = 3,
  NdisReserved = 4,
  ScatterGatherListPacketInfo = 5,
  Ieee8021QInfo = 6,
  OriginalPacketInfo = 7,
  PacketCancelId = 8,
  MaxPerPacketInfo = 9,
};

struct NDIS_PACKET_EXTENSION {
  void* NdisPacketInfo[MaxPerPacketInfo] = {};
};

// The out-of-band block (32 bytes where pointers have 32 bits).
struct NDIS_PACKET_OOB_DATA {
  uint64_t TimeToSend = 0;
  uint64_t TimeReceived = 0;
  uint32_t HeaderSize = 0;
  uint32_t SizeMediaSpecificInfo = 0;
  void* MediaSpecificInformation = nullptr;
  NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
};

struct NDIS_PACKET_PRIVATE {
  uint32_t PhysicalCount = 0;  // cached counts, valid while ValidCounts is set
  uint32_t TotalLength = 0;
  uint32_t Count = 0;
  NDIS_BUFFER* Head = nullptr;
  NDIS_BUFFER* Tail = nullptr;
  NDIS_HANDLE Pool = nullptr;
  uint32_t Flags = 0;  // NdisGetPacketFlags
  bool ValidCounts = false;
};

// What the runtime keeps on a packet while it is indicated or sent; no driver touches it.
struct PacketRuntimeState {
  std::atomic<int32_t> return_references{0};
  void* route = nullptr;  // who gets the packet back, or who sent it
};

struct NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  alignas(void*) uint8_t MiniportReserved[2 * sizeof(void*)] = {};
  alignas(void*) uint8_t WrapperReserved[2 * sizeof(void*)] = {};
  NDIS_PACKET_OOB_DATA OobData;
  NDIS_PACKET_EXTENSION Extension;
  // The protocol-reserved space the pool was made with (ProtocolReservedLength bytes).
  uint8_t* ProtocolReserved = nullptr;
  PacketRuntimeState Runtime;
};

// Pools. Descriptors: NumberOfDescriptors plus NumberOfOverflowDescriptors can be allocated at
// once; more fail with NDIS_STATUS_RESOURCES. Pools are safe from any thread.
void NdisAllocatePacketPoolEx(NDIS_STATUS* status, NDIS_HANDLE* pool_handle,
                              uint32_t number_of_descriptors,
                              uint32_t number_of_overflow_descriptors,
                              uint32_t protocol_reserved_length);
// All packets must have been freed first (a packet still out is a driver fault that ends the
// process, as it would stop the machine).
void NdisFreePacketPool(NDIS_HANDLE pool_handle);
void NdisAllocatePacket(NDIS_STATUS* status, NDIS_PACKET** packet, NDIS_HANDLE pool_handle);
void NdisFreePacket(NDIS_PACKET* packet);
// Makes a packet its owner got back as it was when allocated, for another use (the buffers
// are unchained, not freed).
void NdisReinitializePacket(NDIS_PACKET* packet);
uint32_t NdisPacketPoolUsage(NDIS_HANDLE pool_handle);

// Packet pools and packets alive in the process, for tests that look for leaks.
struct PoolCounts {
  int64_t pools = 0;
  int64_t packets = 0;
};
PoolCounts PacketPoolsInUse();

// While set, packet allocations fail with NDIS_STATUS_RESOURCES, except the first
// `allowed_first` ones made after the call.
void FailPacketAllocationsForTesting(bool fail, uint32_t allowed_first = 0);

// The packet macros of NDIS, as functions.
inline NDIS_BUFFER*& NDIS_PACKET_FIRST_NDIS_BUFFER(NDIS_PACKET* packet) {
  return packet->Private.Head;
}
inline NDIS_BUFFER*& NDIS_PACKET_LAST_NDIS_BUFFER(NDIS_PACKET* packet) {
  return packet->Private.Tail;
}
inline uint32_t NdisGetPacketFlags(const NDIS_PACKET* packet) { return packet->Private.Flags; }
inline void NdisSetPacketFlags(NDIS_PACKET* packet, uint32_t flags) {
  packet->Private.Flags = flags;
}
inline NDIS_PACKET_OOB_DATA* NDIS_OOB_DATA_FROM_PACKET(NDIS_PACKET* packet) {
  return &packet->OobData;
}
inline NDIS_PACKET_EXTENSION* NDIS_PACKET_EXTENSION_FROM_PACKET(NDIS_PACKET* packet) {
  return &packet->Extension;
}
inline void*& NDIS_PER_PACKET_INFO_FROM_PACKET(NDIS_PACKET* packet, NDIS_PER_PACKET_INFO info) {
  return packet->Extension.NdisPacketInfo[info];
}
inline NDIS_PACKET* NDIS_GET_ORIGINAL_PACKET(NDIS_PACKET* packet) {
  return static_cast<NDIS_PACKET*>(packet->Extension.NdisPacketInfo[OriginalPacketInfo]);
}
inline void NDIS_SET_ORIGINAL_PACKET(NDIS_PACKET* packet, NDIS_PACKET* original) {
  packet->Extension.NdisPacketInfo[OriginalPacketInfo] = original;
}
inline uint32_t NDIS_GET_PACKET_HEADER_SIZE(NDIS_PACKET* packet) {
  return packet->OobData.HeaderSize;
}
inline void NDIS_SET_PACKET_HEADER_SIZE(NDIS_PACKET* packet, uint32_t size) {
  packet->OobData.HeaderSize = size;
}
inline NDIS_STATUS NDIS_GET_PACKET_STATUS(NDIS_PACKET* packet) { return packet->OobData.Status; }
inline void NDIS_SET_PACKET_STATUS(NDIS_PACKET* packet, NDIS_STATUS status) {
  packet->OobData.Status = status;
}
inline void NDIS_GET_PACKET_MEDIA_SPECIFIC_INFO(NDIS_PACKET* packet, void** info, uint32_t* size) {
  *info = packet->OobData.MediaSpecificInformation;
  *size = packet->OobData.SizeMediaSpecificInfo;
}
inline void NDIS_SET_PACKET_MEDIA_SPECIFIC_INFO(NDIS_PACKET* packet, void* info, uint32_t size) {
  packet->OobData.MediaSpecificInformation = info;
  packet->OobData.SizeMediaSpecificInfo = size;
}

// Appends or prepends a buffer; the cached counts become invalid.
void NdisChainBufferAtBack(NDIS_PACKET* packet, NDIS_BUFFER* buffer);
void NdisChainBufferAtFront(NDIS_PACKET* packet, NDIS_BUFFER* buffer);

// NdisQueryPacket: physical page count, buffer count, first buffer and total length, any of
// which may be null. Walks the chain and caches the counts when they are not valid.
void NdisQueryPacket(NDIS_PACKET* packet, uint32_t* physical_buffer_count, uint32_t* buffer_count,
                     NDIS_BUFFER** first_buffer, uint32_t* total_packet_length);

// Copies up to `length` bytes of the packet's data, from `offset`, into `destination`; returns
// the count copied. A runtime helper for adapters and protocols, not an NDIS call.
uint32_t CopyFromPacket(NDIS_PACKET* packet, uint32_t offset, void* destination, uint32_t length);
// The other way: fills the packet's buffers from `source` starting at the packet's `offset`.
uint32_t CopyToPacket(NDIS_PACKET* packet, uint32_t offset, const void* source, uint32_t length);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_PACKET_H_
