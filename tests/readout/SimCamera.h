#pragma once

// A device instance connected to a simulated camera, and waiting helpers for tests.

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <simcam/Firmware.h>
#include <simcam/SimTransport.h>
#include <vantor/USBDeviceInstance.h>

namespace ReadoutTests {

using TarvisUSBInterface::CameraStates;
using TarvisUSBInterface::USBDeviceInstance;

// A camera that streams instantly, so tests wait only for the exposure time.
inline SimulatedCamera::FirmwareConfig InstantCamera(uint8_t model = 1) {
  SimulatedCamera::FirmwareConfig config;
  config.ModelCode = model;
  config.LinkBytesPerSecond = 0;
  config.Seed = 7;
  return config;
}

struct SimDevice {
  explicit SimDevice(SimulatedCamera::FirmwareConfig config = InstantCamera())
      : Firmware(std::make_shared<SimulatedCamera::Firmware>(config)),
        Transport(SimulatedCamera::CreateSimTransport(Firmware)),
        Device(std::make_unique<USBDeviceInstance>(*Transport)) {
    // The overscan switches are process-wide; every test starts with them off.
    Device->SetOverscanProperties(false, false, false);
  }

  bool Connect() { return Device->FindAndConnect(TarvisUSBInterface::OSR_DEVICE_INTERFACE); }

  CameraStates State() const { return Device->CameraState.load(std::memory_order_acquire); }

  // Waits until the readout has left Exposing and Downloading, or `limit` has passed.
  CameraStates WaitForEnd(std::chrono::milliseconds limit = std::chrono::milliseconds(15000)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const CameraStates s = State();
      if (s == CameraStates::Error || (s == CameraStates::Idle && Device->ImageReady.load() != 0))
        return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return State();
  }

  // Copy of the finished image (ImageReady must be set).
  std::vector<float> Image() const {
    const size_t n = size_t{Device->ImageWidth} * Device->ImageHeight;
    return std::vector<float>(Device->ImageData, Device->ImageData + n);
  }

  std::shared_ptr<SimulatedCamera::Firmware> Firmware;
  std::unique_ptr<TarvisUSBInterface::UsbTransport> Transport;
  std::unique_ptr<USBDeviceInstance> Device;
};

// Runs one exposure to its end and returns the final state.
inline CameraStates Expose(SimDevice& sim, uint32_t ms = 0) {
  if (!sim.Device->StartExposure(ms))
    return CameraStates::Error;
  return sim.WaitForEnd();
}

}  // namespace ReadoutTests
