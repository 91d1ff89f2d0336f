#include "driver/runtime/sources/adapter_profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "shared/little_endian.h"

namespace flowsentry::ndis {
namespace {

constexpr uint32_t kMaxDescription = 255;
constexpr uint32_t kMulticastListSize = 32;
constexpr uint16_t kDriverVersion = 0x0400;  // NDIS 4.0
constexpr uint32_t kHardwareReady = 0;

constexpr NDIS_OID kGeneralOids[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_PNP_CAPABILITIES,
    OID_PNP_QUERY_POWER,
    OID_PNP_SET_POWER,
};

// The address OIDs of each medium the driver binds to: permanent, current, multicast list,
// list size. Zero where the medium has none.
struct AddressOids {
  NDIS_OID permanent = 0;
  NDIS_OID current = 0;
  NDIS_OID multicast = 0;
  NDIS_OID list_size = 0;
};

AddressOids AddressOidsOf(NDIS_MEDIUM medium) {
  switch (medium) {
    case NdisMedium802_3:
      return {OID_802_3_PERMANENT_ADDRESS, OID_802_3_CURRENT_ADDRESS, OID_802_3_MULTICAST_LIST,
              OID_802_3_MAXIMUM_LIST_SIZE};
    case NdisMedium802_5:
      return {OID_802_5_PERMANENT_ADDRESS, OID_802_5_CURRENT_ADDRESS, 0, 0};
    case NdisMediumFddi:
      return {OID_FDDI_LONG_PERMANENT_ADDR, OID_FDDI_LONG_CURRENT_ADDR,
              OID_FDDI_LONG_MULTICAST_LIST, OID_FDDI_LONG_MAX_LIST_SIZE};
    case NdisMediumWan:
      return {OID_WAN_PERMANENT_ADDRESS, OID_WAN_CURRENT_ADDRESS, 0, 0};
    default:
      return {};
  }
}

std::vector<uint8_t> Le32(uint32_t value) {
  std::vector<uint8_t> out;
  AppendLe32(out, value);
  return out;
}

// A counter is answered in 4 bytes when the caller offers exactly 4, else in 8, as NDIS
// miniports do for the 64-bit statistics.
std::vector<uint8_t> Counter(uint64_t value, uint32_t length) {
  std::vector<uint8_t> out;
  const int bytes = length == 4 ? 4 : 8;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

// The answer's bytes, or nullopt for an OID the adapter does not know.
std::optional<std::vector<uint8_t>> QueryData(const AdapterProfile& profile,
                                              const AdapterCounters& counters,
                                              const AdapterSettings& settings, NDIS_OID oid,
                                              uint32_t length) {
  const AddressOids address = AddressOidsOf(profile.medium);
  const uint32_t header = HeaderSize(profile.medium);
  if (oid != 0 && (oid == address.permanent || oid == address.current)) {
    return std::vector<uint8_t>(profile.mac.begin(), profile.mac.end());
  }
  if (oid != 0 && oid == address.multicast) return settings.multicast_list;
  if (oid != 0 && oid == address.list_size) return Le32(kMulticastListSize);
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST: {
      std::vector<uint8_t> out;
      for (NDIS_OID known : kGeneralOids) AppendLe32(out, known);
      for (NDIS_OID known :
           {address.permanent, address.current, address.multicast, address.list_size}) {
        if (known != 0) AppendLe32(out, known);
      }
      return out;
    }
    case OID_GEN_HARDWARE_STATUS:
      return Le32(kHardwareReady);
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
      return Le32(profile.medium);
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
      return Le32(profile.mtu);
    case OID_GEN_CURRENT_LOOKAHEAD:
      return Le32(settings.lookahead != 0 ? settings.lookahead : profile.mtu);
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
      return Le32(profile.mtu + header);
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
      return Le32((profile.mtu + header) * 64);
    case OID_GEN_LINK_SPEED:
      return Le32(profile.link_speed);
    case OID_GEN_VENDOR_ID:
      // The address's organization part, then the adapter's own number (0).
      return std::vector<uint8_t>{profile.mac[0], profile.mac[1], profile.mac[2], 0};
    case OID_GEN_VENDOR_DESCRIPTION: {
      std::string text = profile.description.substr(0, kMaxDescription);
      std::vector<uint8_t> out(text.begin(), text.end());
      out.push_back(0);
      return out;
    }
    case OID_GEN_CURRENT_PACKET_FILTER:
      return Le32(settings.packet_filter);
    case OID_GEN_DRIVER_VERSION:
      return std::vector<uint8_t>{static_cast<uint8_t>(kDriverVersion),
                                  static_cast<uint8_t>(kDriverVersion >> 8)};
    case OID_GEN_VENDOR_DRIVER_VERSION:
      return Le32(0x00010000);
    case OID_GEN_MAC_OPTIONS:
      return Le32(NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_TRANSFERS_NOT_PEND |
                  NDIS_MAC_OPTION_NO_LOOPBACK);
    case OID_GEN_MEDIA_CONNECT_STATUS:
      return Le32(profile.connected ? NdisMediaStateConnected : NdisMediaStateDisconnected);
    case OID_GEN_MAXIMUM_SEND_PACKETS:
      return Le32(1);
    case OID_GEN_XMIT_OK:
      return Counter(counters.sent, length);
    case OID_GEN_RCV_OK:
      return Counter(counters.received, length);
    case OID_GEN_XMIT_ERROR:
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_NO_BUFFER:
      return Counter(0, length);
    case OID_PNP_CAPABILITIES: {
      // No wake-up of any kind: a host interface seen through a capture handle cannot arm one.
      NDIS_PNP_CAPABILITIES capabilities{};
      const auto* raw = reinterpret_cast<const uint8_t*>(&capabilities);
      return std::vector<uint8_t>(raw, raw + sizeof(capabilities));
    }
    case OID_PNP_QUERY_POWER:
      return std::vector<uint8_t>{};
    default:
      return std::nullopt;
  }
}

}  // namespace

uint32_t HeaderSize(NDIS_MEDIUM medium) { return medium == NdisMediumFddi ? 13 : 14; }

std::string MediumName(NDIS_MEDIUM medium) {
  static constexpr const char* kNames[] = {
      "802.3",      "802.5",        "FDDI",       "WAN",          "LocalTalk",     "DIX",
      "Arcnet Raw", "Arcnet 878.2", "ATM",        "Wireless WAN", "Irda",          "Bpc",
      "CoWan",      "IEEE 1394",    "InfiniBand", "Tunnel",       "Native 802.11", "Loopback"};
  const auto index = static_cast<uint32_t>(medium);
  if (index < std::size(kNames)) return kNames[index];
  return "medium " + std::to_string(index);
}

std::string FormatMac(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof(text), "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

std::optional<MacAddress> ParseMac(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  MacAddress mac{};
  const char separator = text[2];
  if (separator != ':' && separator != '-') return std::nullopt;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != separator) return std::nullopt;
    int value = 0;
    for (size_t j = 0; j < 2; ++j) {
      const char c = text[3 * i + j];
      int digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      value = value * 16 + digit;
    }
    mac[i] = static_cast<uint8_t>(value);
  }
  return mac;
}

