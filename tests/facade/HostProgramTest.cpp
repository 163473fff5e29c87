// A host program: it sees only the facade's header and library, and reaches the
// simulated camera through the environment as a user would (VANTOR_USB=sim, the model
// from VANTOR_SIM_MODEL). ctest runs it once per model.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <nuvik/LowLevelDriver.h>

namespace {

struct ExpectedModel {
  const char* Description;
  bool IsColor;
};

ExpectedModel ExpectedFor(int code) {
  switch (code) {
    case 1:
      return {"Velmar Q7 Deep Sky Monochromatic Camera", false};
    case 2:
      return {"Velmar Q7 Deep Sky Color Camera", true};
    case 102:
      return {"Brask Sonda Color Camera", true};
    default:
      return {"Brask Sonda Monochromatic Camera", false};
  }
}

bool WaitForImage(Nuvik::LowLevelDriver& driver) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!driver.IsImageReady()) {
    if (std::chrono::steady_clock::now() > deadline ||
        driver.GetCameraState() == Nuvik::CameraStates::Error) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Catches a facade that cannot be used from its public header alone: default USB
// layer from the environment, model record, checks, a binned and an odd-height
// subframe exposure with images of the right size, and the cooler and firmware path.
TEST(HostProgram, ConnectsExposesAndControls) {
  const char* model = std::getenv("VANTOR_SIM_MODEL");
  if (model == nullptr) {
    setenv("VANTOR_SIM_MODEL", "1", 1);
    model = "1";
  }
  setenv("VANTOR_USB", "sim", 1);
  const ExpectedModel expected = ExpectedFor(std::atoi(model));

  Nuvik::LowLevelDriver driver;
  driver.Connect();
  ASSERT_TRUE(driver.IsConnected());
  EXPECT_EQ(driver.GetDescription(), expected.Description);
  EXPECT_EQ(driver.IsColor(), expected.IsColor);
  EXPECT_EQ(driver.GetElectronsPerADU(), 0.7889999747276306);
  EXPECT_EQ(driver.GetPixelSizeX(), 8.6f);

  // 2 x 2: the full-frame subframe must be shrunk to the binned sensor first.
  driver.SetBin(2, 2);
  try {
    driver.StartExposure(10);
    FAIL() << "an unbinned width at binning 2 was accepted";
  } catch (const Nuvik::DriverException& e) {
    EXPECT_STREQ(e.what(), "Invalid width");
  }
  driver.SetSubframeWidth(376);
  driver.SetSubframeHeight(291);
  driver.StartExposure(10);
  ASSERT_TRUE(WaitForImage(driver));
  const Nuvik::ImageArray binned = driver.GetImage();
  EXPECT_EQ(binned.Width(), 376);
  EXPECT_EQ(binned.Height(), 291);
  EXPECT_FALSE(driver.IsLastImageColor());

  // An odd-height subframe at binning 1.
  driver.SetBin(1, 1);
  driver.SetSubframeX(100);
  driver.SetSubframeY(51);
  driver.SetSubframeWidth(300);
  driver.SetSubframeHeight(201);
  driver.StartExposure(10);
  ASSERT_TRUE(WaitForImage(driver));
  const Nuvik::ImageArray window = driver.GetImage();
  EXPECT_EQ(window.Width(), 300);
  EXPECT_EQ(window.Height(), 201);
  float* raw = nullptr;
  ASSERT_TRUE(driver.GetImage(&raw));
  for (int32_t c = 0; c < window.Width(); c += 13) {
    for (int32_t r = 0; r < window.Height(); r += 11) {
      EXPECT_EQ(window(c, r), static_cast<int32_t>(raw[r * 300 + c]));
    }
  }
  delete[] raw;
  EXPECT_EQ(driver.IsLastImageColor(), expected.IsColor);
  EXPECT_EQ(driver.GetLastImageColorShiftY(), expected.IsColor ? 1 : 0);

  EXPECT_TRUE(driver.SetSetPointTemperature(-10.0));
  driver.SetCoolerOn(true);
  EXPECT_TRUE(driver.IsCoolerOn());
  EXPECT_NEAR(driver.GetSetPointTemperature(), -10.0, 0.18);
  EXPECT_EQ(driver.GetFirmware(), std::optional<std::string>("1.05"));
}

}  // namespace
