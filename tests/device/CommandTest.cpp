// Camera commands: what each puts on the wire, what it answers, and its state guard.
#include <cmath>
#include <functional>
#include <limits>

#include "DeviceFixture.h"

namespace TarvisUSBInterface {
namespace {

using namespace Protocol;
using Call = std::function<bool(USBDeviceInstance&)>;

constexpr uint8_t Out = HostToDevice;
constexpr uint8_t In = DeviceToHost;

ADCConfig Adc(uint8_t gain, uint8_t offset, uint8_t pga, bool invert, bool mode3, bool cds, uint8_t cdsTiming,
              bool rlc, bool rlcDac, uint8_t rlcV) {
  return ADCConfig{gain, offset, pga, invert, mode3, cds, cdsTiming, rlc, rlcDac, rlcV};
}

struct WireCase {
  const char* Name;
  Call Run;
  bool Result;
  std::vector<UsbSetupPacket> Packets;
};

void PrintTo(const WireCase& c, std::ostream* os) {
  *os << c.Name;
}

class CommandWire : public ConnectedCameraTest, public ::testing::WithParamInterface<WireCase> {};

// Catches wrong request codes, request types, packing of wValue/wIndex, data-stage
// lengths, and commands that send when they must not.
TEST_P(CommandWire, SendsExactlyTheseSetupPackets) {
  const WireCase& c = GetParam();
  EXPECT_EQ(c.Run(device), c.Result);
  EXPECT_EQ(firmware->RequestLog(), c.Packets);
}

bool Void(const std::function<void(USBDeviceInstance&)>& f, USBDeviceInstance& d) {
  f(d);
  return true;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, CommandWire,
    ::testing::Values(
        WireCase{"DutyCycle50", [](auto& d) { return Void([](auto& e) { e.SetCoolingDutyCycle(50); }, d); }, true,
                 {{Out, SetCoolingDutyCycleRequest, 50, 0, 0}}},
        WireCase{"DutyCycle0", [](auto& d) { return Void([](auto& e) { e.SetCoolingDutyCycle(0); }, d); }, true,
                 {{Out, SetCoolingDutyCycleRequest, 0, 0, 0}}},
        WireCase{"DutyCycle51Dropped", [](auto& d) { return Void([](auto& e) { e.SetCoolingDutyCycle(51); }, d); },
                 true, {}},
        WireCase{"SetPointMinus10On", [](auto& d) { return d.SetCoolingPoint(true, -10.0f); }, true,
                 {{Out, SetCoolingPointRequest, 89, 1, 0}}},
        WireCase{"SetPoint20Off", [](auto& d) { return d.SetCoolingPoint(false, 20.0f); }, true,
                 {{Out, SetCoolingPointRequest, 262, 0, 0}}},
        WireCase{"SetPointBelowRangeClampsTo1", [](auto& d) { return d.SetCoolingPoint(true, -30.0f); }, true,
                 {{Out, SetCoolingPointRequest, 1, 1, 0}}},
        WireCase{"SetPointPassThrough", [](auto& d) { return d.SetCoolingPoint(true, 65535.0f); }, true,
                 {{Out, SetCoolingPointRequest, 0xFFFF, 1, 0}}},
        WireCase{"SetPointNaNRefused",
                 [](auto& d) { return d.SetCoolingPoint(true, std::numeric_limits<float>::quiet_NaN()); }, false,
                 {}},
        WireCase{"PidGains", [](auto& d) { return d.SetTemperaturePIDGain(10, 20, 30); }, true,
                 {{Out, SetPIDGainRequest, 0x141E, 10, 0}}},
        WireCase{"AdcGain", [](auto& d) { return d.SetADCGain(Adc(185, 127, 2, 0, 0, 0, 0, 0, 0, 0)); }, true,
                 {{Out, SetADCGainRequest, 0xB97F, 2, 0}}},
        WireCase{"AdcCds", [](auto& d) { return d.SetADCCDS(Adc(9, 9, 9, 1, 1, 1, 5, 1, 1, 9)); }, true,
                 {{Out, SetADCCDSRequest, 0x0105, 0, 0}}},
        WireCase{"AdcRlc", [](auto& d) { return d.SetADCRLC(Adc(9, 9, 9, 1, 1, 1, 9, 1, 1, 7)); }, true,
                 {{Out, SetADCRLCRequest, 0x0101, 7, 0}}},
        WireCase{"AdcAdvConfig", [](auto& d) { return d.SetADCADVCONFIG(Adc(9, 9, 9, 1, 0, 1, 9, 1, 1, 9)); },
                 true, {{Out, SetADCAdvConfigRequest, 0x0100, 0, 0}}},
        WireCase{"PulseGuide", [](auto& d) { return d.PulseGuide(2, 1000); }, true,
                 {{Out, PulseGuideRequest, 1000, 2, 0}}},
        WireCase{"EnterProgrammingMode",
                 [](auto& d) { return Void([](auto& e) { e.EnterProgrammingMode(); }, d); }, true,
                 {{Out, EnterProgrammingModeRequest, 0, 0, 0}}},
        WireCase{"StartBoot", [](auto& d) { return d.StartBoot(); }, true,
                 {{Out, EnterProgrammingModeRequest, 0, 0, 0}}},
        WireCase{"CameraBinning2x1", [](auto& d) { return DeviceTestAccess::SetCameraBinning(d, 2, 1); }, true,
                 {{Out, SetCameraBinningRequest, 0x0201, 0, 0}}},
        WireCase{"CameraWindowFullFrame",
                 [](auto& d) { return DeviceTestAccess::SetCameraROI(d, 0, 0, 752, 582); },
                 true,
                 {{Out, SetWindowStartXRequest, 0, 0, 0},
                  {Out, SetWindowEndXRequest, 751, 0, 0},
                  {Out, SetWindowStartYRequest, 0, 0, 0},
                  {Out, SetWindowEndYRequest, 581, 0, 0}}},
        WireCase{"CameraWindowWidth0Wraps", [](auto& d) { return DeviceTestAccess::SetCameraROI(d, 0, 5, 0, 1); },
                 true,
                 {{Out, SetWindowStartXRequest, 0, 0, 0},
                  {Out, SetWindowEndXRequest, 0xFFFF, 0, 0},
                  {Out, SetWindowStartYRequest, 5, 0, 0},
                  {Out, SetWindowEndYRequest, 5, 0, 0}}},
        WireCase{"GetCameraBinning",
                 [](auto& d) {
                   uint8_t x = 0, y = 0;
                   return DeviceTestAccess::GetCameraBinning(d, &x, &y);
                 },
                 true, {{In, GetCameraBinningRequest, 0, 0, 2}}},
        WireCase{"IsPulseGuiding",
                 [](auto& d) {
                   bool g = false;
                   return d.IsPulseGuiding(&g);
                 },
                 true, {{In, GetPulseGuidingRequest, 0, 0, 1}}},
        WireCase{"GetModel",
                 [](auto& d) {
                   char m = 0;
                   return d.GetModel(&m);
                 },
                 true, {{In, GetModelRequest, 0, 0, 1}}},
        WireCase{"GetFirmware",
                 [](auto& d) {
                   char f = 0;
                   return d.GetFirmware(&f);
                 },
                 true, {{In, GetFirmwareRequest, 0, 0, 1}}},
        WireCase{"GetTemperature",
                 [](auto& d) {
                   double t = 0;
                   return d.GetTemperature(&t);
                 },
                 true, {{In, GetTemperatureRequest, 0, 0, 2}}},
        WireCase{"IsCoolerOn",
                 [](auto& d) {
                   bool on = false;
                   return d.IsCoolerOn(&on);
                 },
                 true, {{In, GetCoolerOnRequest, 0, 0, 1}}},
        WireCase{"IsCoolingOn", [](auto& d) { return !d.IsCoolingOn(); }, true, {{In, GetCoolerOnRequest, 0, 0, 1}}},
        WireCase{"GetTemperatureDuty",
                 [](auto& d) {
                   uint8_t duty = 9;
                   return d.GetTemperatureDuty(&duty);
                 },
                 true, {{In, GetCoolingDutyRequest, 0, 0, 1}}},
        WireCase{"GetCoolingDutyCycle", [](auto& d) { return d.GetCoolingDutyCycle() == 0; }, true,
                 {{In, GetCoolingDutyRequest, 0, 0, 1}}},
        WireCase{"GetCoolingPoint",
                 [](auto& d) {
                   double c = 0;
                   return d.GetCoolingPoint(&c);
                 },
                 true, {{In, GetCoolingPointRequest, 0, 0, 2}}}),
    [](const auto& info) { return std::string(info.param.Name); });

// While Downloading: which methods refuse, and the value each leaves in its output.
class DownloadingGuard : public ConnectedCameraTest {
 protected:
  void SetUp() override {
    ConnectedCameraTest::SetUp();
    SetState(CameraStates::Downloading);
  }
};

// Catches a guarded command that talks to the camera during the download, or leaves a
// stale value where a neutral one is promised.
TEST_F(DownloadingGuard, GuardedCommandsSendNothingAndStoreNeutralValues) {
  ADCConfig adc = Adc(1, 2, 3, 1, 1, 1, 4, 1, 1, 5);
  EXPECT_FALSE(DeviceTestAccess::SetCameraBinning(device, 2, 2));
  EXPECT_EQ(device.SensorBinX, 1u) << "refused binning must not touch SensorBinX";
  uint8_t x = 7, y = 7;
  EXPECT_FALSE(DeviceTestAccess::GetCameraBinning(device, &x, &y));
  EXPECT_EQ(x, 7);
  EXPECT_FALSE(DeviceTestAccess::SetCameraROI(device, 0, 0, 10, 10));
  EXPECT_FALSE(device.SetCoolingPoint(true, -10.0f));
  double setPoint = 99.0;
  EXPECT_FALSE(device.GetCoolingPoint(&setPoint));
  EXPECT_EQ(setPoint, 0.0);
  double temperature = 99.0;
  EXPECT_FALSE(device.GetTemperature(&temperature));
  EXPECT_EQ(temperature, 0.0);
  bool on = true;
  EXPECT_FALSE(device.IsCoolerOn(&on));
  EXPECT_FALSE(on);
  EXPECT_FALSE(device.IsCoolingOn());
  uint8_t duty = 7;
  EXPECT_FALSE(device.GetTemperatureDuty(&duty));
  EXPECT_EQ(duty, 0);
  EXPECT_EQ(device.GetCoolingDutyCycle(), 0);
  device.SetCoolingDutyCycle(10);
  EXPECT_FALSE(device.SetTemperaturePIDGain(1, 2, 3));
  EXPECT_FALSE(device.PulseGuide(0, 100));
  bool guiding = true;
  EXPECT_FALSE(device.IsPulseGuiding(&guiding));
  EXPECT_TRUE(guiding) << "a refused query leaves the caller's flag alone";
  char model = 'm', fw = 'f';
  EXPECT_FALSE(device.GetModel(&model));
  EXPECT_FALSE(device.GetFirmware(&fw));
  EXPECT_EQ(model, 'm');
  EXPECT_EQ(fw, 'f');
  EXPECT_FALSE(device.SetADCGain(adc));
  EXPECT_FALSE(device.SetADCCDS(adc));
  EXPECT_FALSE(device.SetADCRLC(adc));
  EXPECT_FALSE(device.SetADCADVCONFIG(adc));
  EXPECT_TRUE(device.IsConnected()) << "the image is arriving, so the camera is there";
  EXPECT_TRUE(firmware->RequestLog().empty());
}

// Catches a guard on the programming-mode switch, which must work in every state.
TEST_F(DownloadingGuard, ProgrammingModeIsNotGuarded) {
  device.EnterProgrammingMode();
  EXPECT_TRUE(device.StartBoot());
  EXPECT_EQ(firmware->RequestLog().size(), 2u);
  EXPECT_TRUE(firmware->State().ProgrammingMode);
}

// Catches GetTemperature refusing in Error, which made IsConnected report an attached
// camera as gone after every failed readout.
TEST_F(ConnectedCameraTest, TemperatureAndConnectionStillAnswerInError) {
  firmware->ForceTemperatureRaw(262);
  SetState(CameraStates::Error);
  double celsius = 0.0;
  EXPECT_TRUE(device.GetTemperature(&celsius));
  EXPECT_NEAR(celsius, 19.906667, 1e-6);
  EXPECT_TRUE(device.IsConnected());
  double setPoint = 0.0;
  EXPECT_TRUE(device.GetCoolingPoint(&setPoint));
  EXPECT_EQ(firmware->RequestLog().size(), 3u);
}

// Catches wrong decoding of the answers and of failed reads.
TEST_F(ConnectedCameraTest, QueriesConvertTheCamerasAnswers) {
  firmware->ForceTemperatureRaw(262);
  double celsius = 0.0;
  EXPECT_TRUE(device.GetTemperature(&celsius));
  EXPECT_NEAR(celsius, 19.906667, 1e-6);

  ASSERT_TRUE(device.SetCoolingPoint(true, -10.0f));
  double setPoint = 0.0;
  EXPECT_TRUE(device.GetCoolingPoint(&setPoint));
  EXPECT_NEAR(setPoint, -10.168718, 1e-6);
  bool on = false;
  EXPECT_TRUE(device.IsCoolerOn(&on));
  EXPECT_TRUE(on);
  EXPECT_TRUE(device.IsCoolingOn());

  ASSERT_TRUE(DeviceTestAccess::SetCameraBinning(device, 3, 2));
  device.SensorBinX = device.SensorBinY = 0;
  uint8_t x = 0, y = 0;
  EXPECT_TRUE(DeviceTestAccess::GetCameraBinning(device, &x, &y));
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 2);
  EXPECT_EQ(device.SensorBinX, 3u);
  EXPECT_EQ(device.SensorBinY, 2u);

