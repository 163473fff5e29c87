// A host program as users write it: only the public header, the default USB layer set
// to the simulated camera, exposures in every readout mode.

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vantor/USBDeviceInstance.h>

namespace {

using namespace TarvisUSBInterface;
using std::chrono::milliseconds;

class HostExposure : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VANTOR_USB", "sim", 1);
    camera_ = std::make_unique<USBDeviceInstance>();
    ASSERT_TRUE(camera_->FindAndConnect(OSR_DEVICE_INTERFACE));
  }

  // Polls as a host does until the image is ready or the readout failed.
  CameraStates Wait() {
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(15000);
    while (std::chrono::steady_clock::now() < deadline) {
      uint8_t state = 0;
      camera_->GetCameraState(&state);
      if (state == static_cast<uint8_t>(CameraStates::Error))
        return CameraStates::Error;
      if (camera_->ImageReady.load(std::memory_order_acquire))
        return CameraStates::Idle;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return CameraStates::Exposing;
  }

  // Spread of the image's row means.
  double RowSpread() const {
    const uint32_t w = camera_->ImageWidth, h = camera_->ImageHeight;
    std::vector<double> means(h);
    for (uint32_t r = 0; r < h; ++r)
      means[r] = std::accumulate(camera_->ImageData + r * w, camera_->ImageData + (r + 1) * w, 0.0) / w;
    const double m = std::accumulate(means.begin(), means.end(), 0.0) / h;
    double s = 0;
    for (double x : means)
      s += (x - m) * (x - m);
    return std::sqrt(s / h);
  }

  std::unique_ptr<USBDeviceInstance> camera_;
};

// Catches a mode whose frame does not arrive or arrives at the wrong size through the
// public interface: normal, overscan, overscan display, fast and 2 x 2.
TEST_F(HostExposure, FullFramesInEveryMode) {
  struct Mode {
    uint8_t Bin;
    bool Overscan, Display, Fast;
    uint32_t Width, Height;
  };
  for (const Mode& m : {Mode{1, false, false, false, 752, 582}, Mode{1, true, false, false, 752, 582},
                        Mode{1, false, true, false, 795, 596}, Mode{1, false, false, true, 752, 582},
                        Mode{2, false, false, false, 376, 291}}) {
    camera_->SetBinning(m.Bin, m.Bin);
    camera_->SetFastReadout(m.Fast);
    camera_->SetOverscanProperties(m.Overscan, false, false);
    camera_->ShowOverscan = m.Display;
    camera_->SetROI(0, 0, 752 / m.Bin, 582 / m.Bin);
    ASSERT_TRUE(camera_->StartExposure(10));
    ASSERT_EQ(Wait(), CameraStates::Idle);
    EXPECT_EQ(camera_->ImageWidth, m.Width);
    EXPECT_EQ(camera_->ImageHeight, m.Height);
    ASSERT_NE(camera_->ImageData, nullptr);
    // Bias about 1000 ADU per pixel, four pixels summed at 2 x 2, two rows in fast mode.
    const double expected = 1000.0 * m.Bin * m.Bin * (m.Fast ? 2 : 1);
    EXPECT_NEAR(camera_->ImageData[100 * m.Width + 1], expected, 100.0);
  }
}

// Catches an overscan mode that leaves the row-to-row bias of a zero-second frame.
TEST_F(HostExposure, OverscanRemovesRowBias) {
  camera_->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(camera_->StartExposure(0));
  ASSERT_EQ(Wait(), CameraStates::Idle);
  const double plain = RowSpread();
  camera_->SetOverscanProperties(true, false, false);
  camera_->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(camera_->StartExposure(0));
  ASSERT_EQ(Wait(), CameraStates::Idle);
  EXPECT_LT(RowSpread(), plain / 3);
}

// Catches an abort that does not end in Error, or a camera unusable after it.
TEST_F(HostExposure, AbortEndsInErrorThenNextExposureSucceeds) {
  camera_->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(camera_->StartExposure(5000));
  ASSERT_TRUE(camera_->AbortExposure());
  EXPECT_EQ(Wait(), CameraStates::Error);
  ASSERT_TRUE(camera_->StartExposure(0));
  EXPECT_EQ(Wait(), CameraStates::Idle);
}

}  // namespace
