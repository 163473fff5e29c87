#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include <simcam/StarField.h>

#include "SensorModel.h"

namespace {

using namespace SimulatedCamera;

constexpr uint32_t W = 752, H = 582;

std::vector<float> Render(const StarField& field, SceneView view = {}) {
  std::vector<float> rate(static_cast<size_t>(W) * H);
  field.Render(rate.data(), W, H, view);
  return rate;
}

// Catches a field that changes between runs (tests and demos rely on the same stars)
// or ignores its seed.
TEST(StarField, SeededAndDeterministic) {
  const auto a = Render(StarField(StarFieldOptions{.Seed = 7}));
  const auto b = Render(StarField(StarFieldOptions{.Seed = 7}));
  const auto c = Render(StarField(StarFieldOptions{.Seed = 8}));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

// Catches a sky without stars worth seeing in 1 s, a flat brightness distribution, or
// stars too sharp or too blurred to be plausible.
TEST(StarField, PlausibleSky) {
  const StarField field;
  const auto& stars = field.Stars();
  ASSERT_GE(stars.size(), 100u);
  std::vector<double> rates;
  for (const auto& s : stars) {
    rates.push_back(s.Rate);
  }
  std::sort(rates.begin(), rates.end());
  const double brightest = rates.back();
  const auto bright =
      std::count_if(rates.begin(), rates.end(), [&](double r) { return r > brightest / 10.0; });
  const auto faint =
      std::count_if(rates.begin(), rates.end(), [&](double r) { return r < brightest / 100.0; });
  EXPECT_GE(bright, 1);
  EXPECT_LE(bright, 15);
  EXPECT_GT(faint, static_cast<long>(stars.size() / 2));

  // Even the faintest star's peak pixel stands far above the sky's photon noise in 1 s.
  const double sigma = field.Options().PsfSigma;
  const double faintPeak = rates.front() / (2.0 * M_PI * sigma * sigma);
  EXPECT_GT(faintPeak, 10.0 * std::sqrt(field.Options().SkyRate));
  EXPECT_GE(sigma, 0.8);
  EXPECT_LE(sigma, 3.0);

  // The rendered image holds the flux: sky in the median, stars in the maximum.
  auto rate = Render(field);
  const double total = std::accumulate(rate.begin(), rate.end(), 0.0);
  std::nth_element(rate.begin(), rate.begin() + rate.size() / 2, rate.end());
  const double median = rate[rate.size() / 2];
  EXPECT_NEAR(median, field.Options().SkyRate * (1.0 + field.Options().SkyGradient / 2), 5.0);
  EXPECT_GT(*std::max_element(rate.begin(), rate.end()), 100.0 * median);
  EXPECT_GT(total, 0.0);
}

// Catches guide offsets that do not move the field, or move it the wrong way.
TEST(StarField, GuideOffsetShiftsField) {
  StarFieldOptions o;
  o.SkyRate = 0.0;
  const StarField field(o);
  const auto still = Render(field);
  const auto moved = Render(field, SceneView{3.0, -2.0, false});
  for (uint32_t y = 10; y < H - 10; y += 7) {
    for (uint32_t x = 10; x < W - 10; x += 5) {
      ASSERT_NEAR(moved[static_cast<size_t>(y - 2) * W + x + 3], still[static_cast<size_t>(y) * W + x],
                  1e-3 * (1.0 + still[static_cast<size_t>(y) * W + x]))
          << x << "," << y;
    }
  }
}

// Catches a mosaic in the wrong phase: red must be on even active column and even
// active row, blue on odd and odd.
TEST(StarField, ColourMosaicPhase) {
  StarFieldOptions o;
  o.StarCount = 1;
  o.SkyRate = 0.0;
  const StarField one(o);
  const Star& s = one.Stars().front();
  const SceneView centred{std::round(W / 2.0 - s.X), std::round(H / 2.0 - s.Y), false};
  SceneView colour = centred;
  colour.Color = true;
  const auto mono = Render(one, centred);
  const auto rgb = Render(one, colour);
  const uint32_t cx = W / 2 & ~1u, cy = H / 2 & ~1u;
  auto ratio = [&](uint32_t x, uint32_t y) {
    const size_t i = static_cast<size_t>(y) * W + x;
    return rgb[i] / mono[i];
  };
  EXPECT_NEAR(ratio(cx, cy), s.Red, 1e-4);
  EXPECT_NEAR(ratio(cx + 1, cy), s.Green, 1e-4);
  EXPECT_NEAR(ratio(cx, cy + 1), s.Green, 1e-4);
  EXPECT_NEAR(ratio(cx + 1, cy + 1), s.Blue, 1e-4);
  EXPECT_NE(s.Red, s.Blue);
}

}  // namespace

namespace {

using namespace SimulatedCamera;

// Renders a full binning-1 frame of the active area and returns it in ADU.
std::vector<uint16_t> Expose(double celsius, uint32_t ms, uint64_t exposureNumber,
                             std::vector<float> rate = {}) {
  ExposureSettings s;
  s.ExposureMs = ms;
  s.StartX = 3;
  s.EndX = 754;
  s.StartY = 12;
  s.EndY = 593;
  s.SensorCelsius = celsius;
  SensorModel sensor(s, 1, exposureNumber, std::move(rate));
  std::vector<uint16_t> frame;
  std::vector<uint8_t> row(2 * sensor.Width());
  for (uint32_t y = 0; y < sensor.Height(); ++y) {
    sensor.RenderRow(y, row.data());
    for (uint32_t x = 0; x < sensor.Width(); ++x) {
      frame.push_back(static_cast<uint16_t>(row[2 * x] << 8 | row[2 * x + 1]));
    }
  }
  return frame;
}

std::vector<size_t> BrightPixels(const std::vector<uint16_t>& frame, double above) {
  std::vector<size_t> found;
  for (size_t i = 0; i < frame.size(); ++i) {
    if (frame[i] > BiasLevel(127) + above) {
      found.push_back(i);
    }
  }
  return found;
}

// Catches hot pixels that are missing, wander between exposures, or ignore the sensor
// temperature (dark frames must calibrate them away at the same temperature).
TEST(SensorModelSky, HotPixelsAreFixedAndCoolDown) {
  const auto warm = Expose(20.0, 10000, 1);
  const auto hot = BrightPixels(warm, 2000.0);
  EXPECT_GE(hot.size(), 3u);
  EXPECT_LE(hot.size(), static_cast<size_t>(HotPixelCount));
  EXPECT_EQ(BrightPixels(Expose(20.0, 10000, 2), 2000.0), hot);
  // 30 C colder is five doublings: 32 times less leakage.
  const auto cold = Expose(-10.0, 10000, 3);
  for (size_t i : hot) {
    const double warmExcess = warm[i] - BiasLevel(127);
    const double coldExcess = cold[i] - BiasLevel(127);
    EXPECT_NEAR(coldExcess, warmExcess / 32.0, warmExcess / 32.0 * 0.5 + 30.0) << i;
  }
}

// Catches saturation that is missing (values running on to the converter limit as if
// the pixel held any charge) or that clips below the full well.
TEST(SensorModelSky, PixelsSaturateAtFullWell) {
  const std::vector<float> flood(size_t{752} * 582, 1e6f);
  const auto frame = Expose(20.0, 1000, 1, flood);
  const double full = BiasLevel(127) + FullWellElectrons / ElectronsPerAdu(185);
  const auto [low, high] = std::minmax_element(frame.begin(), frame.end());
  EXPECT_LT(*high, full + 60.0);
  EXPECT_GT(*low, full - 60.0);
}

}  // namespace
