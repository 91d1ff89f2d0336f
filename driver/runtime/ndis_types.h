// The NDIS vocabulary the driver is written in: handles, status codes (with their Windows
// numbers), media, device power states, strings, requests and the OIDs the pass-through handles.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_NDIS_TYPES_H_
#define FLOWSENTRY_DRIVER_RUNTIME_NDIS_TYPES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/control.h"

namespace flowsentry::ndis {

// An opaque reference to an object the runtime owns (wrapper, driver, protocol, binding,
// virtual adapter, pool, configuration, device). Never owning on the driver's side.
using NDIS_HANDLE = void*;

using NDIS_STATUS = uint32_t;

inline constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
inline constexpr NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
inline constexpr NDIS_STATUS NDIS_STATUS_NOT_RECOGNIZED = 0x00010001;
inline constexpr NDIS_STATUS NDIS_STATUS_NOT_ACCEPTED = 0x00010003;
inline constexpr NDIS_STATUS NDIS_STATUS_MEDIA_CONNECT = 0x4001000B;
inline constexpr NDIS_STATUS NDIS_STATUS_MEDIA_DISCONNECT = 0x4001000C;
inline constexpr NDIS_STATUS NDIS_STATUS_BUFFER_OVERFLOW = 0x80000005;
inline constexpr NDIS_STATUS NDIS_STATUS_FAILURE = 0xC0000001;
inline constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = 0xC000009A;
inline constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = 0xC00000BB;
inline constexpr NDIS_STATUS NDIS_STATUS_CLOSING = 0xC0010002;
inline constexpr NDIS_STATUS NDIS_STATUS_BAD_VERSION = 0xC0010004;
inline constexpr NDIS_STATUS NDIS_STATUS_BAD_CHARACTERISTICS = 0xC0010005;
inline constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_FOUND = 0xC0010006;
inline constexpr NDIS_STATUS NDIS_STATUS_OPEN_FAILED = 0xC0010007;
inline constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_READY = 0xC0010011;
inline constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = 0xC0010014;
inline constexpr NDIS_STATUS NDIS_STATUS_INVALID_DATA = 0xC0010015;
inline constexpr NDIS_STATUS NDIS_STATUS_BUFFER_TOO_SHORT = 0xC0010016;
inline constexpr NDIS_STATUS NDIS_STATUS_INVALID_OID = 0xC0010017;
inline constexpr NDIS_STATUS NDIS_STATUS_UNSUPPORTED_MEDIA = 0xC0010019;

using NDIS_MEDIUM = flowsentry::NdisMedium;
using flowsentry::NdisMedium802_3;
using flowsentry::NdisMedium802_5;
using flowsentry::NdisMediumFddi;
using flowsentry::NdisMediumWan;

enum NDIS_DEVICE_POWER_STATE : uint32_t {
  NdisDeviceStateUnspecified = 0,
  NdisDeviceStateD0 = 1,
  NdisDeviceStateD1 = 2,
  NdisDeviceStateD2 = 3,
  NdisDeviceStateD3 = 4,
};

// A counted UTF-16 string, as UNICODE_STRING: Length and MaximumLength in bytes, no terminator
// required. The buffer belongs to whoever made the string.
struct NDIS_STRING {
  uint16_t Length = 0;
  uint16_t MaximumLength = 0;
  char16_t* Buffer = nullptr;
};

// An NDIS_STRING together with the storage it points into.
class OwnedNdisString {
 public:
  OwnedNdisString() { Point(); }
  explicit OwnedNdisString(std::u16string text) : text_(std::move(text)) { Point(); }
  OwnedNdisString(const OwnedNdisString& other) : text_(other.text_) { Point(); }
  OwnedNdisString& operator=(const OwnedNdisString& other) {
    text_ = other.text_;
    Point();
    return *this;
  }

  const NDIS_STRING& get() const { return string_; }
  const NDIS_STRING* ptr() const { return &string_; }
  const std::u16string& text() const { return text_; }

 private:
  void Point() {
    string_.Length = static_cast<uint16_t>(text_.size() * sizeof(char16_t));
    string_.MaximumLength = static_cast<uint16_t>((text_.size() + 1) * sizeof(char16_t));
    string_.Buffer = text_.data();
  }

