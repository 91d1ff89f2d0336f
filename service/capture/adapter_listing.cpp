#include "service/capture/adapter_listing.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/last_error.h"
#include "service/capture/driver_client.h"
#include "service/host/config.h"
#include "service/host/log.h"
#include "shared/little_endian.h"

namespace flowsentry::capture {
namespace {

using platform::DeviceHandle;
using platform::GetLastError;

constexpr size_t kDescriptionSize = 256;
constexpr size_t kQueryOutputSize = 4096;
constexpr size_t kEnumerationSize = 4096;
constexpr size_t kMacLength = 6;

// The UTF-16LE string starting at byte `offset` of `bytes`, up to its zero or the end of the
// bytes, so that a list without its final zero is never read past.
std::u16string StringAt(std::span<const uint8_t> bytes, size_t offset) {
  std::u16string text;
  for (size_t i = offset; i + 1 < bytes.size(); i += 2) {
    const auto c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// Bytes a string and its terminator take in the enumeration.
int64_t EntryBytes(const std::u16string& text) {
  return (static_cast<int64_t>(text.size()) + 1) * 2;
}

std::string QuotedNameLine(std::u16string_view name) {
  return "   \"" + NarrowName(name) + "\"\r\n";
}

// "Mac address = %02.2X-...": the precision alone gives the two digits (the "0" flag is ignored
// with a precision), so "%.2X" prints the same bytes.
std::string MacAddressLine(std::span<const uint8_t> mac) {
  char line[64];
  std::snprintf(line, sizeof(line), "Mac address = %.2X-%.2X-%.2X-%.2X-%.2X-%.2X\r\n", mac[0],
                mac[1], mac[2], mac[3], mac[4], mac[5]);
  return line;
}

// Creates info.log anew and writes the listing in one piece.
bool WriteInfoLog(const std::string& text) {
  const std::string path = host::settings().DIRPACKETS + "/info.log";
  platform::File file =
      platform::File::Open(path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                           platform::FILE_SHARE_READ, platform::Disposition::kCreateAlways);
  if (!file.IsOpen()) {
    host::WriteLog("Unable to create info.log", static_cast<int32_t>(GetLastError()));
    return false;
  }
  if (!file.Write(text)) {
    host::WriteLog("Unable to write info.log", static_cast<int32_t>(GetLastError()));
    return false;
  }
  return true;
}

}  // namespace

const std::array<const char*, NdisMediumMax> MediumNames = {
    "802.3",        "802.5", "FDDI",         "WAN",  "LocalTalk", "DIX",   "Arcnet Raw",
    "Arcnet 878.2", "ATM",   "Wireless WAN", "Irda", "Bpc",       "CoWan", "IEEE 1394 (Firewire)",
};

const char* MediumName(uint32_t medium) {
  return medium < MediumNames.size() ? MediumNames[medium] : "Unknown";
}

std::array<uint8_t, kQueryBlockSize> BuildQueryBlock(std::u16string_view lower_name,
                                                     uint32_t interface_number, uint32_t oid) {
  std::array<uint8_t, kQueryBlockSize> block{};
  // The last character of the name field is kept for the terminating zero.
  const size_t characters = std::min(lower_name.size(), kQueryNameBytes / 2 - 1);
  for (size_t i = 0; i < characters; ++i) {
    block[2 * i] = static_cast<uint8_t>(lower_name[i] & 0xFF);
    block[2 * i + 1] = static_cast<uint8_t>(lower_name[i] >> 8);
  }
  StoreLe32(&block[kQueryInterfaceOffset], interface_number);
  StoreLe32(&block[kQueryOidOffset], oid);
  return block;
}

std::string NarrowName(std::u16string_view name) {
  std::string text;
  text.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c <= 0xFF) {
      text.push_back(static_cast<char>(c));
      continue;
    }
    text.push_back('?');
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
                      name[i + 1] <= 0xDFFF;
    if (pair) ++i;
  }
  return text;
}

uint32_t DescribeAdapter(const DeviceHandle& device, std::u16string_view lower_name,
                         uint32_t interface_number, std::string& text) {
  std::array<uint8_t, kQueryBlockSize> block =
      BuildQueryBlock(lower_name, interface_number, OID_GEN_VENDOR_DESCRIPTION);
  uint32_t returned = 0;

  std::array<uint8_t, kDescriptionSize> description{};
  uint32_t error = QueryBindingOid(device, block, description, returned);
  if (error != 0) {
    host::WriteLog("Query For Vendor Description Failed", static_cast<int32_t>(error));
    return error;
  }
  // A description that fills the buffer without a terminating zero is cut to leave room for one.
  const auto answered =
      std::span<const uint8_t>(description).first(std::min<size_t>(returned, kDescriptionSize - 1));
  const size_t length = static_cast<size_t>(
      std::find(answered.begin(), answered.end(), uint8_t{0}) - answered.begin());
  text += "      Description: ";
  text.append(reinterpret_cast<const char*>(description.data()), length);
  text += "\r\n";

  std::vector<uint8_t> output(kQueryOutputSize, 0);
  StoreLe32(&block[kQueryOidOffset], OID_GEN_MEDIA_IN_USE);
  error = QueryBindingOid(device, block, output, returned);
  if (error != 0) {
    host::WriteLog("Query for media in use failed", static_cast<int32_t>(error));
    return error;
  }
  // A shorter answer still leaves the medium as the buffer's first word: 0 when nothing came.
  const uint32_t medium = LoadLe32(output.data());
  if (returned >= 4) {
    text += "      Medium: ";
    text += MediumName(medium);
    text += "; ";
  }

  uint32_t address_oid = 0;
  if (medium == NdisMedium802_3) {
    address_oid = OID_802_3_CURRENT_ADDRESS;
  } else if (medium == NdisMediumWan) {
    address_oid = OID_WAN_CURRENT_ADDRESS;
  } else {
    host::WriteLog("Query not supported by application...", -1);
    return 0;
  }
  StoreLe32(&block[kQueryOidOffset], address_oid);
  error = QueryBindingOid(device, block, output, returned);
  if (error != 0) {
    host::WriteLog("Query for current address failed", static_cast<int32_t>(error));
    return error;
  }
  if (returned == kMacLength) {
    text += MacAddressLine(std::span<const uint8_t>(output).first(kMacLength));
  } else {
    host::WriteLog("DeviceIOControl returned an invalid count = " + std::to_string(returned), -1);
  }
  return 0;
}

bool ListAdapters(DeviceHandle& device) {
  std::vector<uint8_t> buffer(kEnumerationSize, 0);
  uint32_t size = kEnumerationSize;
  if (!EnumBindings(device, buffer, size) || size == 0) return false;
  // Only what the driver returned is read; the zeroed rest reads as the list's end.
  const std::span<const uint8_t> list(buffer.data(), size);

  std::string text;
  uint8_t number = 0;
  int64_t remaining = size;
  size_t position = 0;
  while (remaining > 0) {
    const std::u16string upper = StringAt(list, position);
    if (upper.empty()) break;
    text += "   Interface Number: " + std::to_string(number) + "\r\n";
    text += QuotedNameLine(upper);

    remaining -= EntryBytes(upper);
    position += static_cast<size_t>(EntryBytes(upper));
    const std::u16string lower = remaining > 0 ? StringAt(list, position) : std::u16string();
    if (lower.empty()) {
      host::WriteLog("Unexpected enumeration termination", 0);
      return false;
    }
    text += QuotedNameLine(lower);

    DeviceHandle adapter = OpenBindingHandle(lower);
    if (!adapter.IsOpen()) return false;
    std::string description;
    DescribeAdapter(device, lower, number, description);
    text += description;
    CloseCaptureDevice(adapter);
    text += "\r\n";

    remaining -= EntryBytes(lower);
    position += static_cast<size_t>(EntryBytes(lower));
    ++number;
  }
  return WriteInfoLog(text);
}

}  // namespace flowsentry::capture
