#include "driver/binding.h"

#include <algorithm>
#include <new>

namespace flowsentry::pactrak {

using ndis::NDIS_STATUS_SUCCESS;
using ndis::NDIS_STRING;
using ndis::NdisAllocateMemoryWithTag;
using ndis::NdisFreeMemory;
using ndis::NdisFreePacketPool;
using ndis::NdisMoveMemory;
using ndis::NdisZeroMemory;

namespace {

uint16_t BufferLength(const NDIS_STRING& name) { return std::max(name.MaximumLength, name.Length); }

uint32_t BlockLength(uint16_t upper_length, uint16_t lower_length) {
  return static_cast<uint32_t>(sizeof(Binding)) + upper_length + lower_length;
}

void CopyName(NDIS_STRING& to, const NDIS_STRING& from, uint8_t* buffer, uint16_t buffer_length) {
  to.Buffer = reinterpret_cast<char16_t*>(buffer);
  to.MaximumLength = buffer_length;
  to.Length = from.Length;
  if (from.Length > 0) NdisMoveMemory(buffer, from.Buffer, from.Length);
}

}  // namespace

static_assert(sizeof(Binding) % alignof(char16_t) == 0);

Binding* AllocateBinding(const NDIS_STRING& upper_bindings_name,
                         const NDIS_STRING& lower_adapter_name) {
  const uint16_t upper_length = BufferLength(upper_bindings_name);
  const uint16_t lower_length = BufferLength(lower_adapter_name);
  const uint32_t length = BlockLength(upper_length, lower_length);
  void* memory = nullptr;
  if (NdisAllocateMemoryWithTag(&memory, length, kPoolTag) != NDIS_STATUS_SUCCESS) {
    return nullptr;
  }
  NdisZeroMemory(memory, length);
  auto* binding = new (memory) Binding;
  auto* names = static_cast<uint8_t*>(memory) + sizeof(Binding);
  CopyName(binding->upper_bindings_name, upper_bindings_name, names, upper_length);
  CopyName(binding->lower_adapter_name, lower_adapter_name, names + upper_length, lower_length);
  return binding;
}

void ReferenceBinding(Binding* binding) { binding->reference_count.fetch_add(1); }

void DereferenceBinding(Binding* binding) {
  if (binding->reference_count.fetch_sub(1) != 1) return;
  if (binding->send_packet_pool != nullptr) NdisFreePacketPool(binding->send_packet_pool);
  if (binding->receive_packet_pool != nullptr) NdisFreePacketPool(binding->receive_packet_pool);
  NdisFreeSpinLock(&binding->lock);
  const uint32_t length = BlockLength(binding->upper_bindings_name.MaximumLength,
                                      binding->lower_adapter_name.MaximumLength);
  binding->~Binding();
  NdisFreeMemory(binding, length, 0);
}

}  // namespace flowsentry::pactrak
