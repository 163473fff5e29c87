// A host program as users write it: the public header only, the default USB layer
// chosen by VANTOR_USB, and every camera command with its documented results.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <vantor/USBDeviceInstance.h>

using namespace TarvisUSBInterface;

namespace {

class HostProgram : public ::testing::Test {
 protected:
  // Before the first use of the default layer, which reads the environment once.
  static void SetUpTestSuite() {
    setenv("VANTOR_USB", "sim", 1);
    setenv("VANTOR_SIM_MODEL", "101", 1);
    setenv("VANTOR_SIM_FIRMWARE", "107", 1);
  }

  void SetUp() override {
    testing::internal::CaptureStdout();
    connected = camera.FindAndConnect(OSR_DEVICE_INTERFACE);
    console = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(connected);
  }

  USBDeviceInstance camera;
  bool connected = false;
  std::string console;
};

// Catches VANTOR_USB not selecting the simulated camera, its settings not reaching the
// firmware, and missing console lines.
TEST_F(HostProgram, ConnectsToTheSimulatedCameraThroughTheDefaultLayer) {
  EXPECT_EQ(DefaultUsbTransport().Name(), "sim");
  EXPECT_EQ(console.rfind("Device path:  ", 0), 0u);
  EXPECT_NE(console.find("Endpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"), std::string::npos);
  EXPECT_NE(console.find("Endpoint index: 1 Pipe type: Bulk Pipe ID: \x02.\n"), std::string::npos);
  char model = 0, firmware = 0;
  EXPECT_TRUE(camera.GetModel(&model));
  EXPECT_TRUE(camera.GetFirmware(&firmware));
  EXPECT_EQ(static_cast<unsigned char>(model), 101);
  EXPECT_EQ(static_cast<unsigned char>(firmware), 107);
  EXPECT_TRUE(camera.IsConnected());
}

// Catches any command of the protocol that fails against the camera or gives another
// result than documented.
TEST_F(HostProgram, DrivesEveryCameraCommand) {
  double celsius = 0.0;
  EXPECT_TRUE(camera.GetTemperature(&celsius));
  EXPECT_NEAR(celsius, 20.0, 0.2) << "an idle sensor sits at ambient";
  EXPECT_FALSE(camera.IsCoolingOn());
  EXPECT_EQ(camera.GetCoolingDutyCycle(), 0);

  EXPECT_TRUE(camera.SetCoolingPoint(true, -10.0f));
  double setPoint = 0.0;
  EXPECT_TRUE(camera.GetCoolingPoint(&setPoint));
  EXPECT_NEAR(setPoint, -10.168718, 1e-6);
  bool on = false;
  EXPECT_TRUE(camera.IsCoolerOn(&on));
  EXPECT_TRUE(on);
  EXPECT_TRUE(camera.IsCoolingOn());
  EXPECT_TRUE(camera.SetCoolingPoint(true, static_cast<float>(setPoint)));
  EXPECT_TRUE(camera.GetCoolingPoint(&celsius));
  EXPECT_EQ(celsius, setPoint) << "a set point read back and sent again is unchanged";
  uint8_t duty = 0;
  EXPECT_TRUE(camera.GetTemperatureDuty(&duty));
  EXPECT_GT(duty, 0) << "the cooler is pulling the sensor down";
  EXPECT_LE(duty, 50);
  camera.SetCoolingDutyCycle(50);
  EXPECT_TRUE(camera.SetTemperaturePIDGain(10, 20, 30));

  EXPECT_TRUE(camera.PulseGuide(1, 200));
  bool guiding = false;
  EXPECT_TRUE(camera.IsPulseGuiding(&guiding));
  EXPECT_TRUE(guiding);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(camera.IsPulseGuiding(&guiding));
  EXPECT_FALSE(guiding);

  ADCConfig adc{185, 127, 2, false, false, true, 1, true, false, 7};
  EXPECT_TRUE(camera.SetADCGain(adc));
  EXPECT_TRUE(camera.SetADCCDS(adc));
  EXPECT_TRUE(camera.SetADCRLC(adc));
  EXPECT_TRUE(camera.SetADCADVCONFIG(adc));

  uint8_t state = 9;
  EXPECT_TRUE(camera.GetCameraState(&state));
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(camera.StopExposure());

  EXPECT_TRUE(camera.StartBoot());
  camera.EnterProgrammingMode();

  camera.Disconnect();
  EXPECT_FALSE(camera.IsConnected());
  EXPECT_FALSE(camera.GetTemperature(&celsius));
  EXPECT_NEAR(celsius, -25.641026, 1e-6) << "a failed read reports raw 0";
}

}  // namespace
