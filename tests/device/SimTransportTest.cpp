// The simulated camera's USB layer: handles, claims, time-outs and wake-ups.
#include <chrono>
#include <cstdlib>
#include <future>

#include "DeviceFixture.h"

namespace SimulatedCamera {
namespace {

using namespace TarvisUSBInterface;
using Clock = std::chrono::steady_clock;

class SimLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(layer->OpenDevice(SimDevicePath, device), UsbError::None);
    ASSERT_EQ(layer->InitializeInterface(device, usb), UsbError::None);
  }

  // Runs a read on another thread; fails the test instead of hanging if it never returns.
  std::future<UsbError> ReadInBackground(uint32_t& transferred) {
    return std::async(std::launch::async, [this, &transferred] {
      return layer->ReadPipe(usb, BulkInEndpoint, buffer, sizeof(buffer), transferred);
    });
  }
  static UsbError Wait(std::future<UsbError>& read) {
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the pending read never returned";
      std::_Exit(1);
    }
    return read.get();
  }

  std::shared_ptr<Firmware> firmware = std::make_shared<Firmware>(TestCameraConfigForFirmware());
  std::unique_ptr<UsbTransport> layer = CreateSimTransport(firmware);
  TransportHandle device = 0, usb = 0;
  uint8_t buffer[256] = {};
};

// Catches a layer that ignores the pipe time-out (reads would hang) or reports it as
// anything but Timeout with nothing transferred.
TEST_F(SimLayer, ReadWithoutDataTimesOutAfterThePipeTimeout) {
  ASSERT_EQ(layer->SetPipeTimeout(usb, BulkInEndpoint, 50), UsbError::None);
  uint32_t transferred = 99;
  auto start = Clock::now();
  EXPECT_EQ(layer->ReadPipe(usb, BulkInEndpoint, buffer, sizeof(buffer), transferred), UsbError::Timeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(transferred, 0u);
}

// Catches reads that keep waiting after the camera is unplugged or their handle freed.
TEST_F(SimLayer, PendingReadsEndWhenTheDeviceOrHandleGoes) {
  uint32_t transferred = 0;
  auto read = ReadInBackground(transferred);  // no time-out set: would wait forever
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  layer->FreeInterface(usb);
  EXPECT_EQ(Wait(read), UsbError::NoDevice);

  ASSERT_EQ(layer->InitializeInterface(device, usb), UsbError::None);
  read = ReadInBackground(transferred);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  firmware->Unplug();
  EXPECT_EQ(Wait(read), UsbError::NoDevice);
}

// Catches a control transfer blocked behind a pending bulk read on the same interface.
TEST_F(SimLayer, ControlTransfersRunWhileAReadWaits) {
  ASSERT_EQ(layer->SetPipeTimeout(usb, BulkInEndpoint, 3000), UsbError::None);
  uint32_t transferred = 0;
  auto read = ReadInBackground(transferred);
  uint8_t model = 0;
  uint32_t got = 0;
  auto start = Clock::now();
  EXPECT_EQ(
      layer->ControlTransfer(usb, {Protocol::DeviceToHost, Protocol::GetModelRequest, 0, 0, 1}, &model, got),
      UsbError::None);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(got, 1u);
  layer->FreeInterface(usb);
  Wait(read);
}

// Catches stale, foreign or reserved handle values reaching the camera, a second claim
// of the interface, and the layer's error mapping for stalls.
TEST_F(SimLayer, HandlesAndClaims) {
  TransportHandle second = 0;
  EXPECT_EQ(layer->InitializeInterface(device, second), UsbError::Busy);
  uint8_t data[2] = {};
  uint32_t got = 0;
  const UsbSetupPacket temperature{Protocol::DeviceToHost, Protocol::GetTemperatureRequest, 0, 0, 2};
  EXPECT_EQ(layer->ControlTransfer(0, temperature, data, got), UsbError::InvalidArgument);
  EXPECT_EQ(layer->ControlTransfer(InvalidTransportHandle, temperature, data, got),
            UsbError::InvalidArgument);
  EXPECT_EQ(layer->ControlTransfer(device, temperature, data, got), UsbError::NoDevice) << "a device handle";
  EXPECT_EQ(layer->ControlTransfer(usb, {0x40, 20, 0, 0, 0}, nullptr, got), UsbError::Stall);
  EXPECT_EQ(firmware->RequestLog().size(), 1u) << "only the live handle reached the camera";

  layer->FreeInterface(usb);
  layer->FreeInterface(usb);  // already freed: ignored
  layer->CloseDevice(device);
  layer->CloseDevice(12345);  // never handed out: ignored
  EXPECT_EQ(layer->ControlTransfer(usb, temperature, data, got), UsbError::NoDevice);
  EXPECT_EQ(SimOpenHandleCount(*layer), 0u);
}

// Catches enumeration under another interface class or of an unplugged camera.
TEST_F(SimLayer, EnumeratesOnlyThePresentCameraUnderItsClass) {
  std::vector<std::string> paths;
  EXPECT_EQ(layer->EnumerateDevices(OSR_DEVICE_INTERFACE, paths), UsbError::None);
  EXPECT_EQ(paths, std::vector<std::string>{SimDevicePath});
  GUID other = OSR_DEVICE_INTERFACE;
  other.Data1 ^= 1;
  EXPECT_EQ(layer->EnumerateDevices(other, paths), UsbError::None);
  EXPECT_TRUE(paths.empty());
  firmware->Unplug();
  EXPECT_EQ(layer->EnumerateDevices(OSR_DEVICE_INTERFACE, paths), UsbError::None);
  EXPECT_TRUE(paths.empty());
}

// Catches a default layer that crashes or finds a camera when the named one is missing.
TEST(LayerByName, UnknownNamesGiveNoLayer) {
  EXPECT_EQ(CreateUsbTransport("nonsense"), nullptr);
  auto sim = CreateUsbTransport("sim");
  ASSERT_NE(sim, nullptr);
  EXPECT_EQ(sim->Name(), "sim");
  EXPECT_STREQ(UsbErrorName(UsbError::Timeout), "Timeout");
}

}  // namespace
}  // namespace SimulatedCamera
