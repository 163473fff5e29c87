// A device instance driving the emulated camera through libusb: connection and its
// console lines, the requests of a typical session, exposures read out over the bulk
// pipe, and an unplug during a readout.
#include <chrono>
#include <thread>

#include <simcam/SimTransport.h>
#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "LibusbFixture.h"

namespace LibusbTests {
namespace {

using namespace TarvisUSBInterface;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

CameraStates State(USBDeviceInstance& dev) {
  uint8_t state = 0;
  dev.GetCameraState(&state);
  return static_cast<CameraStates>(state);
}

// Waits until the readout thread has left Exposing/Downloading.
CameraStates WaitForReadout(USBDeviceInstance& dev, milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    const CameraStates state = State(dev);
    if ((state == CameraStates::Idle && dev.ImageReady.load(std::memory_order_acquire)) ||
        state == CameraStates::Error) {
      return state;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return State(dev);
}

std::vector<float> Image(USBDeviceInstance& dev) {
  return {dev.ImageData, dev.ImageData + static_cast<size_t>(dev.ImageWidth) * dev.ImageHeight};
}

// The same exposure taken through the in-process layer from an identical camera: what
// libusb delivered must match it sample for sample.
std::vector<float> ReferenceImage(uint8_t bin, uint32_t width, uint32_t height, uint32_t ms) {
  auto firmware = std::make_shared<SimulatedCamera::Firmware>(EmulatedCameraTest::InstantConfig());
  auto sim = SimulatedCamera::CreateSimTransport(firmware);
  USBDeviceInstance dev(*sim);
  if (!dev.FindAndConnect(OSR_DEVICE_INTERFACE))
    return {};
  dev.SetBinning(bin, bin);
  dev.SetROI(0, 0, width, height);
  dev.StartExposure(ms);
  if (WaitForReadout(dev, milliseconds(10000)) != CameraStates::Idle)
    return {};
  return Image(dev);
}

class LibusbDeviceTest : public EmulatedCameraTest {
 protected:
  void SetUp() override {
    EmulatedCameraTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
      return;
    dev = std::make_unique<USBDeviceInstance>(*transport);
  }
  void TearDown() override {
    dev.reset();  // joins the readout thread before the layer goes
    EmulatedCameraTest::TearDown();
  }

  // Full frame (or the 2 x 2 full frame) through libusb, checked against the reference.
  void ExposeAndCompare(uint8_t bin, uint32_t width, uint32_t height) {
    ASSERT_TRUE(dev->FindAndConnect(OSR_DEVICE_INTERFACE));
    dev->SetBinning(bin, bin);
    dev->SetROI(0, 0, width, height);
    ASSERT_TRUE(dev->StartExposure(10));
    ASSERT_EQ(WaitForReadout(*dev, milliseconds(10000)), CameraStates::Idle);
    ASSERT_EQ(dev->ImageWidth, width);
    ASSERT_EQ(dev->ImageHeight, height);
    const std::vector<float> image = Image(*dev);
    dev->Disconnect();
    const std::vector<float> reference = ReferenceImage(bin, width, height, 10);
    ASSERT_EQ(reference.size(), image.size());
    size_t differing = 0;
    for (size_t i = 0; i < image.size(); ++i)
      differing += image[i] != reference[i];
    EXPECT_EQ(differing, 0u) << "samples differ from the in-process readout";
  }

  std::unique_ptr<USBDeviceInstance> dev;
};

// Catches: discovery through libusb not printing the stable device path, the pipes
// not found or their lines missing, or the connection's closing binning request lost.
TEST_F(LibusbDeviceTest, ConnectsAndPrintsThePathAndPipes) {
  testing::internal::CaptureStdout();
  const bool connected = dev->FindAndConnect(OSR_DEVICE_INTERFACE);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(connected);
  EXPECT_EQ(out,
            "Device path:  usb:1-2 1209:0001\n"
            "Endpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"
            "Endpoint index: 1 Pipe type: Bulk Pipe ID: \x02.\n");
  EXPECT_EQ(dev->BulkInPipe, 0x81);
  EXPECT_EQ(dev->BulkOutPipe, 0x02);
  EXPECT_EQ(dev->DeviceSpeed, HighSpeed);
  const auto log = firmware->RequestLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().RequestType, 0x60);
  EXPECT_EQ(log.back().Request, Protocol::SetCameraBinningRequest);
  EXPECT_EQ(log.back().Value, 0x0101);
}

// Catches: any request of a typical session changed on its way through libusb (type
// byte, code, wValue/wIndex byte order, wLength) or answered wrongly.
TEST_F(LibusbDeviceTest, TypicalSessionSendsTheExpectedWireValues) {
  ASSERT_TRUE(dev->FindAndConnect(OSR_DEVICE_INTERFACE));
  firmware->ClearRequestLog();
  firmware->ForceTemperatureRaw(262);
  char model = 0, version = 0;
  EXPECT_TRUE(dev->GetModel(&model));
  EXPECT_EQ(model, 1);
  EXPECT_TRUE(dev->GetFirmware(&version));
  EXPECT_EQ(static_cast<uint8_t>(version), 105);
  EXPECT_TRUE(dev->SetADCGain({185, 127, 2, false, false, false, 0, false, false, 0}));
  EXPECT_TRUE(dev->SetCoolingPoint(true, -10.0f));
  double celsius = 0;
  EXPECT_TRUE(dev->GetTemperature(&celsius));
  EXPECT_NEAR(celsius, 19.906667, 1e-6);
  EXPECT_TRUE(dev->SetTemperaturePIDGain(10, 20, 30));
  EXPECT_TRUE(dev->PulseGuide(2, 1000));
  dev->SetCoolingDutyCycle(50);
  ASSERT_TRUE(dev->StartExposure(100000));
  EXPECT_TRUE(dev->AbortExposure());

  const UsbSetupPacket expected[] = {
      {0xE0, 20, 0, 0, 1},      {0xE0, 21, 0, 0, 1},       {0x60, 25, 0xB97F, 2, 0}, {0x60, 22, 89, 1, 0},
      {0xE0, 23, 0, 0, 2},      {0x60, 36, 0x141E, 10, 0}, {0x60, 18, 1000, 2, 0},   {0x60, 30, 50, 0, 0},
      {0x60, 13, 0x0101, 0, 0}, {0x60, 31, 3, 0, 0},       {0x60, 32, 754, 0, 0},    {0x60, 33, 12, 0, 0},
      {0x60, 34, 593, 0, 0},    {0x60, 16, 0x86A0, 1, 0},  {0x60, 17, 0, 0, 0},
  };
  const auto log = firmware->RequestLog();
  ASSERT_EQ(log.size(), std::size(expected));
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log[i].RequestType, expected[i].RequestType);
    EXPECT_EQ(log[i].Request, expected[i].Request);
    EXPECT_EQ(log[i].Value, expected[i].Value);
    EXPECT_EQ(log[i].Index, expected[i].Index);
    EXPECT_EQ(log[i].Length, expected[i].Length);
  }
}

