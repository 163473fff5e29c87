// The simulated camera's firmware: request validation, test hooks, registers, cooler
// physics and guide pulses, and its configuration from the environment.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "DeviceFixture.h"

namespace SimulatedCamera {
namespace {

using namespace TarvisUSBInterface::Protocol;
using TarvisUSBInterface::UsbSetupPacket;

bool Control(Firmware& fw, UsbSetupPacket setup) {
  uint8_t data[8] = {};
  uint32_t returned = 0;
  return fw.HandleControl(setup, data, returned);
}

// Catches a firmware that answers what the camera would stall: unknown codes, the
// vendor-type request bytes, wrong directions and wrong data-stage lengths.
TEST(FirmwareProtocol, StallsMalformedRequestsAndLogsThemAll) {
  Firmware fw(TestCameraConfigForFirmware());
  const UsbSetupPacket bad[] = {
      {HostToDevice, 12, 0, 0, 0},                           // below the protocol's codes
      {HostToDevice, 15, 0, 0, 0},                           // unused code
      {DeviceToHost, 37, 0, 0, 1},                           // unused code
      {HostToDevice, 39, 0, 0, 0},                           // above the protocol's codes
      {0x40, SetCameraBinningRequest, 0x0101, 0, 0},         // vendor type OUT
      {0xC0, GetModelRequest, 0, 0, 1},                      // vendor type IN
      {DeviceToHost, SetCameraBinningRequest, 0, 0, 0},      // OUT request sent as IN
      {HostToDevice, GetModelRequest, 0, 0, 0},              // IN request sent as OUT
      {HostToDevice, SetCameraBinningRequest, 0, 0, 1},      // data stage on a command
      {DeviceToHost, GetModelRequest, 0, 0, 2},              // one byte too many
      {DeviceToHost, GetTemperatureRequest, 0, 0, 1},        // one byte too few
      {HostToDevice, SetCoolingDutyCycleRequest, 51, 0, 0},  // duty above 50
  };
  for (const auto& setup : bad) {
    EXPECT_FALSE(Control(fw, setup)) << "request " << int{setup.Request} << " type "
                                     << int{setup.RequestType};
  }
  EXPECT_EQ(fw.RequestLog().size(), std::size(bad));
  EXPECT_TRUE(Control(fw, {DeviceToHost, GetModelRequest, 0, 0, 1}));
}

// Catches hooks that fail the wrong request, or keep failing after they fired.
TEST(FirmwareProtocol, InjectedFaultsHitExactlyTheirTargets) {
  Firmware fw(TestCameraConfigForFirmware());
  const UsbSetupPacket model{DeviceToHost, GetModelRequest, 0, 0, 1};
  fw.FailNthControl(2);
  EXPECT_TRUE(Control(fw, model));
  EXPECT_FALSE(Control(fw, model));
  EXPECT_TRUE(Control(fw, model));

  fw.FailRequest(GetFirmwareRequest);
  EXPECT_FALSE(Control(fw, {DeviceToHost, GetFirmwareRequest, 0, 0, 1}));
  EXPECT_TRUE(Control(fw, model));

  fw.RefuseAbort(true);
  EXPECT_FALSE(Control(fw, {HostToDevice, AbortExposureRequest, 0, 0, 0}));
  fw.ClearFaults();
  EXPECT_TRUE(Control(fw, {HostToDevice, AbortExposureRequest, 0, 0, 0}));
  EXPECT_TRUE(Control(fw, {DeviceToHost, GetFirmwareRequest, 0, 0, 1}));

  fw.Unplug();
  EXPECT_FALSE(Control(fw, model));
  EXPECT_TRUE(fw.IsUnplugged());
  EXPECT_FALSE(fw.WaitForBulkIn(std::chrono::steady_clock::now() + std::chrono::seconds(10)))
      << "an unplugged camera has nothing to wait for";
}

class FirmwareRegisters : public TarvisUSBInterface::ConnectedCameraTest {};

// Catches registers decoded from the wrong byte or field of the setup packet.
TEST_F(FirmwareRegisters, CommandsLandInTheRightRegisters) {
  using TarvisUSBInterface::ADCConfig;
  using TarvisUSBInterface::DeviceTestAccess;
  ASSERT_TRUE(device.SetADCGain(ADCConfig{200, 100, 3, false, false, false, 0, false, false, 0}));
  ASSERT_TRUE(device.SetADCCDS(ADCConfig{0, 0, 0, false, false, true, 6, false, false, 0}));
  ASSERT_TRUE(device.SetADCRLC(ADCConfig{0, 0, 0, false, false, false, 0, true, true, 9}));
  ASSERT_TRUE(device.SetADCADVCONFIG(ADCConfig{0, 0, 0, false, true, false, 0, false, false, 0}));
  ASSERT_TRUE(device.SetTemperaturePIDGain(10, 20, 30));
  ASSERT_TRUE(DeviceTestAccess::SetCameraBinning(device, 2, 3));
  ASSERT_TRUE(DeviceTestAccess::SetCameraROI(device, 1, 6, 376, 291));
  FirmwareState s = firmware->State();
  EXPECT_EQ(s.AdcGain, 200);
  EXPECT_EQ(s.AdcOffset, 100);
  EXPECT_EQ(s.AdcPgaScale, 3);
  EXPECT_TRUE(s.AdcCdsEnable);
  EXPECT_EQ(s.AdcCdsTiming, 6);
  EXPECT_TRUE(s.AdcRlcEnable);
  EXPECT_TRUE(s.AdcRlcDac);
  EXPECT_EQ(s.AdcRlcV, 9);
  EXPECT_FALSE(s.AdcOutputInvert);
  EXPECT_TRUE(s.AdcMode3);
  EXPECT_EQ(s.PidErrorGain, 10);
  EXPECT_EQ(s.PidDifferentialGain, 20);
  EXPECT_EQ(s.PidTimeFactor, 30);
  EXPECT_EQ(s.BinX, 2);
  EXPECT_EQ(s.BinY, 3);
  EXPECT_EQ(s.WindowStartX, 1);
  EXPECT_EQ(s.WindowEndX, 376);
  EXPECT_EQ(s.WindowStartY, 6);
  EXPECT_EQ(s.WindowEndY, 296);
}

FirmwareConfig FastCooler() {
  FirmwareConfig config = TestCameraConfigForFirmware();
  config.AmbientCelsius = 20.0;
  config.CoolingRateCelsiusPerSecond = 200.0;
  config.MaxCoolingDepthCelsius = 30.0;
  return config;
}

class CoolerPhysics : public TarvisUSBInterface::ConnectedCameraTest {
 protected:
  CoolerPhysics() : ConnectedCameraTest(FastCooler()) {}

