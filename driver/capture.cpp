#include "driver/capture.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "driver/control_device.h"
#include "shared/control.h"
#include "shared/packet_record.h"

namespace flowsentry::pactrak {

using ndis::NDIS_BUFFER;
using ndis::NDIS_PACKET;
using ndis::NormalPagePriority;

namespace {

bool CaptureEnabled() {
  return (Queues().CaptureFlags.load(std::memory_order_relaxed) & CAPTURE_ENABLED) != 0;
}

// Stamps the record with the time and the adapter's interface number.
void Stamp(const Binding& binding, PacketRecord& record) {
  ddk::LARGE_INTEGER now;
  ddk::KeQuerySystemTime(&now);
  const RecordTime time = RecordTimeFromSystemTime(static_cast<uint64_t>(now.QuadPart));
  record.TimeSeconds = time.seconds;
  record.TimeMicroseconds = time.microseconds;
  record.Interface = static_cast<uint16_t>(binding.InterfaceNumber.load(std::memory_order_relaxed));
}

// The record is built on the stack and copied into the record queue's store: a frame costs no
// allocation.
void Queue(const PacketRecord& record) {
  uint8_t bytes[kPacketRecordSize];
  EncodePacketRecord(record, std::span<uint8_t, kPacketRecordSize>(bytes));
  EnqueueRecord(bytes);
}

// Copies up to kFrameWorkAreaSize bytes from the start of the packet's buffer chain into `area`
// (zeroed by the caller) and returns the packet's total length.
uint32_t CopyFrameHead(NDIS_PACKET* packet, uint8_t* area) {
  NDIS_BUFFER* buffer = nullptr;
  uint32_t total_length = 0;
  NdisQueryPacket(packet, nullptr, nullptr, &buffer, &total_length);
  uint32_t copied = 0;
  while (buffer != nullptr && copied < kFrameWorkAreaSize) {
    void* address = nullptr;
    uint32_t length = 0;
    NdisQueryBufferSafe(buffer, &address, &length, NormalPagePriority);
    if (length != 0) {
      if (address == nullptr) break;
      const uint32_t count = std::min(length, kFrameWorkAreaSize - copied);
      std::memcpy(area + copied, address, count);
      copied += count;
    }
    NdisGetNextBuffer(buffer, &buffer);
  }
  return total_length;
}

}  // namespace

void CaptureFrameFromPacket(const Binding& binding, NDIS_PACKET* packet) {
  if (!CaptureEnabled()) return;
  PacketRecord record;
  Stamp(binding, record);

  uint8_t area[kFrameWorkAreaSize] = {};
  record.PacketLength = CopyFrameHead(packet, area);
  CopyBytes(record.DestMac, area + 0);
  CopyBytes(record.SourceMac, area + 6);
  CopyBytes(record.EtherType, area + 12);
  record.Protocol = area[23];
  CopyBytes(record.SourceIP, area + 26);
  CopyBytes(record.DestIP, area + 30);
  const uint32_t ihl = area[14] & 0x0F;
  CopyBytes(record.SourcePort, area + 14 + 4 * ihl);
  CopyBytes(record.DestPort, area + 16 + 4 * ihl);
  Queue(record);
}

void CaptureFrameFromIndication(const Binding& binding, const void* header_buffer,
                                uint32_t header_buffer_size, const void* lookahead_buffer,
                                uint32_t lookahead_buffer_size, uint32_t packet_size) {
  if (!CaptureEnabled()) return;
  PacketRecord record;
  Stamp(binding, record);

  // Both buffers are read in place; a byte past either one's end reads as 0.
  const auto* header = static_cast<const uint8_t*>(header_buffer);
  const auto* lookahead = static_cast<const uint8_t*>(lookahead_buffer);
  auto header_byte = [&](uint32_t i) -> uint8_t {
    return header != nullptr && i < header_buffer_size ? header[i] : 0;
  };
  auto lookahead_byte = [&](uint32_t i) -> uint8_t {
    return lookahead != nullptr && i < lookahead_buffer_size ? lookahead[i] : 0;
  };
  auto take_header = [&](uint8_t* field, uint32_t from, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) field[i] = header_byte(from + i);
  };
  auto take_lookahead = [&](uint8_t* field, uint32_t from, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) field[i] = lookahead_byte(from + i);
  };

  record.PacketLength = header_buffer_size + packet_size;
  take_header(record.DestMac, 0, 6);
  take_header(record.SourceMac, 6, 6);
  take_header(record.EtherType, 12, 2);
  record.Protocol = lookahead_byte(9);
  take_lookahead(record.SourceIP, 12, 4);
  take_lookahead(record.DestIP, 16, 4);
  const uint32_t ihl = lookahead_byte(0) & 0x0F;
  take_lookahead(record.SourcePort, 4 * ihl, 2);
  take_lookahead(record.DestPort, 4 * ihl + 2, 2);
  Queue(record);
}

}  // namespace flowsentry::pactrak