// Catches: bytes lost, reordered or duplicated when two 437,664-byte fields cross
// libusb in 16 KiB URBs.
TEST_F(LibusbDeviceTest, FullFrameTwoFieldExposureMatchesTheInProcessReadout) {
  ExposeAndCompare(1, Protocol::ActiveWidth, Protocol::ActiveHeight);
}

// Catches: the single-transfer readout broken through libusb, or control requests
// failing while the readout thread waits in its bulk read.
TEST_F(LibusbDeviceTest, TwoByTwoExposureWithControlRequestsDuringTheWait) {
  ASSERT_TRUE(dev->FindAndConnect(OSR_DEVICE_INTERFACE));
  dev->SetBinning(2, 2);
  dev->SetROI(0, 0, Protocol::ActiveWidth / 2, Protocol::ActiveHeight / 2);
  ASSERT_TRUE(dev->StartExposure(2500));
  std::this_thread::sleep_for(milliseconds(100));
  // Each request must complete while the readout thread still waits for the image.
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(State(*dev), CameraStates::Exposing);
    double celsius = 0;
    EXPECT_TRUE(dev->GetTemperature(&celsius));
    EXPECT_EQ(State(*dev), CameraStates::Exposing) << "the request waited for the bulk read to end";
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_EQ(WaitForReadout(*dev, milliseconds(10000)), CameraStates::Idle);
  const std::vector<float> image = Image(*dev);
  dev->Disconnect();
  const std::vector<float> reference =
      ReferenceImage(2, Protocol::ActiveWidth / 2, Protocol::ActiveHeight / 2, 2500);
  ASSERT_EQ(reference.size(), image.size());
  EXPECT_TRUE(image == reference) << "samples differ from the in-process readout";
}

// Catches: an unplug mid-readout crashing, hanging or reporting success, and a
// driver that cannot connect again once the camera is back.
TEST_F(LibusbDeviceTest, UnplugDuringReadoutEndsInErrorAndTheCameraCanBeConnectedAgain) {
  ASSERT_TRUE(dev->FindAndConnect(OSR_DEVICE_INTERFACE));
  SimulatedCamera::StreamFaults faults;
  faults.UnplugAfterBytes = 100000;
  firmware->SetStreamFaults(faults);
  dev->SetROI(0, 0, Protocol::ActiveWidth, Protocol::ActiveHeight);
  ASSERT_TRUE(dev->StartExposure(0));
  // The readout keeps retrying until its limit (4500 ms after the start).
  EXPECT_EQ(WaitForReadout(*dev, milliseconds(9000)), CameraStates::Error);
  EXPECT_EQ(dev->ImageReady.load(), 0);
  char model = 0;
  EXPECT_FALSE(dev->GetModel(&model));
  dev->Disconnect();

  // The camera comes back on the same port with a new address.
  device.reset();
  firmware = std::make_shared<SimulatedCamera::Firmware>(InstantConfig());
  EmulatedDeviceOptions replugged;
  replugged.Address = 3;
  device = std::make_unique<EmulatedUsbDevice>(*testbed, firmware, replugged);
  testing::internal::CaptureStdout();
  const bool connected = dev->FindAndConnect(OSR_DEVICE_INTERFACE);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(connected);
  EXPECT_EQ(out.rfind("Device path:  usb:1-2 1209:0001\n", 0), 0u) << out;
  EXPECT_TRUE(dev->GetModel(&model));
  dev->SetBinning(2, 2);
  dev->SetROI(0, 0, Protocol::ActiveWidth / 2, Protocol::ActiveHeight / 2);
  ASSERT_TRUE(dev->StartExposure(0));
  EXPECT_EQ(WaitForReadout(*dev, milliseconds(5000)), CameraStates::Idle);
}

}  // namespace
}  // namespace LibusbTests
