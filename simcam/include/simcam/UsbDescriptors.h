#pragma once

// What the simulated camera tells a USB host stack about itself: the standard
// descriptors, and the Microsoft OS 2.0 descriptors through which it announces its
// device-interface GUID to hosts that bind it without a driver package.

#include <cstdint>
#include <vector>

#include <vantor/UsbTransport.h>

namespace SimulatedCamera {

// pid.codes' open vendor ID with its test product ID: free for devices that never
// leave the lab, which is what a simulated camera is.
inline constexpr uint16_t UsbVendorId = 0x1209;
inline constexpr uint16_t UsbProductId = 0x0001;
// bRequest of the vendor request that returns the MS OS 2.0 descriptor set.
inline constexpr uint8_t MsOs20VendorCode = 0x56;
// wMaxPacketSize of both bulk endpoints (high speed).
inline constexpr uint16_t BulkMaxPacketSize = 512;

// Device, configuration, interface and endpoint descriptors back to back, as the
// Linux kernel exposes them in a device's sysfs `descriptors` attribute.
std::vector<uint8_t> UsbDeviceDescriptors();

// Answers a standard (bmRequestType 0x80) or vendor (0xC0) device-to-host request:
// GET_DESCRIPTOR for the device, configuration, BOS and string descriptors, GET_STATUS,
// GET_CONFIGURATION, and the MS OS 2.0 descriptor set (bRequest MsOs20VendorCode,
// wIndex 7). Writes at most setup.Length bytes, as a device truncates an answer to
// wLength. Returns false to stall anything else.
bool AnswerDescriptorRequest(const TarvisUSBInterface::UsbSetupPacket& setup, uint8_t* data,
                             uint32_t& returned);

}  // namespace SimulatedCamera
