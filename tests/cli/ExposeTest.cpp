// The capture loop of the tool on a simulated camera in this process, where faults can
// be injected and the camera inspected after Ctrl-C.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <nuvik/LowLevelDriver.h>
#include <simcam/Firmware.h>
#include <simcam/SimTransport.h>
#include <vantor/CameraProtocol.h>

#include "Arguments.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Progress.h"

namespace {

using namespace NuvikCli;

struct Camera {
  explicit Camera(const SimulatedCamera::StreamFaults& faults = {}) {
    SimulatedCamera::FirmwareConfig config;
    config.LinkBytesPerSecond = 0;
    Firmware = std::make_shared<SimulatedCamera::Firmware>(config);
    Firmware->SetStreamFaults(faults);
    Transport = SimulatedCamera::CreateSimTransport(Firmware);
    Driver = std::make_unique<Nuvik::LowLevelDriver>(*Transport);
    Driver->Connect();
  }
  ExposureOutcome Run(int32_t ms) {
    Progress quiet(stderr, false);
    double rate = 1e6;
    return Expose(*Driver, ms, 752 * 582 * 2, rate, quiet);
  }
  std::shared_ptr<SimulatedCamera::Firmware> Firmware;
  std::unique_ptr<TarvisUSBInterface::UsbTransport> Transport;
  std::unique_ptr<Nuvik::LowLevelDriver> Driver;
};

// Catches a readout that never delivers (time-out) or a camera that disappears
// mid-download being reported as success, or hanging the tool.
TEST(Expose, ReadoutFailuresAreCameraErrors) {
  SimulatedCamera::StreamFaults never;
  never.NeverSend = true;
  SimulatedCamera::StreamFaults unplug;
  unplug.UnplugAfterBytes = 100000;
  for (const auto& faults : {never, unplug}) {
    Camera camera(faults);
    ASSERT_TRUE(camera.Driver->IsConnected());
    EXPECT_THROW(camera.Run(0), CameraError);
  }
}

// Catches Ctrl-C that leaves the camera exposing or the readout thread running into
// the next exposure: the abort must reach the camera and the same driver must take
// the next frame.
TEST(Expose, CtrlCAbortsAndTheCameraStaysUsable) {
  Camera camera;
  ASSERT_TRUE(camera.Driver->IsConnected());
  InstallInterruptHandler();
  std::thread press([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::raise(SIGINT);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(camera.Run(20000), ExposureOutcome::Interrupted);
  press.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  bool aborted = false;
  for (const auto& p : camera.Firmware->RequestLog()) {
    aborted = aborted || p.Request == TarvisUSBInterface::Protocol::AbortExposureRequest;
  }
  EXPECT_TRUE(aborted);
  EXPECT_FALSE(camera.Firmware->State().Exposing);

  ClearInterrupt();
  EXPECT_EQ(camera.Run(50), ExposureOutcome::Ready);
  const Nuvik::ImageArray image = camera.Driver->GetImage();
  EXPECT_EQ(image.Width(), 752);
  EXPECT_EQ(image.Height(), 582);
}

}  // namespace