  char model = 0, fw = 0;
  EXPECT_TRUE(device.GetModel(&model));
  EXPECT_TRUE(device.GetFirmware(&fw));
  EXPECT_EQ(static_cast<uint8_t>(model), 1);
  EXPECT_EQ(static_cast<uint8_t>(fw), 105);
}

// Catches failed reads reported as success, or outputs other than those of a failed read.
TEST_F(ConnectedCameraTest, FailedQueriesReportFalseWithTheFailedReadValues) {
  for (uint8_t code :
       {GetTemperatureRequest, GetCoolerOnRequest, GetCoolingDutyRequest, GetCameraBinningRequest}) {
    firmware->FailRequest(code);
  }
  double celsius = 0.0;
  EXPECT_FALSE(device.GetTemperature(&celsius));
  EXPECT_NEAR(celsius, -25.641026, 1e-6);
  EXPECT_FALSE(device.IsConnected());
  EXPECT_FALSE(device.IsCoolingOn());
  uint8_t duty = 9;
  EXPECT_FALSE(device.GetTemperatureDuty(&duty));
  EXPECT_EQ(duty, 0);
  uint8_t x = 5, y = 5;
  EXPECT_FALSE(DeviceTestAccess::GetCameraBinning(device, &x, &y));
  EXPECT_EQ(x, 5) << "a failed binning read leaves the outputs alone";
}

// Catches a window sequence that goes on after a failed request.
TEST_F(ConnectedCameraTest, WindowStopsAtTheFirstFailedRequest) {
  firmware->FailRequest(SetWindowEndXRequest);
  EXPECT_FALSE(DeviceTestAccess::SetCameraROI(device, 0, 0, 752, 582));
  auto log = firmware->RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].Request, SetWindowStartXRequest);
  EXPECT_EQ(log[1].Request, SetWindowEndXRequest);
}

}  // namespace
}  // namespace TarvisUSBInterface
