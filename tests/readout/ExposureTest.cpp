// Exposures end to end: device instance, protocol, simulated camera and readout thread.

#include <cmath>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "SensorModel.h"
#include "SimCamera.h"
#include <simcam/StarField.h>

namespace ReadoutTests {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

bool SentRequest(const SimDevice& sim, uint8_t code) {
  for (const auto& p : sim.Firmware->RequestLog())
    if (p.Request == code)
      return true;
  return false;
}

// What the camera's window reads as for the first exposure of a camera with seed 7,
// whose default sky is the star field.
std::vector<float> CameraWindow(const USBDeviceInstance& d, uint32_t ms) {
  SimulatedCamera::ExposureSettings s;
  s.ExposureMs = ms;
  s.BinX = static_cast<uint8_t>(d.SensorBinX);
  s.BinY = static_cast<uint8_t>(d.SensorBinY);
  s.StartX = static_cast<uint16_t>(d.SensorX);
  s.EndX = static_cast<uint16_t>(d.SensorX + d.RawWidth - 1);
  s.StartY = static_cast<uint16_t>(d.SensorY);
  s.EndY = static_cast<uint16_t>(d.SensorY + d.RawHeight - 1);
  std::vector<float> rate(752 * 582);
  SimulatedCamera::StarField(SimulatedCamera::StarFieldOptions{.Seed = 7}).Render(rate.data(), 752, 582, {});
  SimulatedCamera::SensorModel sensor(s, 7, 1, rate);
  std::vector<uint8_t> row(2 * size_t{sensor.Width()});
  std::vector<float> out;
  for (uint32_t r = 0; r < sensor.Height(); ++r) {
    sensor.RenderRow(r, row.data());
    for (uint32_t c = 0; c < sensor.Width(); ++c)
      out.push_back(static_cast<float>(row[2 * c] << 8 | row[2 * c + 1]));
  }
  return out;
}

// Catches rows misplaced between the fields (even and odd SensorY), a single transfer
// out of order, a fast readout not rebuilt from the camera's rows, and a wrong size.
TEST(Exposure, ImageIsTheCameraWindow) {
  struct Case {
    const char* Name;
    uint32_t X, Y, W, H;
    bool Fast;
    int Bin;
  };
  for (const Case& c :
       {Case{"full frame", 0, 0, 752, 582, false, 1}, Case{"odd start row", 40, 51, 300, 101, false, 1},
        Case{"binning 2", 0, 0, 376, 291, false, 2}, Case{"fast", 0, 0, 752, 582, true, 1}}) {
    SCOPED_TRACE(c.Name);
    SimDevice sim;
    ASSERT_TRUE(sim.Connect());
    USBDeviceInstance& d = *sim.Device;
    // The rebuild needs the device's fast-readout setting, as the facade makes it.
    d.SetFastReadout(c.Fast);
    d.SetROI(c.X, c.Y, c.W, c.H, false, c.Fast, c.Bin, c.Bin);
    ASSERT_EQ(Expose(sim, 20), CameraStates::Idle);
    ASSERT_EQ(d.ImageReady.load(), 1);
    ASSERT_EQ(d.ImageWidth, c.W);
    ASSERT_EQ(d.ImageHeight, c.H);
    const auto image = sim.Image();
    const auto window = CameraWindow(d, 20);
    if (!c.Fast) {
      ASSERT_EQ(image, window);
    } else {
      for (uint32_t r = 0; r < c.H; r += 2)
        for (uint32_t col = 0; col < c.W; col += 37)
          ASSERT_EQ(image[r * c.W + col], window[(r / 2) * c.W + col]) << r;
      EXPECT_EQ(image[1 * c.W + 5], (window[5] + window[c.W + 5]) / 2);
    }
  }
}

double RowMeanSpread(const std::vector<float>& image, uint32_t width, uint32_t height, double* level) {
  std::vector<double> means;
  for (uint32_t r = 0; r < height; ++r)
    means.push_back(std::accumulate(image.begin() + r * width, image.begin() + (r + 1) * width, 0.0) / width);
  const double m = std::accumulate(means.begin(), means.end(), 0.0) / means.size();
  double s = 0;
  for (double x : means)
    s += (x - m) * (x - m);
  *level = m;
  return std::sqrt(s / means.size());
}

// Catches an overscan mode that does not remove the row-to-row bias of a zero-second
// frame, or that shifts the overall bias level.
TEST(Exposure, OverscanRemovesRowToRowBias) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 752, 582);
  ASSERT_EQ(Expose(sim), CameraStates::Idle);
  double plainLevel = 0, correctedLevel = 0;
  const double plain = RowMeanSpread(sim.Image(), 752, 582, &plainLevel);
  d.SetOverscanProperties(true, false, false);
  d.SetROI(0, 0, 752, 582);
  ASSERT_EQ(Expose(sim), CameraStates::Idle);
  ASSERT_EQ(d.ImageWidth, 752u);
  ASSERT_EQ(d.ImageHeight, 582u);
  const double corrected = RowMeanSpread(sim.Image(), 752, 582, &correctedLevel);
  d.SetOverscanProperties(false, false, false);
  EXPECT_GT(plain, 3.0);
  EXPECT_LT(corrected, plain / 3);
  EXPECT_NEAR(correctedLevel, plainLevel, 2.0);
}

