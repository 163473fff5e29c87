#pragma once

// The simulated camera as a USB layer: one device, one interface with a control pipe,
// a bulk IN pipe (0x81) and a bulk OUT pipe (0x02), talking to a Firmware model in
// the same process. Honours per-pipe time-outs like a real layer.

#include <cstddef>
#include <memory>

#include <simcam/Firmware.h>
#include <vantor/UsbTransport.h>

namespace SimulatedCamera {

// Device path reported by enumeration.
inline constexpr const char* SimDevicePath = "sim:0 vantor-simulated-camera";

// Creates a layer over `firmware`, which the layer shares.
std::unique_ptr<TarvisUSBInterface::UsbTransport> CreateSimTransport(std::shared_ptr<Firmware> firmware);

// Test hook: device and interface handles of a layer made by CreateSimTransport that
// are still open; 0 for any other layer.
std::size_t SimOpenHandleCount(const TarvisUSBInterface::UsbTransport& transport);

}  // namespace SimulatedCamera
