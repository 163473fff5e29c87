#pragma once

#include <memory>

#include <vantor/UsbTransport.h>

namespace TarvisUSBInterface {

// Creates the libusb layer with a libusb context of its own. Returns null when libusb
// cannot be initialised on this machine; the caller then falls back to a layer that
// finds no device.
std::unique_ptr<UsbTransport> CreateLibusbTransport();

}  // namespace TarvisUSBInterface