  std::u16string text_;
  NDIS_STRING string_;
};

// Conversions between the runtime's narrow names (ASCII in practice) and NDIS strings; bytes
// above 0x7F are taken as Latin-1, characters above 0xFF become '?'.
std::u16string WidenName(std::string_view name);
std::string NarrowName(std::u16string_view name);
std::u16string_view View(const NDIS_STRING& string);

enum NDIS_REQUEST_TYPE : uint32_t {
  NdisRequestQueryInformation = 0,
  NdisRequestSetInformation = 1,
  NdisRequestQueryStatistics = 2,
};

using NDIS_OID = uint32_t;

// One query or set, as it travels from a protocol to an adapter.
struct NDIS_REQUEST {
  NDIS_REQUEST_TYPE RequestType = NdisRequestQueryInformation;
  union _DATA {
    struct _QUERY_INFORMATION {
      NDIS_OID Oid;
      void* InformationBuffer;
      uint32_t InformationBufferLength;
      uint32_t BytesWritten;
      uint32_t BytesNeeded;
    } QUERY_INFORMATION;
    struct _SET_INFORMATION {
      NDIS_OID Oid;
      void* InformationBuffer;
      uint32_t InformationBufferLength;
      uint32_t BytesRead;
      uint32_t BytesNeeded;
    } SET_INFORMATION;
  } DATA = {};
};

using flowsentry::OID_802_3_CURRENT_ADDRESS;
using flowsentry::OID_GEN_MAC_OPTIONS;
using flowsentry::OID_GEN_MEDIA_IN_USE;
using flowsentry::OID_GEN_SUPPORTED_GUIDS;
using flowsentry::OID_GEN_VENDOR_DESCRIPTION;
using flowsentry::OID_PNP_CAPABILITIES;
using flowsentry::OID_PNP_QUERY_POWER;
using flowsentry::OID_PNP_SET_POWER;
using flowsentry::OID_WAN_CURRENT_ADDRESS;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
inline constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
inline constexpr NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;

// OID_GEN_MAC_OPTIONS bits.
inline constexpr uint32_t NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA = 0x00000001;
inline constexpr uint32_t NDIS_MAC_OPTION_RECEIVE_SERIALIZED = 0x00000002;
inline constexpr uint32_t NDIS_MAC_OPTION_TRANSFERS_NOT_PEND = 0x00000004;
inline constexpr uint32_t NDIS_MAC_OPTION_NO_LOOPBACK = 0x00000008;

// The answer to OID_PNP_CAPABILITIES: 16 bytes.
struct NDIS_PM_WAKE_UP_CAPABILITIES {
  NDIS_DEVICE_POWER_STATE MinMagicPacketWakeUp;
  NDIS_DEVICE_POWER_STATE MinPatternWakeUp;
  NDIS_DEVICE_POWER_STATE MinLinkChangeWakeUp;
};
struct NDIS_PNP_CAPABILITIES {
  uint32_t Flags;
  NDIS_PM_WAKE_UP_CAPABILITIES WakeUpCapabilities;
};
static_assert(sizeof(NDIS_PNP_CAPABILITIES) == 16);

// NdisMSetAttributesEx flags.
inline constexpr uint32_t NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT = 0x00000001;
inline constexpr uint32_t NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT = 0x00000002;
inline constexpr uint32_t NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER = 0x00000010;
inline constexpr uint32_t NDIS_ATTRIBUTE_DESERIALIZE = 0x00000020;
inline constexpr uint32_t NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND = 0x00000040;

enum NDIS_INTERFACE_TYPE : int32_t {
  NdisInterfaceInternal = 0,
};

// PnP events a protocol edge is told of.
enum NET_PNP_EVENT_CODE : uint32_t {
  NetEventSetPower = 0,
  NetEventQueryPower = 1,
  NetEventQueryRemoveDevice = 2,
  NetEventCancelRemoveDevice = 3,
  NetEventReconfigure = 4,
  NetEventBindList = 5,
  NetEventBindsComplete = 6,
  NetEventPnPCapabilities = 7,
};

struct NET_PNP_EVENT {
  NET_PNP_EVENT_CODE NetEvent = NetEventSetPower;
  void* Buffer = nullptr;
  uint32_t BufferLength = 0;
};

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_NDIS_TYPES_H_
