// Construction, copy assignment, state reporting and destruction of a device instance.
#include <chrono>
#include <cstdlib>
#include <future>

#include "DeviceFixture.h"
#include "device/ReadoutThreadHandle.h"

namespace TarvisUSBInterface {
namespace {

// Catches constructor values the facade relies on (it reads these members directly).
TEST_F(SimulatedCameraTest, FreshInstanceIsIdleUnconnectedAndFullFrame) {
  uint8_t state = 99;
  EXPECT_TRUE(device.GetCameraState(&state));
  EXPECT_EQ(state, 0);
  EXPECT_EQ(device.BinningX, 1);
  EXPECT_EQ(device.BinningY, 1);
  EXPECT_EQ(device.ImageWidth, 752u);
  EXPECT_EQ(device.ImageHeight, 582u);
  EXPECT_EQ(device.ImageData, nullptr);
  EXPECT_EQ(device.ImageReady.load(), 0);
  EXPECT_EQ(device.AbortRequested.load(), 0);
  EXPECT_EQ(device.ShowOverscan, 0);
  EXPECT_EQ(device.FastReadout, 0);
  EXPECT_EQ(device.DeviceHandle, InvalidTransportHandle);
  EXPECT_EQ(device.UsbHandle, InvalidTransportHandle);
  EXPECT_EQ(device.ReadoutThread, nullptr);
  EXPECT_FALSE(device.IsConnected());
  EXPECT_TRUE(firmware->RequestLog().empty()) << "construction talks to no camera";
}

// Catches a StopExposure that changes state, flag or image, or reports failure.
TEST_F(SimulatedCameraTest, StopExposureChangesNothingInAnyState) {
  float pixel = 1.0f;
  device.ImageData = &pixel;
  for (CameraStates s :
       {CameraStates::Idle, CameraStates::Exposing, CameraStates::Downloading, CameraStates::Error}) {
    SetState(s);
    device.ImageReady.store(1);
    EXPECT_TRUE(device.StopExposure());
    uint8_t state = 0;
    device.GetCameraState(&state);
    EXPECT_EQ(state, static_cast<uint8_t>(s));
    EXPECT_EQ(device.ImageReady.load(), 1);
    EXPECT_EQ(device.ImageData, &pixel);
  }
  device.ImageData = nullptr;
  EXPECT_TRUE(firmware->RequestLog().empty());
}

// Catches an assignment that leaves out the connection, the pipes or the image, so the
// copy could not talk to the camera or deliver the image.
TEST_F(ConnectedCameraTest, AssignmentSharesConnectionAndImage) {
  auto image = std::shared_ptr<float[]>(new float[4]{1, 2, 3, 4});
  device.ImageOwner = image;
  device.ImageData = image.get();
  device.SensorX = 51;
  SetState(CameraStates::Error);

  USBDeviceInstance copy(*transport);
  copy = device;
  EXPECT_EQ(copy.DeviceHandle, device.DeviceHandle);
  EXPECT_EQ(copy.UsbHandle, device.UsbHandle);
  EXPECT_EQ(copy.BulkInPipe, device.BulkInPipe);
  EXPECT_EQ(copy.BulkOutPipe, device.BulkOutPipe);
  EXPECT_EQ(copy.ImageData, image.get());
  EXPECT_EQ(copy.SensorX, 51u);
  EXPECT_EQ(copy.CameraState.load(), CameraStates::Error);
  char model = 0;
  EXPECT_TRUE(copy.GetModel(&model)) << "the copy talks through the shared handles";
  image.reset();
  device.ImageOwner.reset();
  EXPECT_EQ(copy.ImageData[3], 4.0f) << "the image stays alive while one instance holds it";
  copy.Disconnect();  // only one of the two may release the shared handles
  device.DeviceHandle = device.UsbHandle = 0;
}

// Catches an assignment onto a connected instance that leaves that instance's own
// connection open (and its interface claimed) with nothing referring to it.
TEST_F(ConnectedCameraTest, AssignmentReleasesTheEarlierConnection) {
  auto otherFirmware = std::make_shared<SimulatedCamera::Firmware>(TestCameraConfig());
  auto otherTransport = SimulatedCamera::CreateSimTransport(otherFirmware);
  USBDeviceInstance other(*otherTransport);
  ASSERT_TRUE(other.FindAndConnect(OSR_DEVICE_INTERFACE));
  ASSERT_EQ(SimulatedCamera::SimOpenHandleCount(*otherTransport), 2u);
  other = device;
  EXPECT_EQ(SimulatedCamera::SimOpenHandleCount(*otherTransport), 0u);
  EXPECT_EQ(other.UsbHandle, device.UsbHandle);
  other.DeviceHandle = other.UsbHandle = 0;  // the shared handles are device's to release
}

// Catches a destructor that leaves a readout thread running (it would read a freed
// instance) or waits for it to run into its time-outs: the pipe here waits forever.
TEST_F(SimulatedCameraTest, DestructionEndsAPendingReadout) {
  auto instance = std::make_unique<USBDeviceInstance>(*transport);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(instance->FindAndConnect(OSR_DEVICE_INTERFACE));
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(transport->SetPipeTimeout(instance->UsbHandle, instance->BulkInPipe, 0), UsbError::None);

  // Stands in for the readout thread: reads until a read fails with the abort flag set.
  USBDeviceInstance* raw = instance.get();
  raw->ReadoutThread = std::make_unique<ReadoutThreadHandle>();
  raw->ReadoutThread->Thread = std::thread([raw] {
    uint8_t buffer[64];
    while (true) {
      uint32_t length = sizeof(buffer);
      if (!raw->Receive(buffer, &length) && raw->AbortRequested.load(std::memory_order_acquire)) {
        return;
      }
    }
  });

  auto destroyed = std::async(std::launch::async, [&instance] { instance.reset(); });
  if (destroyed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the destructor did not end the pending read";
    std::_Exit(1);
  }
  EXPECT_EQ(SimulatedCamera::SimOpenHandleCount(*transport), 0u);
}

}  // namespace
}  // namespace TarvisUSBInterface