// Catches a state machine that skips Downloading, publishes ImageReady before the end,
// or ends anywhere but Idle with the image.
TEST(Exposure, StatesFollowTheReadout) {
  auto config = InstantCamera();
  config.LinkBytesPerSecond = 2e6;  // a full frame takes about 0.44 s
  SimDevice sim(config);
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(sim.Device->StartExposure(100));
  EXPECT_EQ(sim.State(), CameraStates::Exposing);
  bool sawDownloading = false;
  const auto deadline = Clock::now() + milliseconds(10000);
  while (Clock::now() < deadline) {
    const auto s = sim.State();
    const auto ready = sim.Device->ImageReady.load();
    if (s == CameraStates::Downloading) {
      sawDownloading = true;
      ASSERT_EQ(ready, 0);
    }
    if (ready)
      break;
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_TRUE(sawDownloading);
  EXPECT_EQ(sim.State(), CameraStates::Idle);
  EXPECT_EQ(sim.Device->ImageReady.load(), 1);
}

// Catches an abort that does not end in Error once the pending read fails, an abort
// accepted outside Exposing, and a device left unable to expose after it.
TEST(Exposure, AbortThenNextExposureSucceeds) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  EXPECT_FALSE(sim.Device->AbortExposure());  // Idle
  EXPECT_FALSE(SentRequest(sim, 17));
  ASSERT_TRUE(sim.Device->StartExposure(3000));
  ASSERT_TRUE(sim.Device->AbortExposure());
  EXPECT_EQ(sim.State(), CameraStates::Idle);
  EXPECT_EQ(sim.WaitForEnd(milliseconds(5000)), CameraStates::Error);
  EXPECT_EQ(sim.Device->ImageReady.load(), 0);
  EXPECT_EQ(Expose(sim), CameraStates::Idle);
  EXPECT_EQ(sim.Device->ImageReady.load(), 1);
}

// Catches a refused abort reported as success: the camera goes on exposing and sends
// its image, so the host must not believe the exposure ended.
TEST(Exposure, RefusedAbortIsReportedAndTheImageStillArrives) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  sim.Firmware->RefuseAbort(true);
  ASSERT_TRUE(sim.Device->StartExposure(200));
  EXPECT_FALSE(sim.Device->AbortExposure());
  EXPECT_EQ(sim.Device->AbortRequested.load(), 0);
  EXPECT_EQ(sim.WaitForEnd(), CameraStates::Idle);
  EXPECT_EQ(sim.Device->ImageReady.load(), 1);
}

// Catches readouts that overlap or leak: a StartExposure while the earlier exposure
// still runs waits for its readout, and exposures in a row each deliver their image.
TEST(Exposure, BackToBackExposures) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 752, 582);
  ASSERT_TRUE(d.StartExposure(300));
  ASSERT_TRUE(d.StartExposure(0));  // waits for the first readout to finish
  EXPECT_EQ(sim.WaitForEnd(), CameraStates::Idle);
  for (int bin : {2, 1, 2}) {
    d.SetBinning(static_cast<uint8_t>(bin), static_cast<uint8_t>(bin));
    d.SetROI(0, 0, 752 / bin, 582 / bin);
    ASSERT_EQ(Expose(sim, 10), CameraStates::Idle);
    EXPECT_EQ(d.ImageWidth, 752u / bin);
    EXPECT_NE(d.ImageData, nullptr);
  }
}

