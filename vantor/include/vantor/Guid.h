#pragma once

#include <cstdint>
#include <cstring>

namespace TarvisUSBInterface {

// A device-interface class GUID, laid out as the platform's 16-byte GUID record.
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
};
static_assert(sizeof(GUID) == 16, "GUID is a 16-byte record");

// The interface class the camera's USB interface is registered under.
// {b35924d6-3e16-4a9e-9782-5524a4b79bac}
inline constexpr GUID OSR_DEVICE_INTERFACE = {
    0xb35924d6, 0x3e16, 0x4a9e, {0x97, 0x82, 0x55, 0x24, 0xa4, 0xb7, 0x9b, 0xac}};

}  // namespace TarvisUSBInterface
