// Readout time limits and link faults that take seconds of real time.

#include <vector>

#include <gtest/gtest.h>

#include "SimCamera.h"

namespace ReadoutTests {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Connects a camera with `faults` and starts a full-frame exposure of `ms`.
void StartFullFrame(SimDevice& sim, const SimulatedCamera::StreamFaults& faults, uint32_t ms) {
  sim.Firmware->SetStreamFaults(faults);
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(sim.Device->StartExposure(ms));
}

// Catches a time limit that is not ExposureMs + 4500 ms, fires early, or never fires:
// no data ever arrives for a 1000 ms exposure.
TEST(ReadoutTimeout, NoDataEndsInErrorAfterTheLimit) {
  SimDevice sim;
  SimulatedCamera::StreamFaults faults;
  faults.NeverSend = true;
  sim.Firmware->SetStreamFaults(faults);
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  const auto start = Clock::now();
  ASSERT_TRUE(sim.Device->StartExposure(1000));
  EXPECT_EQ(sim.WaitForEnd(milliseconds(12000)), CameraStates::Error);
  const auto elapsed = Clock::now() - start;
  EXPECT_GT(elapsed, milliseconds(5500));
  EXPECT_LT(elapsed, milliseconds(5500 + 2000 + 1000));
  EXPECT_EQ(sim.Device->ImageReady.load(), 0);
}

// Catches a second field that never comes being waited for forever, or a first field
// that is counted as the whole image.
TEST(ReadoutTimeout, MissingSecondFieldEndsInError) {
  SimDevice sim;
  SimulatedCamera::StreamFaults faults;
  faults.FirstFieldOnly = true;
  ASSERT_NO_FATAL_FAILURE(StartFullFrame(sim, faults, 0));
  EXPECT_EQ(sim.WaitForEnd(milliseconds(10000)), CameraStates::Error);
  EXPECT_EQ(sim.Device->ImageReady.load(), 0);
}

// Catches a readout that spins or hangs when the camera disappears mid-stream: it ends
// in Error at its limit, and the device instance can still be destroyed.
TEST(ReadoutTimeout, UnplugMidStreamEndsInError) {
  SimDevice sim;
  SimulatedCamera::StreamFaults faults;
  faults.UnplugAfterBytes = 100000;
  ASSERT_NO_FATAL_FAILURE(StartFullFrame(sim, faults, 0));
  EXPECT_EQ(sim.WaitForEnd(milliseconds(10000)), CameraStates::Error);
  EXPECT_EQ(sim.Device->ImageReady.load(), 0);
}

// Catches the readout thread reading the interface handle while Disconnect clears it on
// the host thread (a data race ThreadSanitizer reports), and a readout that does not end
// in Error once its handle is gone.
TEST(ReadoutTimeout, DisconnectDuringReadoutEndsInError) {
  SimDevice sim;
  SimulatedCamera::StreamFaults faults;
  faults.NeverSend = true;
  ASSERT_NO_FATAL_FAILURE(StartFullFrame(sim, faults, 0));
  std::this_thread::sleep_for(milliseconds(100));  // the readout's first read is pending
  sim.Device->Disconnect();
  EXPECT_EQ(sim.WaitForEnd(milliseconds(10000)), CameraStates::Error);
  EXPECT_EQ(sim.Device->ImageReady.load(), 0);
}

// Catches bytes lost when a read times out part-way: on a link too slow for a field to
// arrive within one 2000 ms read, the image must still equal the one of a fast link.
TEST(ReadoutTimeout, SlowLinkKeepsPartialReads) {
  auto slowConfig = InstantCamera();
  slowConfig.LinkBytesPerSecond = 8000;  // 20,000-byte fields take 2.5 s each
  SimDevice fast, slow(slowConfig);
  for (SimDevice* sim : {&fast, &slow}) {
    ASSERT_TRUE(sim->Connect());
    sim->Device->SetROI(100, 50, 200, 100);
    ASSERT_TRUE(sim->Device->StartExposure(0));
    ASSERT_EQ(sim->WaitForEnd(milliseconds(15000)), CameraStates::Idle);
  }
  EXPECT_EQ(fast.Image(), slow.Image());
}

// Catches an unbounded wait in StartExposure: while a download lasts longer than the
// 4500 ms budget it returns false and sends nothing; a short download is waited out.
TEST(ReadoutTimeout, StartExposureWaitsOutADownloadWithinItsBudget) {
  auto config = InstantCamera();
  config.LinkBytesPerSecond = 60000;  // a full frame takes about 15 s
  SimDevice sim(config);
  ASSERT_TRUE(sim.Connect());
  sim.Device->SetROI(0, 0, 752, 582);
  ASSERT_TRUE(sim.Device->StartExposure(0));
  ASSERT_TRUE(sim.WaitForState(CameraStates::Downloading));
  sim.Firmware->ClearRequestLog();
  const auto start = Clock::now();
  EXPECT_FALSE(sim.Device->StartExposure(0));
  EXPECT_GE(Clock::now() - start, milliseconds(4500));
  EXPECT_TRUE(sim.Firmware->RequestLog().empty());
  EXPECT_EQ(sim.State(), CameraStates::Downloading);
  // One camera reads out at a time per process: end this one before the next.
  sim.Device.reset();

  // A download that ends within the budget: 40,000 bytes at 20 kB/s.
  SimulatedCamera::StreamFaults faults;
  faults.LinkBytesPerSecond = 20000;
  SimDevice second;
  second.Firmware->SetStreamFaults(faults);
  ASSERT_TRUE(second.Connect());
  second.Device->SetROI(100, 50, 200, 100);
  ASSERT_TRUE(second.Device->StartExposure(0));
  ASSERT_TRUE(second.WaitForState(CameraStates::Downloading));
  EXPECT_TRUE(second.Device->StartExposure(0));
  EXPECT_EQ(second.WaitForEnd(milliseconds(15000)), CameraStates::Idle);
}

}  // namespace
}  // namespace ReadoutTests
