#include "FacadeFixture.h"

#include <limits>

#include <vantor/CameraProtocol.h>

namespace {

using namespace FacadeTesting;
using namespace TarvisUSBInterface::Protocol;
using Nuvik::CameraStates;

constexpr const char* NoError = "<no exception>";

struct BinCase {
  int32_t X, Y;
  const char* Error;  // NoError when accepted
};
void PrintTo(const BinCase& c, std::ostream* os) {
  *os << c.X << "x" << c.Y;
}

class SetBinCase : public FacadeTest, public ::testing::WithParamInterface<BinCase> {};

// Catches a binning check that lets a factor outside 1..2 through or rejects an
// asymmetric one, and a rejected call that still changes the binning.
TEST_P(SetBinCase, ChecksAgainstTheRecord) {
  const BinCase& c = GetParam();
  Connect(102);
  Driver->SetBin(2, 1);
  EXPECT_EQ(DriverError([&] { Driver->SetBin(c.X, c.Y); }), c.Error);
  if (std::string(c.Error) == NoError) {
    EXPECT_EQ(Driver->GetBinX(), c.X);
    EXPECT_EQ(Driver->GetBinY(), c.Y);
  } else {
    EXPECT_EQ(Driver->GetBinX(), 2);
    EXPECT_EQ(Driver->GetBinY(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Factors, SetBinCase,
    ::testing::Values(BinCase{1, 1, NoError}, BinCase{1, 2, NoError}, BinCase{2, 2, NoError},
                      BinCase{3, 3, "Invalid Binning values"}, BinCase{0, 1, "Invalid Binning values"},
                      BinCase{1, -1, "Invalid Binning values"}, BinCase{2, 3, "Invalid Binning values"}),
    [](const auto& info) {
      return "Bin" + std::to_string(info.param.X) + "x" +
             (info.param.Y < 0 ? "Minus" + std::to_string(-info.param.Y) : std::to_string(info.param.Y));
    });

struct StartCase {
  const char* Name;
  int32_t BinX, BinY;
  int32_t X, Y, Width, Height;
  int32_t Duration;
  const char* Error;
};
void PrintTo(const StartCase& c, std::ostream* os) {
  *os << c.Name;
}

class StartExposureCheck : public FacadeTest, public ::testing::WithParamInterface<StartCase> {};

// Catches a wrong check, a wrong bound (binned sensor size, inclusive or exclusive) or
// a wrong order of the checks, and a refused exposure that still reaches the camera.
TEST_P(StartExposureCheck, ChecksInOrder) {
  const StartCase& c = GetParam();
  Connect();
  Driver->SetBin(c.BinX, c.BinY);
  Driver->SetSubframeX(c.X);
  Driver->SetSubframeY(c.Y);
  Driver->SetSubframeWidth(c.Width);
  Driver->SetSubframeHeight(c.Height);
  Firmware->ClearRequestLog();
  EXPECT_EQ(DriverError([&] { Driver->StartExposure(c.Duration); }), c.Error);
  if (std::string(c.Error) == NoError) {
    EXPECT_EQ(Sent(StartExposureRequest).size(), 1u);
    EXPECT_EQ(Driver->GetLastExposureDuration(), c.Duration);
    if (c.Duration > 1000) {
      Driver->AbortExposure();
    } else {
      EXPECT_TRUE(WaitForImage());
    }
  } else {
    EXPECT_TRUE(Firmware->RequestLog().empty());
    EXPECT_EQ(DriverError([&] { Driver->GetLastExposureDuration(); }), "No exposure");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, StartExposureCheck,
    ::testing::Values(StartCase{"FullFrame", 1, 1, 0, 0, 752, 582, 10, NoError},
                      StartCase{"ZeroDuration", 1, 1, 0, 0, 752, 582, 0, NoError},
                      StartCase{"LongestDuration", 1, 1, 0, 0, 752, 582, 16777215, NoError},
                      StartCase{"NegativeDurationBeforeSubframe", 1, 1, -5, 0, 752, 582, -1,
                                "Invalid duration"},
                      StartCase{"DurationBeyond24Bits", 1, 1, 0, 0, 752, 582, 16777216, "Invalid duration"},
                      StartCase{"DurationMax", 1, 1, 0, 0, 752, 582, std::numeric_limits<int32_t>::max(),
                                "Invalid duration"},
                      StartCase{"NegativeX", 1, 1, -5, 0, 752, 582, 10, "Invalid x"},
                      StartCase{"XAtWidth", 1, 1, 752, 0, 752, 582, 10, "Invalid x"},
                      StartCase{"XBeforeY", 1, 1, 752, -1, 752, 582, 10, "Invalid x"},
                      StartCase{"NegativeY", 1, 1, 0, -1, 752, 582, 10, "Invalid y"},
                      StartCase{"YAtBinnedHeight", 2, 2, 0, 291, 376, 291, 10, "Invalid y"},
                      StartCase{"ZeroWidth", 1, 1, 0, 0, 0, 582, 10, "Invalid width"},
                      StartCase{"UnbinnedWidthAtBin2", 2, 2, 0, 0, 752, 582, 10, "Invalid width"},
                      StartCase{"UnbinnedHeightAtBin2", 2, 2, 0, 0, 376, 582, 10, "Invalid height"},
                      StartCase{"ZeroHeight", 1, 1, 0, 0, 752, 0, 10, "Invalid height"},
                      StartCase{"WindowBeyondSensorPasses", 2, 2, 375, 0, 376, 291, 60000, NoError}),
    [](const auto& info) { return std::string(info.param.Name); });

// Catches a refused exposure that counts as the first one, and a StopExposure that does
// not clear the duration.
TEST_F(FacadeTest, ExposureRecord) {
  Connect();
  EXPECT_EQ(DriverError([&] { Driver->GetLastExposureStartTime(); }), "No exposure");
  Driver->StopExposure();
  EXPECT_EQ(DriverError([&] { Driver->GetLastExposureDuration(); }), "No exposure");

  const auto before = std::chrono::system_clock::now();
  Driver->StartExposure(250);
  const auto after = std::chrono::system_clock::now();
  EXPECT_EQ(Driver->GetLastExposureDuration(), 250);
  EXPECT_GE(Driver->GetLastExposureStartTime(), before);
  EXPECT_LE(Driver->GetLastExposureStartTime(), after);

  Driver->StopExposure();
  EXPECT_EQ(Driver->GetLastExposureDuration(), 0);
  ASSERT_TRUE(WaitForImage());
}

// Catches a device refusal that goes unreported, and a refused exposure that does not
// keep the duration it recorded. The device refuses to start while a download runs on
// past its waiting budget; a slow link keeps the first image downloading that long.
TEST_F(FacadeTest, StartRefusedWhileDownloading) {
  Connect();
  SimulatedCamera::StreamFaults slowLink;
  slowLink.LinkBytesPerSecond = 60000;  // a full frame takes about 15 s
  Firmware->SetStreamFaults(slowLink);
  Driver->StartExposure(0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Driver->GetCameraState() != CameraStates::Downloading &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(Driver->GetCameraState(), CameraStates::Downloading);
  EXPECT_EQ(DriverError([&] { Driver->StartExposure(5); }), "Start exposure failed.");
  EXPECT_EQ(Driver->GetLastExposureDuration(), 5);
  EXPECT_FALSE(Driver->IsImageReady());
}

// Catches an abort that throws while idle, refuses while exposing, or reports success
// once the readout has ended in error.
TEST_F(FacadeTest, AbortExposureByState) {
  Connect();
  EXPECT_NO_THROW(Driver->AbortExposure());
  EXPECT_TRUE(Sent(AbortExposureRequest).empty());

  Driver->StartExposure(60000);
  EXPECT_EQ(Driver->GetCameraState(), CameraStates::Exposing);
  EXPECT_NO_THROW(Driver->AbortExposure());
  EXPECT_EQ(Sent(AbortExposureRequest).size(), 1u);

  EXPECT_EQ(Driver->GetCameraState(), CameraStates::Idle);
  // The aborted readout gives up at its next failed read and ends in Error.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Driver->GetCameraState() != CameraStates::Error && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(Driver->GetCameraState(), CameraStates::Error);
  EXPECT_EQ(DriverError([&] { Driver->AbortExposure(); }), "Command failed");
}

// Catches an odd height sent to the device at vertical binning 1 (the two fields need
// an even count), a reported height that includes the extra row, and the rule being
// applied at vertical binning 2.
TEST_F(FacadeTest, OddHeightRuleInTheWindow) {
  Connect();
  Driver->SetSubframeHeight(291);
  EXPECT_EQ(Driver->GetSubframeHeight(), 291);
  Driver->StartExposure(0);
  auto state = Firmware->State();
  EXPECT_EQ(state.WindowEndY - state.WindowStartY + 1, 292);
  ASSERT_TRUE(WaitForImage());

  Driver->SetBin(1, 2);
  Driver->SetSubframeHeight(145);
  EXPECT_EQ(Driver->GetSubframeHeight(), 145);
  Driver->StartExposure(0);
  state = Firmware->State();
  EXPECT_EQ(state.WindowEndY - state.WindowStartY + 1, 145);
  ASSERT_TRUE(WaitForImage());
}

// Catches subframe setters that check or drop their values instead of storing them.
TEST_F(FacadeTest, SubframeSettersStoreUnchecked) {
  Connect();
  Driver->SetSubframeX(-5);
  Driver->SetSubframeY(7);
  EXPECT_EQ(Driver->GetSubframeX(), -5);
  EXPECT_EQ(Driver->GetSubframeY(), 7);
  Driver->SetSubframeWidth(200);
  EXPECT_EQ(Driver->GetSubframeWidth(), 200);
  EXPECT_EQ(DriverError([&] { Driver->StartExposure(10); }), "Invalid x");
}

// Catches readout options that do not reach the geometry: overscan display widens a
// full frame to the whole readout area, fast readout then turns it off again.
TEST_F(FacadeTest, ReadoutOptionsRecomputeTheGeometry) {
  Connect();
  Driver->ShowOverScanArea(true);
  EXPECT_EQ(Driver->GetSubframeWidth(), 795);
  EXPECT_EQ(Driver->GetSubframeHeight(), 596);
  Driver->SetFastReadout(true);
  EXPECT_EQ(Driver->GetSubframeWidth(), 752);
  EXPECT_EQ(Driver->GetSubframeHeight(), 582);
  Driver->SetFastReadout(false);
  Driver->ChangeOverscan(true, false);  // overscan wins over display; the image stays active-area
  EXPECT_EQ(Driver->GetSubframeWidth(), 752);
  EXPECT_EQ(Driver->GetSubframeHeight(), 582);
}

}  // namespace
