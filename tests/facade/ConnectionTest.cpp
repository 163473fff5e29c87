#include "FacadeFixture.h"

#include <functional>

#include <vantor/CameraProtocol.h>

namespace {

using namespace FacadeTesting;
using namespace TarvisUSBInterface::Protocol;
using Nuvik::CameraStates;
using Nuvik::LowLevelDriver;

constexpr const char* NoModel = "No camera model: connect to a camera first";

struct ModelSelection {
  uint8_t Code;
  const char* Description;
  bool IsColor;
};
void PrintTo(const ModelSelection& c, std::ostream* os) {
  *os << "code " << int{c.Code};
}

class ConnectModel : public FacadeTest, public ::testing::WithParamInterface<ModelSelection> {};

// Catches a wrong code-to-record mapping (including the fallback for unknown codes and
// codes above 127, read as signed) and a record whose values do not reach the getters.
TEST_P(ConnectModel, SelectsTheRecordAndAnswersFromIt) {
  const ModelSelection& expected = GetParam();
  MakeCamera(expected.Code);
  Driver->Connect();
  ASSERT_TRUE(Driver->IsConnected());

  EXPECT_EQ(Driver->GetDescription(), expected.Description);
  EXPECT_EQ(Driver->IsColor(), expected.IsColor);
  EXPECT_EQ(Driver->GetElectronsPerADU(), 0.7889999747276306);
  EXPECT_EQ(Driver->GetPixelSizeX(), 8.6f);
  EXPECT_EQ(static_cast<double>(Driver->GetPixelSizeY()), 8.300000190734863);
  EXPECT_EQ(Driver->GetFullWellCapacity(), 50000.0);
  EXPECT_EQ(Driver->GetMaxADU(), 65535);
  EXPECT_EQ(Driver->GetMaxBinX(), 2);
  EXPECT_EQ(Driver->GetMaxBinY(), 2);
  EXPECT_EQ(Driver->GetCameraXSize(), 752);
  EXPECT_EQ(Driver->GetCameraYSize(), 582);
  EXPECT_TRUE(Driver->CanAsymmetricBin());
  EXPECT_TRUE(Driver->CanSetTemperature());
  EXPECT_TRUE(Driver->CanGetCoolerPower());
}

INSTANTIATE_TEST_SUITE_P(Codes, ConnectModel,
                         ::testing::Values(ModelSelection{1, "Velmar Q7 Deep Sky Monochromatic Camera",
                                                          false},
                                           ModelSelection{2, "Velmar Q7 Deep Sky Color Camera", true},
                                           ModelSelection{101, "Brask Sonda Monochromatic Camera", false},
                                           ModelSelection{102, "Brask Sonda Color Camera", true},
                                           ModelSelection{7, "Brask Sonda Monochromatic Camera", false},
                                           ModelSelection{0, "Brask Sonda Monochromatic Camera", false},
                                           ModelSelection{229, "Brask Sonda Monochromatic Camera", false}),
                         [](const auto& info) { return "Code" + std::to_string(info.param.Code); });

// Catches a connection that skips the converter defaults or sends them packed wrongly.
TEST_F(FacadeTest, ConnectProgramsTheConverterDefaults) {
  MakeCamera(101);
  Driver->Connect();
  const auto gain = Sent(SetADCGainRequest);
  ASSERT_EQ(gain.size(), 1u);
  EXPECT_EQ(gain[0].Value, 0xB97F);
  EXPECT_EQ(gain[0].Index, 2);
  const auto state = Firmware->State();
  EXPECT_EQ(state.AdcGain, 185);
  EXPECT_EQ(state.AdcOffset, 127);
  EXPECT_EQ(state.AdcPgaScale, 2);
}

// Catches a connection that does not reset the subframe to the full sensor, or that
// loses the start the host set before.
TEST_F(FacadeTest, ConnectSetsTheFullFrameAndKeepsTheStart) {
  MakeCamera();
  Driver->SetSubframeX(10);
  Driver->SetSubframeY(20);
  Driver->SetSubframeWidth(100);
  Driver->SetSubframeHeight(50);
  Driver->Connect();
  EXPECT_EQ(Driver->GetSubframeX(), 10);
  EXPECT_EQ(Driver->GetSubframeY(), 20);
  EXPECT_EQ(Driver->GetSubframeWidth(), 752);
  EXPECT_EQ(Driver->GetSubframeHeight(), 582);
}

// Catches a failed connection that throws, or that leaves a record to answer from.
TEST_F(FacadeTest, ConnectWithoutCameraFailsQuietly) {
  MakeCamera();
  Firmware->Unplug();
  EXPECT_NO_THROW(Driver->Connect());
  EXPECT_FALSE(Driver->IsConnected());
  EXPECT_EQ(DriverError([&] { Driver->GetDescription(); }), NoModel);
}

// Catches a failed model read that keeps the camera open or drops the earlier record.
TEST_F(FacadeTest, FailedModelReadClosesAndKeepsTheEarlierRecord) {
  Connect(2);
  Driver->Disconnect();
  Firmware->FailRequest(GetModelRequest);
  Driver->Connect();
  EXPECT_FALSE(Driver->IsConnected());
  EXPECT_EQ(Driver->GetDescription(), "Velmar Q7 Deep Sky Color Camera");
  EXPECT_TRUE(Driver->IsColor());
}

// Catches an operation that reads the model record before any connection instead of
// refusing with a clear message.
TEST_F(FacadeTest, RecordNeededBeforeFirstConnect) {
  MakeCamera();
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"GetCameraXSize", [&] { Driver->GetCameraXSize(); }},
      {"GetCameraYSize", [&] { Driver->GetCameraYSize(); }},
      {"CanAsymmetricBin", [&] { Driver->CanAsymmetricBin(); }},
      {"CanGetCoolerPower", [&] { Driver->CanGetCoolerPower(); }},
      {"CanSetTemperature", [&] { Driver->CanSetTemperature(); }},
      {"GetDescription", [&] { Driver->GetDescription(); }},
      {"GetElectronsPerADU", [&] { Driver->GetElectronsPerADU(); }},
      {"GetFullWellCapacity", [&] { Driver->GetFullWellCapacity(); }},
      {"IsColor", [&] { Driver->IsColor(); }},
      {"GetMaxADU", [&] { Driver->GetMaxADU(); }},
      {"GetMaxBinX", [&] { Driver->GetMaxBinX(); }},
      {"GetMaxBinY", [&] { Driver->GetMaxBinY(); }},
      {"GetPixelSizeX", [&] { Driver->GetPixelSizeX(); }},
      {"GetPixelSizeY", [&] { Driver->GetPixelSizeY(); }},
      {"SetBin", [&] { Driver->SetBin(1, 1); }},
      {"StartExposure", [&] { Driver->StartExposure(0); }},
      {"IsLastImageColor", [&] { Driver->IsLastImageColor(); }},
      {"GetLastImageColorShiftX", [&] { Driver->GetLastImageColorShiftX(); }},
      {"GetLastImageColorShiftY", [&] { Driver->GetLastImageColorShiftY(); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_EQ(DriverError(call), NoModel) << name;
  }
  EXPECT_TRUE(Firmware->RequestLog().empty());
}

// Catches a GetLastError that ever returns, also right after another call has thrown.
TEST_F(FacadeTest, GetLastErrorAlwaysThrows) {
  Connect();
  EXPECT_EQ(DriverError([&] { Driver->GetLastError(); }), "No error message");
  EXPECT_EQ(DriverError([&] { Driver->SetBin(0, 0); }), "Invalid Binning values");
  EXPECT_EQ(DriverError([&] { Driver->GetLastError(); }), "No error message");
}

// Catches a state query that talks to the camera or starts anywhere but Idle.
TEST_F(FacadeTest, NewDriverIsIdleWithoutTraffic) {
  MakeCamera();
  EXPECT_EQ(Driver->GetCameraState(), CameraStates::Idle);
  EXPECT_FALSE(Driver->IsConnected());
  EXPECT_FALSE(Driver->IsImageReady());
  EXPECT_EQ(Driver->GetSubframeWidth(), 752);
  EXPECT_EQ(Driver->GetBinX(), 1);
  EXPECT_TRUE(Firmware->RequestLog().empty());
}

// Catches a destructor that leaves the readout thread running or the camera claimed:
// the driver goes away mid-exposure and the next one connects to the same camera.
TEST_F(FacadeTest, DestructionMidExposureReleasesTheCamera) {
  Connect();
  Driver->StartExposure(60000);
  Driver.reset();
  Driver = std::make_unique<LowLevelDriver>(*Transport);
  Driver->Connect();
  EXPECT_TRUE(Driver->IsConnected());
}

// Catches a reconnect after Disconnect that fails or keeps the old record.
TEST_F(FacadeTest, DisconnectAndReconnect) {
  Connect(1);
  Driver->Disconnect();
  EXPECT_FALSE(Driver->IsConnected());
  EXPECT_EQ(Driver->GetDescription(), "Velmar Q7 Deep Sky Monochromatic Camera");
  Driver->Connect();
  EXPECT_TRUE(Driver->IsConnected());
}

}  // namespace
