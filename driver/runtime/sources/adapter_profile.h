// What an adapter source knows about one lower adapter, and the answers to the queries and sets
// that protocols send it: the service's adapter listing (vendor description, medium in use,
// current address) and what the virtual adapter above forwards (options, sizes, link state,
// packet filter, counters, power capabilities).
//
// Pure: no I/O, callable from any thread on its own copy.
#ifndef FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_PROFILE_H_
#define FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_PROFILE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/runtime/ndis_types.h"

namespace flowsentry::ndis {

// NDIS media beyond the four the driver binds to, numbered as NDIS numbers them. Interfaces of
// these kinds are offered with them, so an intermediate driver that does not list the medium
// refuses to bind.
inline constexpr NDIS_MEDIUM NdisMediumInfiniBand = static_cast<NDIS_MEDIUM>(14);
inline constexpr NDIS_MEDIUM NdisMediumTunnel = static_cast<NDIS_MEDIUM>(15);
inline constexpr NDIS_MEDIUM NdisMediumNative802_11 = static_cast<NDIS_MEDIUM>(16);
inline constexpr NDIS_MEDIUM NdisMediumLoopback = static_cast<NDIS_MEDIUM>(17);

// The OIDs the sources answer besides those ndis_types.h names.
inline constexpr NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
inline constexpr NDIS_OID OID_GEN_HARDWARE_STATUS = 0x00010102;
inline constexpr NDIS_OID OID_GEN_MEDIA_SUPPORTED = 0x00010103;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
inline constexpr NDIS_OID OID_GEN_LINK_SPEED = 0x00010107;
inline constexpr NDIS_OID OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
inline constexpr NDIS_OID OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
inline constexpr NDIS_OID OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
inline constexpr NDIS_OID OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
inline constexpr NDIS_OID OID_GEN_VENDOR_ID = 0x0001010C;
inline constexpr NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
inline constexpr NDIS_OID OID_GEN_DRIVER_VERSION = 0x00010110;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
inline constexpr NDIS_OID OID_GEN_PROTOCOL_OPTIONS = 0x00010112;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
inline constexpr NDIS_OID OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
inline constexpr NDIS_OID OID_GEN_XMIT_OK = 0x00020101;
inline constexpr NDIS_OID OID_GEN_RCV_OK = 0x00020102;
inline constexpr NDIS_OID OID_GEN_XMIT_ERROR = 0x00020103;
inline constexpr NDIS_OID OID_GEN_RCV_ERROR = 0x00020104;
inline constexpr NDIS_OID OID_GEN_RCV_NO_BUFFER = 0x00020105;
inline constexpr NDIS_OID OID_802_3_PERMANENT_ADDRESS = 0x01010101;
inline constexpr NDIS_OID OID_802_3_MULTICAST_LIST = 0x01010103;
inline constexpr NDIS_OID OID_802_3_MAXIMUM_LIST_SIZE = 0x01010104;
inline constexpr NDIS_OID OID_802_5_PERMANENT_ADDRESS = 0x02010101;
inline constexpr NDIS_OID OID_802_5_CURRENT_ADDRESS = 0x02010102;
inline constexpr NDIS_OID OID_802_5_CURRENT_FUNCTIONAL = 0x02010103;
inline constexpr NDIS_OID OID_802_5_CURRENT_GROUP = 0x02010104;
inline constexpr NDIS_OID OID_FDDI_LONG_PERMANENT_ADDR = 0x03010101;
inline constexpr NDIS_OID OID_FDDI_LONG_CURRENT_ADDR = 0x03010102;
inline constexpr NDIS_OID OID_FDDI_LONG_MULTICAST_LIST = 0x03010103;
inline constexpr NDIS_OID OID_FDDI_LONG_MAX_LIST_SIZE = 0x03010104;
inline constexpr NDIS_OID OID_WAN_PERMANENT_ADDRESS = 0x04010101;
inline constexpr NDIS_OID OID_WAN_MEDIUM_SUBTYPE = 0x04010103;

inline constexpr NDIS_STATUS NDIS_STATUS_MULTICAST_FULL = 0xC0010009;

// OID_GEN_MEDIA_CONNECT_STATUS values.
inline constexpr uint32_t NdisMediaStateConnected = 0;
inline constexpr uint32_t NdisMediaStateDisconnected = 1;

// The largest frame a source hands to the runtime: libpcap's largest snapshot. Longer frames
// are cut to it.
inline constexpr uint32_t kMaxFrameLength = 262144;

using MacAddress = std::array<uint8_t, 6>;

struct AdapterProfile {
  NDIS_MEDIUM medium = NdisMedium802_3;
  MacAddress mac = {};
  std::string description;           // cut to 255 bytes when answered, so it fits the listing
  uint32_t mtu = 1500;               // bytes behind the MAC header
  uint32_t link_speed = 10'000'000;  // in units of 100 bit/s (1 Gbit/s)
  bool connected = true;
};

// Frame counters the source keeps per adapter, for the statistics OIDs.
struct AdapterCounters {
  uint64_t sent = 0;
  uint64_t received = 0;
};

// Settable state: what protocols asked for, kept so that later queries return it.
struct AdapterSettings {
  uint32_t packet_filter = 0;
  uint32_t lookahead = 0;  // 0: the MTU
  std::vector<uint8_t> multicast_list;
};

// The MAC header length of frames of a medium as the source indicates them.
uint32_t HeaderSize(NDIS_MEDIUM medium);

// A printable medium name ("802.3", "Loopback", "medium 42").
std::string MediumName(NDIS_MEDIUM medium);

// "02-00-5E-00-53-01".
std::string FormatMac(const MacAddress& mac);
// Accepts "02:00:5e:00:53:01" or "02-00-5E-00-53-01".
std::optional<MacAddress> ParseMac(std::string_view text);

// A query: fills `buffer` (`length` bytes) and `bytes_written`, or fails with
// NDIS_STATUS_INVALID_LENGTH and the bytes needed for a short buffer, or NDIS_STATUS_NOT_SUPPORTED
// for an OID the adapter does not know (or that belongs to another medium).
NDIS_STATUS AnswerQuery(const AdapterProfile& profile, const AdapterCounters& counters,
                        const AdapterSettings& settings, NDIS_OID oid, void* buffer,
                        uint32_t length, uint32_t* bytes_written, uint32_t* bytes_needed);

// A set: stores what it keeps in `settings`; NDIS_STATUS_INVALID_LENGTH with the bytes needed
// for a short buffer, NDIS_STATUS_NOT_SUPPORTED for an OID it does not know.
NDIS_STATUS AnswerSet(const AdapterProfile& profile, AdapterSettings& settings, NDIS_OID oid,
                      const void* buffer, uint32_t length, uint32_t* bytes_read,
                      uint32_t* bytes_needed);

}  // namespace flowsentry::ndis

#endif  // FLOWSENTRY_DRIVER_RUNTIME_SOURCES_ADAPTER_PROFILE_H_
