#pragma once

// Parsing of what a device tells a USB host about itself beyond the standard
// descriptors: the Microsoft OS 2.0 and 1.0 descriptors through which a device bound
// to WinUSB without a driver package announces its device-interface GUID, the GUID
// text inside them, and the VANTOR_USB_IDS list that stands in for them. Pure
// functions over byte buffers: every length is checked, malformed input yields
// nothing rather than a partial or out-of-bounds read.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <vantor/Guid.h>

namespace TarvisUSBInterface::MsOs {

// MS OS 2.0: the BOS platform capability {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F}
// names the vendor request (bmRequestType 0xC0, bRequest = vendor code,
// wIndex = MsOs20DescriptorIndex) that returns the descriptor set.
inline constexpr uint16_t MsOs20DescriptorIndex = 7;
// MS OS 1.0: string descriptor 0xEE carries "MSFT100" and the vendor code; the
// extended properties are then read with wIndex MsOs10ExtendedPropertiesIndex.
inline constexpr uint8_t MsOs10StringIndex = 0xEE;
inline constexpr uint16_t MsOs10ExtendedPropertiesIndex = 5;

// USB descriptor types used while probing.
inline constexpr uint8_t BosDescriptorType = 0x0F;
inline constexpr uint8_t DeviceCapabilityDescriptorType = 0x10;
inline constexpr uint8_t PlatformCapabilityType = 0x05;

// The platform capability UUID as it appears on the wire (GUID byte order).
inline constexpr uint8_t MsOs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                                   0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

struct MsOs20Platform {
  uint8_t VendorCode;  // bMS_VendorCode
  uint16_t SetLength;  // wMSOSDescriptorSetTotalLength
};

// Finds the MS OS 2.0 platform capability in a whole BOS descriptor.
std::optional<MsOs20Platform> FindMsOs20Platform(std::span<const uint8_t> bos);

// The interface GUIDs a MS OS 2.0 descriptor set registers for `interfaceNumber`
// (registry property DeviceInterfaceGUIDs or DeviceInterfaceGUID). Properties outside
// any function subset apply to the whole (single-function) device.
std::vector<GUID> InterfaceGuidsFromMsOs20Set(std::span<const uint8_t> set, uint8_t interfaceNumber);

// The vendor code of a MS OS 1.0 string descriptor (index 0xEE), if it is one.
std::optional<uint8_t> VendorCodeFromMsOs10String(std::span<const uint8_t> stringDescriptor);

// The interface GUIDs of a MS OS 1.0 extended properties descriptor.
std::vector<GUID> InterfaceGuidsFromMsOs10Properties(std::span<const uint8_t> properties);

// "{b35924d6-3e16-4a9e-9782-5524a4b79bac}", braces optional, any letter case.
std::optional<GUID> ParseGuid(std::string_view text);

struct UsbId {
  uint16_t VendorId;
  uint16_t ProductId;
  friend bool operator==(const UsbId&, const UsbId&) = default;
};

struct UsbIdList {
  std::vector<UsbId> Ids;
  std::vector<std::string> Rejected;  // entries that are not vvvv:pppp in hexadecimal
};

// Parses "1234:5678,abcd:0001" (hexadecimal, blanks around entries allowed).
UsbIdList ParseUsbIdList(std::string_view text);

}  // namespace TarvisUSBInterface::MsOs
