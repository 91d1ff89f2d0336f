// The control device's names and requests, shared by the driver and its clients.
//
// Control codes are built the way Windows builds them: device type in bits 16..31, required
// access in bits 14..15, function in bits 2..13 and transfer method in bits 0..1.
#ifndef FLOWSENTRY_SHARED_CONTROL_H_
#define FLOWSENTRY_SHARED_CONTROL_H_

#include <cstddef>
#include <cstdint>

namespace flowsentry {

inline constexpr uint32_t kFileDeviceNetwork = 0x12;
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kFileReadAccess = 0x1;
inline constexpr uint32_t kFileWriteAccess = 0x2;

constexpr uint32_t CtlCode(uint32_t device_type, uint32_t function, uint32_t method,
                           uint32_t access) {
  return (device_type << 16) | (access << 14) | (function << 2) | method;
}

constexpr uint32_t PactrakControlCode(uint32_t function) {
  return CtlCode(kFileDeviceNetwork, function, kMethodBuffered, kFileReadAccess | kFileWriteAccess);
}

inline constexpr uint32_t IOCTL_ENUM_BINDINGS = PactrakControlCode(0x201);
inline constexpr uint32_t IOCTL_OPEN_BINDING = PactrakControlCode(0x202);
inline constexpr uint32_t IOCTL_QUERY_BINDING = PactrakControlCode(0x203);
inline constexpr uint32_t IOCTL_SET_CAPTURE = PactrakControlCode(0x204);
inline constexpr uint32_t IOCTL_NOP = PactrakControlCode(0x208);
// Many records per request: as many queued records as fit whole in the output buffer.
inline constexpr uint32_t IOCTL_READ_RECORDS = PactrakControlCode(0x205);

static_assert(IOCTL_ENUM_BINDINGS == 0x12C804);
static_assert(IOCTL_OPEN_BINDING == 0x12C808);
static_assert(IOCTL_QUERY_BINDING == 0x12C80C);
static_assert(IOCTL_SET_CAPTURE == 0x12C810);
static_assert(IOCTL_NOP == 0x12C820);
static_assert(IOCTL_READ_RECORDS == 0x12C814);

// Kernel name and symbolic link of the control device, and the names a client opens.
inline constexpr char kDeviceKernelName[] = "\\Device\\pactrak";
inline constexpr char kDeviceSymbolicLink[] = "\\DosDevices\\pactrak";
inline constexpr char kDeviceName[] = "\\\\.\\pactrak";
inline constexpr char kDeviceGlobalName[] = "\\\\.\\Globals\\pactrak";

// The buffer one read is issued with; the record fills its first 41 bytes.
inline constexpr size_t kReadSize = 50;

// IOCTL_SET_CAPTURE flag that switches capture on.
inline constexpr uint8_t CAPTURE_ENABLED = 0x04;

// Records the driver keeps waiting for a reader before it drops newcomers.
inline constexpr uint32_t MAX_QUEUED_RECORDS = 50;

// IOCTL_QUERY_BINDING input block: name (UTF-16LE, zero-filled), interface number, OID.
inline constexpr size_t kQueryBlockSize = 136;
inline constexpr size_t kQueryNameBytes = 128;
inline constexpr size_t kQueryInterfaceOffset = 128;
inline constexpr size_t kQueryOidOffset = 132;

// NDIS medium numbers.
enum NdisMedium : uint32_t {
  NdisMedium802_3 = 0,
  NdisMedium802_5 = 1,
  NdisMediumFddi = 2,
  NdisMediumWan = 3,
  NdisMediumLocalTalk = 4,
  NdisMediumDix = 5,
  NdisMediumArcnetRaw = 6,
  NdisMediumArcnet878_2 = 7,
  NdisMediumAtm = 8,
  NdisMediumWirelessWan = 9,
  NdisMediumIrda = 10,
  NdisMediumBpc = 11,
  NdisMediumCoWan = 12,
  NdisMedium1394 = 13,
  NdisMediumMax = 14,
};

// NDIS object identifiers the driver and the service's adapter listing use.
inline constexpr uint32_t OID_GEN_MEDIA_IN_USE = 0x00010104;
inline constexpr uint32_t OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
inline constexpr uint32_t OID_GEN_MAC_OPTIONS = 0x00010113;
inline constexpr uint32_t OID_GEN_SUPPORTED_GUIDS = 0x00010117;
inline constexpr uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;
inline constexpr uint32_t OID_WAN_CURRENT_ADDRESS = 0x04010102;
inline constexpr uint32_t OID_PNP_CAPABILITIES = 0xFD010100;
inline constexpr uint32_t OID_PNP_SET_POWER = 0xFD010101;
inline constexpr uint32_t OID_PNP_QUERY_POWER = 0xFD010102;

// Capture time from the kernel's system time (100 ns units since 1601-01-01 UTC).
struct RecordTime {
  uint32_t seconds;
  uint32_t microseconds;
};

inline constexpr uint64_t kSystemTimeUnitsPerSecond = 10'000'000;
inline constexpr uint64_t kSecondsFrom1601To1970 = 11'644'473'600;

constexpr RecordTime RecordTimeFromSystemTime(uint64_t system_time) {
  // Adding 0x49EF6F00 and dropping the carry equals subtracting the epoch gap modulo 2^32.
  return {static_cast<uint32_t>(system_time / kSystemTimeUnitsPerSecond + 0x49EF6F00u),
          static_cast<uint32_t>((system_time % kSystemTimeUnitsPerSecond) / 10)};
}

static_assert(static_cast<uint32_t>(kSecondsFrom1601To1970 + 0x49EF6F00u) == 0);

}  // namespace flowsentry

#endif  // FLOWSENTRY_SHARED_CONTROL_H_