NDIS_STATUS AnswerQuery(const AdapterProfile& profile, const AdapterCounters& counters,
                        const AdapterSettings& settings, NDIS_OID oid, void* buffer,
                        uint32_t length, uint32_t* bytes_written, uint32_t* bytes_needed) {
  *bytes_written = 0;
  *bytes_needed = 0;
  std::optional<std::vector<uint8_t>> data = QueryData(profile, counters, settings, oid, length);
  if (!data.has_value()) return NDIS_STATUS_NOT_SUPPORTED;
  const auto size = static_cast<uint32_t>(data->size());
  if (size > length) {
    *bytes_needed = size;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  if (size > 0) std::memcpy(buffer, data->data(), size);
  *bytes_written = size;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS AnswerSet(const AdapterProfile& profile, AdapterSettings& settings, NDIS_OID oid,
                      const void* buffer, uint32_t length, uint32_t* bytes_read,
                      uint32_t* bytes_needed) {
  *bytes_read = 0;
  *bytes_needed = 0;
  const AddressOids address = AddressOidsOf(profile.medium);
  auto need = [&](uint32_t size) {
    if (length >= size) return true;
    *bytes_needed = size;
    return false;
  };
  if (oid != 0 && oid == address.multicast) {
    if (length % 6 != 0) {
      *bytes_needed = (length / 6 + 1) * 6;
      return NDIS_STATUS_INVALID_LENGTH;
    }
    if (length / 6 > kMulticastListSize) return NDIS_STATUS_MULTICAST_FULL;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    settings.multicast_list.assign(bytes, bytes + length);
    *bytes_read = length;
    return NDIS_STATUS_SUCCESS;
  }
  switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
      if (!need(4)) return NDIS_STATUS_INVALID_LENGTH;
      settings.packet_filter = LoadLe32(static_cast<const uint8_t*>(buffer));
      *bytes_read = 4;
      return NDIS_STATUS_SUCCESS;
    case OID_GEN_CURRENT_LOOKAHEAD: {
      if (!need(4)) return NDIS_STATUS_INVALID_LENGTH;
      const uint32_t value = LoadLe32(static_cast<const uint8_t*>(buffer));
      if (value > profile.mtu) return NDIS_STATUS_INVALID_DATA;
      settings.lookahead = value;
      *bytes_read = 4;
      return NDIS_STATUS_SUCCESS;
    }
    case OID_GEN_PROTOCOL_OPTIONS:
      if (!need(4)) return NDIS_STATUS_INVALID_LENGTH;
      *bytes_read = 4;
      return NDIS_STATUS_SUCCESS;
    case OID_PNP_SET_POWER:
      if (!need(4)) return NDIS_STATUS_INVALID_LENGTH;
      *bytes_read = 4;
      return NDIS_STATUS_SUCCESS;
    default:
      return NDIS_STATUS_NOT_SUPPORTED;
  }
}

}  // namespace flowsentry::ndis