// Catches chunked delivery that corrupts or reorders data: random chunk sizes (each a
// short bulk transfer) give the identical image.
TEST(Exposure, RandomChunksGiveTheIdenticalImage) {
  SimDevice clean, chunked;
  SimulatedCamera::StreamFaults faults;
  faults.RandomChunkMax = 5000;
  chunked.Firmware->SetStreamFaults(faults);
  for (SimDevice* sim : {&clean, &chunked}) {
    ASSERT_TRUE(sim->Connect());
    sim->Device->SetROI(0, 0, 752, 582);
    ASSERT_EQ(Expose(*sim, 50), CameraStates::Idle);
  }
  EXPECT_EQ(clean.Image(), chunked.Image());
}

// Catches a StartExposure that reports success, or leaves the state or the previous
// image changed, when the camera refuses its binning, window or exposure request.
TEST(Exposure, RefusedStartRestoresThePreviousState) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 752, 582);
  ASSERT_EQ(Expose(sim), CameraStates::Idle);
  const float* image = d.ImageData;
  const float first = image[0];
  for (uint8_t code : {13, 31, 34, 16}) {
    SCOPED_TRACE(static_cast<int>(code));
    sim.Firmware->FailRequest(code);
    EXPECT_FALSE(d.StartExposure(100));
    EXPECT_EQ(sim.State(), CameraStates::Idle);
    EXPECT_EQ(d.ImageReady.load(), 1);
    EXPECT_EQ(d.ImageData, image);
    EXPECT_EQ(d.ImageData[0], first);
    EXPECT_FALSE(sim.Firmware->State().Exposing);
    sim.Firmware->ClearFaults();
  }
  EXPECT_EQ(Expose(sim), CameraStates::Idle);
}

// Catches an exposure time the camera cannot be told (2^24 ms or more) being sent
// truncated; nothing at all may reach the camera.
TEST(Exposure, TooLongExposureIsRefused) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  sim.Firmware->ClearRequestLog();
  EXPECT_FALSE(sim.Device->StartExposure(1u << 24));
  EXPECT_FALSE(sim.Device->StartExposure(0xFFFFFFFFu));
  EXPECT_TRUE(sim.Firmware->RequestLog().empty());
  EXPECT_EQ(sim.State(), CameraStates::Idle);
}

// Catches a readout that writes into a buffer it could not allocate: a window far too
// large ends in Error with no image, and the next exposure works.
TEST(Exposure, UnallocatableBuffersEndInError) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 100000, 100000, false, false, 1, 1);
  ASSERT_TRUE(d.StartExposure(0));
  EXPECT_EQ(sim.WaitForEnd(), CameraStates::Error);
  EXPECT_EQ(d.ImageData, nullptr);
  EXPECT_EQ(d.ImageReady.load(), 0);
  d.SetROI(0, 0, 752, 582);
  EXPECT_EQ(Expose(sim), CameraStates::Idle);
}

// Catches a readout that reads the live geometry: a SetROI during the readout must not
// change what it reads or writes (ASan and TSan builds see any overrun or race).
TEST(Exposure, SetROIDuringReadoutUsesTheStartGeometry) {
  auto config = InstantCamera();
  config.LinkBytesPerSecond = 4e6;
  SimDevice sim(config);
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 100, 50, false, false, 1, 1);
  ASSERT_TRUE(d.StartExposure(50));
  d.SetROI(0, 0, 752, 582, true, false, 1, 1);  // larger, overscan
  EXPECT_EQ(sim.WaitForEnd(), CameraStates::Idle);
  d.SetROI(0, 0, 10, 10, false, false, 2, 2);
  ASSERT_TRUE(d.StartExposure(50));
  d.SetROI(0, 0, 752, 582, false, true, 1, 1);
  EXPECT_EQ(sim.WaitForEnd(), CameraStates::Idle);
}

// Catches a destroyed instance that leaves its readout thread running on freed memory.
TEST(Exposure, DestroyingTheInstanceEndsTheReadout) {
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(sim.Device->StartExposure(60000));
  const auto start = Clock::now();
  sim.Device.reset();
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
}

}  // namespace
}  // namespace ReadoutTests
