// The adapter listing: capture thread 0 numbers every adapter the driver is bound to, asks each
// for its description, medium and MAC address, and writes what it learnt to
// DIRPACKETS/info.log.
//
// The number given to an adapter is stored by the driver and carried in the Interface field of
// every record of that adapter from then on. Failures are written to the diagnostic log where
// they happen (see each function). Nothing here is shared between threads.
#ifndef FLOWSENTRY_SERVICE_CAPTURE_ADAPTER_LISTING_H_
#define FLOWSENTRY_SERVICE_CAPTURE_ADAPTER_LISTING_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/device.h"
#include "shared/control.h"

namespace flowsentry::capture {

// Names printed for the medium in use, indexed by the NDIS medium number.
extern const std::array<const char*, NdisMediumMax> MediumNames;

// The name of medium `medium`; "Unknown" for 14 and above. Pure.
const char* MediumName(uint32_t medium);

// The IOCTL_QUERY_BINDING input block: `lower_name` as UTF-16LE with its terminating zero in
// bytes 0..127 (names of more than 63 characters are cut to 63 to leave room for the zero), the
// interface number at 128 and the OID at 132, little-endian, the rest zero. Pure.
std::array<uint8_t, kQueryBlockSize> BuildQueryBlock(std::u16string_view lower_name,
                                                     uint32_t interface_number, uint32_t oid);

// A UTF-16 name as 8-bit text, as "%ws" prints it: characters up to 0xFF become that byte,
// any other character (a surrogate pair counting as one) becomes "?". Pure.
std::string NarrowName(std::u16string_view name);

// Asks the adapter `lower_name` for its vendor description, medium and current address through
// `device` and appends its lines to `text`:
//   "      Description: <description>\r\n"
//   "      Medium: <medium name>; " then, on the same line, "Mac address = XX-XX-XX-XX-XX-XX\r\n"
// Every query carries `interface_number`, which the driver stores as the adapter's number. Some
// handle must hold the adapter open (OpenBindingHandle). Returns 0, or the error of the query
// that failed after logging it ("Query For Vendor Description Failed", "Query for media in use
// failed", "Query for current address failed"); the text then stops at that point. Media other
// than 802.3 and WAN log "Query not supported by application..." (-1) and get no address; an
// address that is not 6 bytes long logs "DeviceIOControl returned an invalid count = N" (-1).
uint32_t DescribeAdapter(const platform::DeviceHandle& device, std::u16string_view lower_name,
                         uint32_t interface_number, std::string& text);

// Lists the driver's bindings through `device`, numbers them 0, 1, ... in the driver's order,
// describes each adapter while a second handle holds it open, and writes the whole listing to
// settings().DIRPACKETS + "/info.log" (created anew). Each adapter's block is its number line,
// its UpperBindings and lower adapter names in quotes, its DescribeAdapter text and an empty
// line; all lines end in CR LF. False when the enumeration fails or is empty, ends in the middle
// of a pair ("Unexpected enumeration termination", 0), an adapter cannot be opened (the listing
// stops there: later adapters keep their old numbers and info.log is left as it was), or
// info.log cannot be created ("Unable to create info.log") or written ("Unable to write
// info.log"), logged with the last error. The caller goes on with capture either way.
bool ListAdapters(platform::DeviceHandle& device);

}  // namespace flowsentry::capture

#endif  // FLOWSENTRY_SERVICE_CAPTURE_ADAPTER_LISTING_H_
