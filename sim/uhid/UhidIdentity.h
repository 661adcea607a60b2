// Who the emulated update device says it is to the kernel's HID stack: the identity of the real
// device (vendor 0xFFFF, product 0x0100) and a vendor-defined report descriptor with one 8-byte
// input report and one 8-byte output report and no report IDs, so that hosts frame them as
// Framing.h says.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/DeviceIdentity.h"

namespace nuv::sim::uhid {

inline constexpr std::uint16_t kVendorId = nuv::kUpdateVendorId;
inline constexpr std::uint16_t kProductId = nuv::kUpdateProductId;
inline constexpr std::uint16_t kVersionNumber = 0x0101;
inline constexpr std::uint32_t kReportBytes = 8;

// The report descriptor, item by item.
inline constexpr auto kReportDescriptor = std::to_array<std::uint8_t>({
    0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8 bits)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x01,        //   Usage (0x01)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (0x02)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
});

struct Identity {
  std::string name = "Nuv update device (emulated)";
  std::string phys;  // empty: the kernel shows none
  // Unique among the devices of this machine, so that a program can find the hidraw node the
  // kernel made for its own device (HID_UNIQ in the hid device's uevent).
  std::string uniq;
  std::uint16_t bus = 0x03;  // BUS_USB: hosts see the same HID_ID as for the real device
  std::uint16_t vendor = kVendorId;
  std::uint16_t product = kProductId;
  std::uint16_t version = kVersionNumber;
  std::span<const std::uint8_t> descriptor = kReportDescriptor;
};

}  // namespace nuv::sim::uhid