  double Temperature() {
    double celsius = 0.0;
    EXPECT_TRUE(device.GetTemperature(&celsius));
    return celsius;
  }
};

// Catches a cooler that does nothing, overshoots its set point, or reports effort while
// off; the sensor starts at ambient and the regulator settles on the set point.
TEST_F(CoolerPhysics, SettlesOnTheSetPointAndReportsItsEffort) {
  EXPECT_NEAR(Temperature(), 20.0, 0.1);
  EXPECT_EQ(device.GetCoolingDutyCycle(), 0);
  ASSERT_TRUE(device.SetCoolingPoint(true, -5.0f));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // 25 C at 200 C/s takes 125 ms
  double setPoint = 0.0;
  ASSERT_TRUE(device.GetCoolingPoint(&setPoint));
  EXPECT_DOUBLE_EQ(Temperature(), setPoint);
  uint16_t duty = device.GetCoolingDutyCycle();
  EXPECT_GT(duty, 0);
  EXPECT_LT(duty, 50) << "holding 25 C below ambient takes less than full effort";

  ASSERT_TRUE(device.SetCoolingPoint(false, -5.0f));
  EXPECT_EQ(device.GetCoolingDutyCycle(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NEAR(Temperature(), 20.0, 0.1) << "switched off, the sensor warms back to ambient";
}

// Catches a cooler that reaches any set point: it cannot go deeper than its maximum
// below ambient, and there it runs at full duty.
TEST_F(CoolerPhysics, StopsAtTheMaximumDepthBelowAmbient) {
  ASSERT_TRUE(device.SetCoolingPoint(true, -40.0f));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NEAR(Temperature(), -10.0, 0.1);
  EXPECT_EQ(device.GetCoolingDutyCycle(), 50);
}

// Catches a temperature that jumps to the set point instead of moving at a finite rate.
TEST(CoolerRate, TemperatureMovesAtTheConfiguredRate) {
  FirmwareConfig config = TestCameraConfigForFirmware();
  config.CoolingRateCelsiusPerSecond = 0.5;
  Firmware fw(config);
  ASSERT_TRUE(Control(fw, {HostToDevice, SetCoolingPointRequest, 89, 1, 0}));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double celsius = fw.State().SensorCelsius;
  EXPECT_LT(celsius, config.AmbientCelsius);
  EXPECT_GT(celsius, config.AmbientCelsius - 1.0);
  EXPECT_EQ(fw.State().DutyCycle, 50) << "full effort while pulling down";
}

// Catches a guide pulse that ends at once or never, and shifts applied to the wrong axis.
TEST_F(FirmwareRegisters, GuidePulseRunsForItsDurationAndShiftsTheField) {
  ASSERT_TRUE(device.PulseGuide(3, 150));  // west: +X
  bool guiding = false;
  ASSERT_TRUE(device.IsPulseGuiding(&guiding));
  EXPECT_TRUE(guiding);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  ASSERT_TRUE(device.IsPulseGuiding(&guiding));
  EXPECT_FALSE(guiding);

  ASSERT_TRUE(device.PulseGuide(0, 1000));  // north: -Y
  ASSERT_TRUE(device.PulseGuide(2, 500));   // east: -X
  FirmwareState s = firmware->State();
  EXPECT_DOUBLE_EQ(s.GuideOffsetX, 0.3 - 1.0);
  EXPECT_DOUBLE_EQ(s.GuideOffsetY, -2.0);
}

class Environment : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("VANTOR_SIM_MODEL");
    unsetenv("VANTOR_SIM_FIRMWARE");
  }
};

// Catches bytes out of range accepted (wrapped) or good values ignored.
TEST_F(Environment, ModelAndFirmwareBytesComeFromTheEnvironment) {
  setenv("VANTOR_SIM_MODEL", "102", 1);
  setenv("VANTOR_SIM_FIRMWARE", "0", 1);
  FirmwareConfig config = FirmwareConfig::FromEnvironment();
  EXPECT_EQ(config.ModelCode, 102);
  EXPECT_EQ(config.FirmwareByte, 0);

  for (const char* bad : {"256", "-1", "abc", "12x", "99999999999999999999"}) {
    setenv("VANTOR_SIM_MODEL", bad, 1);
    testing::internal::CaptureStderr();
    config = FirmwareConfig::FromEnvironment();
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(config.ModelCode, 1) << bad;
    EXPECT_NE(warning.find("VANTOR_SIM_MODEL"), std::string::npos) << bad;
  }
}

}  // namespace
}  // namespace SimulatedCamera
