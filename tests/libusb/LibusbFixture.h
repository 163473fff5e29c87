#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include <simcam/Firmware.h>
#include <vantor/UsbTransport.h>

#include "EmulatedUsbDevice.h"

namespace LibusbTests {

// One emulated camera on bus 1, port 2, behind a fresh libusb layer.
class EmulatedCameraTest : public ::testing::Test {
 public:
  static SimulatedCamera::FirmwareConfig InstantConfig() {
    SimulatedCamera::FirmwareConfig config;
    config.LinkBytesPerSecond = 0;  // image data is there as soon as the exposure ends
    return config;
  }

 protected:
  void SetUp() override {
    unsetenv("VANTOR_USB_IDS");
    testbed = std::make_unique<Testbed>();
    firmware = std::make_shared<SimulatedCamera::Firmware>(InstantConfig());
    device = std::make_unique<EmulatedUsbDevice>(*testbed, firmware);
    if (!Testbed::Available()) {
      GTEST_SKIP() << "umockdev's preload library is not active in this process "
                      "(a sanitizer runtime may have displaced it); the emulated USB tests cannot run";
    }
    transport = TarvisUSBInterface::CreateUsbTransport("libusb");
    ASSERT_NE(transport, nullptr) << "libusb could not be initialised";
  }

  void TearDown() override { unsetenv("VANTOR_USB_IDS"); }

  // Declared in construction order; destroyed in reverse, the layer first.
  std::unique_ptr<Testbed> testbed;
  std::shared_ptr<SimulatedCamera::Firmware> firmware;
  std::unique_ptr<EmulatedUsbDevice> device;
  std::unique_ptr<TarvisUSBInterface::UsbTransport> transport;
};

}  // namespace LibusbTests
