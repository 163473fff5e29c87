// Temperature words and the cooler set point conversion.
#include <cfloat>
#include <cmath>

#include "DeviceFixture.h"
#include "device/TemperatureConversion.h"

namespace TarvisUSBInterface {
namespace {

// Catches a changed scale or order of operations in the readout conversion.
TEST(TemperatureConversion, RawWordsReadAsDocumented) {
  EXPECT_NEAR(RawTemperatureToCelsius(262), 19.906667, 1e-6);
  EXPECT_NEAR(RawTemperatureToCelsius(147), -0.085641, 1e-6);
  EXPECT_NEAR(RawTemperatureToCelsius(89), -10.168718, 1e-6);
  EXPECT_NEAR(RawTemperatureToCelsius(1), -25.467179, 1e-6);
  EXPECT_NEAR(RawTemperatureToCelsius(0), -25.641026, 1e-6);
}

// Catches a round-trip margin large enough to move a documented set point up a count,
// and a broken lower limit or pass-through value.
TEST(TemperatureConversion, SetPointsKeepTheirDocumentedWords) {
  EXPECT_EQ(CelsiusToRawSetPoint(20.0f), 262);
  EXPECT_EQ(CelsiusToRawSetPoint(0.0f), 147);
  EXPECT_EQ(CelsiusToRawSetPoint(-10.0f), 89);
  EXPECT_EQ(CelsiusToRawSetPoint(-25.0f), 3);
  EXPECT_EQ(CelsiusToRawSetPoint(-30.0f), 1);
  EXPECT_EQ(CelsiusToRawSetPoint(65535.0f), 0xFFFF);
}

// Catches the truncation that lowered about half of all set points by one count each
// time a set point was read back and sent again.
TEST(TemperatureConversion, EveryRawSetPointSurvivesTheRoundTripThroughAFloat) {
  int failures = 0;
  for (uint32_t raw = 1; raw <= 65534; ++raw) {
    auto back = CelsiusToRawSetPoint(static_cast<float>(RawTemperatureToCelsius(static_cast<uint16_t>(raw))));
    if (back != raw && ++failures <= 5) {
      ADD_FAILURE() << "raw " << raw << " came back as " << (back ? *back : -1);
    }
  }
  EXPECT_EQ(failures, 0);
}

// Catches undefined float-to-integer conversions (UBSan), NaN sent as a set point, and
// warm set points that wrap around to the coldest word.
TEST(TemperatureConversion, ExtremeInputsStayDefined) {
  EXPECT_EQ(CelsiusToRawSetPoint(NAN), std::nullopt);
  EXPECT_EQ(CelsiusToRawSetPoint(INFINITY), std::nullopt);
  EXPECT_EQ(CelsiusToRawSetPoint(-INFINITY), std::nullopt);
  EXPECT_EQ(CelsiusToRawSetPoint(-FLT_MAX), 1);
  EXPECT_EQ(CelsiusToRawSetPoint(FLT_MAX), 65534);
  auto celsiusFor = [](double v) { return static_cast<float>((v * 0.00339 - 0.5) / 0.0195); };
  EXPECT_EQ(CelsiusToRawSetPoint(celsiusFor(40000.3)), 40000) << "upper half of the word must not wrap to 1";
  EXPECT_EQ(CelsiusToRawSetPoint(celsiusFor(65535.6)), 65534) << "saturates below the pass-through word";
}

// Catches the same loss end to end: the camera must keep the word it was given.
TEST_F(ConnectedCameraTest, SetPointReadBackAndSentAgainIsUnchanged) {
  for (float celsius : {-10.0f, 20.0f, 5.3f}) {
    ASSERT_TRUE(device.SetCoolingPoint(true, celsius));
    uint16_t first = firmware->State().RawSetPoint;
    double readBack = 0.0;
    ASSERT_TRUE(device.GetCoolingPoint(&readBack));
    ASSERT_TRUE(device.SetCoolingPoint(true, static_cast<float>(readBack)));
    EXPECT_EQ(firmware->State().RawSetPoint, first) << "set point " << celsius;
  }
}

}  // namespace
}  // namespace TarvisUSBInterface
