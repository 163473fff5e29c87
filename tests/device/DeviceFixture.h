#pragma once

// Binds a device instance to a simulated camera, and gives tests the private commands.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <simcam/Firmware.h>
#include <simcam/SimTransport.h>
#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

namespace TarvisUSBInterface {

struct DeviceTestAccess {
  static bool SetCameraBinning(USBDeviceInstance& d, uint8_t x, uint8_t y) {
    return d.SetCameraBinning(x, y);
  }
  static bool GetCameraBinning(USBDeviceInstance& d, uint8_t* x, uint8_t* y) {
    return d.GetCameraBinning(x, y);
  }
  static bool SetCameraROI(USBDeviceInstance& d, uint16_t x, uint16_t y, uint16_t w, uint16_t h) {
    return d.SetCameraROI(x, y, w, h);
  }
};

inline bool operator==(const UsbSetupPacket& a, const UsbSetupPacket& b) {
  return a.RequestType == b.RequestType && a.Request == b.Request && a.Value == b.Value &&
         a.Index == b.Index && a.Length == b.Length;
}

inline void PrintTo(const UsbSetupPacket& p, std::ostream* os) {
  *os << "{type 0x" << std::hex << int{p.RequestType} << std::dec << ", request " << int{p.Request}
      << ", value 0x" << std::hex << p.Value << ", index 0x" << p.Index << std::dec << ", length " << p.Length
      << "}";
}

// Settings that do not depend on the environment, with a link that delivers at once.
inline SimulatedCamera::FirmwareConfig TestCameraConfig() {
  SimulatedCamera::FirmwareConfig config;
  config.LinkBytesPerSecond = 0;
  return config;
}

// A camera, its USB layer, and an instance bound to it (declared in destruction order).
class SimulatedCameraTest : public ::testing::Test {
 protected:
  explicit SimulatedCameraTest(SimulatedCamera::FirmwareConfig config = TestCameraConfig())
      : firmware(std::make_shared<SimulatedCamera::Firmware>(config)),
        transport(SimulatedCamera::CreateSimTransport(firmware)),
        device(*transport) {}

  // Connects with the console lines swallowed; true on success.
  bool Connect() {
    testing::internal::CaptureStdout();
    bool connected = device.FindAndConnect(OSR_DEVICE_INTERFACE);
    testing::internal::GetCapturedStdout();
    return connected;
  }

  void SetState(CameraStates state) { device.CameraState.store(state); }

  std::shared_ptr<SimulatedCamera::Firmware> firmware;
  std::unique_ptr<UsbTransport> transport;
  USBDeviceInstance device;
};

// Connected, with the request log cleared.
class ConnectedCameraTest : public SimulatedCameraTest {
 protected:
  using SimulatedCameraTest::SimulatedCameraTest;
  void SetUp() override {
    ASSERT_TRUE(Connect());
    firmware->ClearRequestLog();
  }
};

}  // namespace TarvisUSBInterface

namespace SimulatedCamera {
inline FirmwareConfig TestCameraConfigForFirmware() {
  return TarvisUSBInterface::TestCameraConfig();
}
}  // namespace SimulatedCamera
