#pragma once

// A LowLevelDriver bound to an in-process simulated camera, with helpers to read
// what reached the wire.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nuvik/LowLevelDriver.h>
#include <simcam/Firmware.h>
#include <simcam/SimTransport.h>

namespace FacadeTesting {

// The message of the DriverException `call` throws, or a marker when it throws none.
template <typename Call>
std::string DriverError(Call&& call) {
  try {
    call();
  } catch (const Nuvik::DriverException& e) {
    return e.what();
  }
  return "<no exception>";
}

class FacadeTest : public ::testing::Test {
 protected:
  // Builds a camera reporting `model`; images arrive without link delay.
  void MakeCamera(uint8_t model = 1, uint8_t firmwareByte = 105) {
    SimulatedCamera::FirmwareConfig config;
    config.ModelCode = model;
    config.FirmwareByte = firmwareByte;
    config.LinkBytesPerSecond = 0;
    Driver.reset();
    Firmware = std::make_shared<SimulatedCamera::Firmware>(config);
    Transport = SimulatedCamera::CreateSimTransport(Firmware);
    Driver = std::make_unique<Nuvik::LowLevelDriver>(*Transport);
  }

  void Connect(uint8_t model = 1, uint8_t firmwareByte = 105) {
    MakeCamera(model, firmwareByte);
    Driver->Connect();
    ASSERT_TRUE(Driver->IsConnected());
    Firmware->ClearRequestLog();
  }

  // Setup packets with request code `code` since the log was last cleared.
  std::vector<SimulatedCamera::UsbSetupPacket> Sent(uint8_t code) const {
    std::vector<SimulatedCamera::UsbSetupPacket> matching;
    for (const auto& setup : Firmware->RequestLog()) {
      if (setup.Request == code) {
        matching.push_back(setup);
      }
    }
    return matching;
  }

  // Polls until the image is ready; false after a generous bound.
  bool WaitForImage() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Driver->IsImageReady()) {
        return true;
      }
      if (Driver->GetCameraState() == Nuvik::CameraStates::Error) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  // Declared in this order so the driver goes before the layer it borrows.
  std::shared_ptr<SimulatedCamera::Firmware> Firmware;
  std::unique_ptr<TarvisUSBInterface::UsbTransport> Transport;
  std::unique_ptr<Nuvik::LowLevelDriver> Driver;
};

}  // namespace FacadeTesting
