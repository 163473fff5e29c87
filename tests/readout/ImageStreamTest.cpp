// The simulated camera's image path: stream layout, sensor model and delivery faults.

#include <cmath>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "ImageStream.h"
#include "SensorModel.h"
#include "SimpleScene.h"

namespace ReadoutTests {
namespace {

using namespace SimulatedCamera;
using std::chrono::milliseconds;

FirmwareConfig Config(double rate = 0) {
  FirmwareConfig c;
  c.LinkBytesPerSecond = rate;
  c.Seed = 11;
  return c;
}

ExposureSettings Window(uint16_t x0, uint16_t x1, uint16_t y0, uint16_t y1, uint8_t bin = 1) {
  ExposureSettings s;
  s.StartX = x0;
  s.EndX = x1;
  s.StartY = y0;
  s.EndY = y1;
  s.BinX = s.BinY = bin;
  return s;
}

std::vector<uint8_t> ReadAll(ImageStream& stream, Clock::time_point now, uint32_t capacity = 1u << 30) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> buffer(std::min<uint32_t>(capacity, 1u << 22));
  while (uint32_t n = stream.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), now)) {
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
  return out;
}

std::vector<double> Samples(const std::vector<uint8_t>& bytes) {
  std::vector<double> v(bytes.size() / 2);
  for (size_t i = 0; i < v.size(); ++i)
    v[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
  return v;
}

double Mean(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

double StdDev(const std::vector<double>& v) {
  const double m = Mean(v);
  double s = 0;
  for (double x : v)
    s += (x - m) * (x - m);
  return std::sqrt(s / v.size());
}

// A window rendered row by row straight from the sensor model.
std::vector<double> Render(const ExposureSettings& s, std::vector<float> rate = {}, uint64_t exposure = 1) {
  SensorModel sensor(s, 11, exposure, std::move(rate));
  std::vector<uint8_t> bytes(2 * size_t{sensor.Width()} * sensor.Height());
  for (uint32_t r = 0; r < sensor.Height(); ++r)
    sensor.RenderRow(r, bytes.data() + 2 * size_t{sensor.Width()} * r);
  return Samples(bytes);
}

// Catches fields sent in the wrong order or parity: with vertical binning 1 the window's
// rows of even camera row number come first, and a read stops at the end of the field.
TEST(ImageStream, TwoFieldsEvenCameraRowsFirst) {
  ImageStream stream(Config());
  auto s = Window(3, 12, 13, 17);  // rows 13..17: even rows 14, 16 first
  const auto now = Clock::now();
  stream.Start(s, now);
  std::vector<uint8_t> buffer(1000);
  EXPECT_EQ(stream.Read(buffer.data(), 1000, now), 2u * 10 * 2);  // the first field only
  EXPECT_TRUE(stream.TransferEnded());
  stream.Start(s, now);  // the same exposure again, read whole
  const auto all = Samples(ReadAll(stream, now));
  ASSERT_EQ(all.size(), 50u);
  // Rendered rows of the second exposure, in window order 13..17.
  const auto rows = Render(s, {}, 2);
  const int order[] = {1, 3, 0, 2, 4};
  for (int k = 0; k < 5; ++k)
    for (int j = 0; j < 10; ++j)
      ASSERT_EQ(all[k * 10 + j], rows[order[k] * 10 + j]) << k;
}

// Catches a bias level or scale that ignores the converter registers, and a row offset
// that is not shared along the row or too weak for the bias pass to matter.
TEST(SensorModel, BiasFollowsOffsetAndRowsCarryTheirOwnOffset) {
  EXPECT_NEAR(ElectronsPerAdu(185), 0.789, 1e-9);
  auto band = Window(0, 794, 0, 595);
  band.ExposureMs = 0;
  const auto v = Render(band);
  EXPECT_NEAR(Mean(v), 1000.0, 3.0);
  band.AdcOffset = 140;
  EXPECT_NEAR(Mean(Render(band)), 1104.0, 3.0);
  // Row means vary row to row by the row offset; along a row only read noise remains.
  std::vector<double> rowMeans, rowSpread;
  for (uint32_t r = 0; r < 596; ++r) {
    std::vector<double> row(v.begin() + r * 795, v.begin() + (r + 1) * 795);
    rowMeans.push_back(Mean(row));
    rowSpread.push_back(StdDev(row));
  }
  EXPECT_GT(StdDev(rowMeans), 3.0);
  EXPECT_LT(StdDev(rowMeans), 6.0);
  EXPECT_NEAR(Mean(rowSpread), ReadNoiseElectrons / 0.789, 0.5);
}

// Catches binned pixels averaged instead of summed, and sums that wrap instead of clip.
TEST(SensorModel, BinnedPixelsAreClippedSums) {
  auto s = Window(10, 40, 10, 40, 2);  // inside the readout area, 2 x 2
  EXPECT_NEAR(Mean(Render(s)), 4000.0, 10.0);
  s.ExposureMs = 1000;
  std::vector<float> bright(752 * 582, 1e9f);
  for (double x : Render(s, bright))
    ASSERT_EQ(x, 65535.0);
}

// Catches light or dark current outside the active area, a window beyond the readout
// area that is not plain bias, and dark current that ignores temperature.
TEST(SensorModel, DarkCurrentInActiveAreaOnly) {
  auto s = Window(0, 794, 0, 595);
  s.ExposureMs = 100000;
  const auto cool = Render(s);
  auto meanOf = [&](const std::vector<double>& v, uint32_t r0, uint32_t r1, uint32_t c0, uint32_t c1) {
    std::vector<double> part;
    for (uint32_t r = r0; r < r1; ++r)
      for (uint32_t c = c0; c < c1; ++c)
        part.push_back(v[r * 795 + c]);
    return Mean(part);
  };
  const double bias = meanOf(cool, 0, 12, 0, 795);
  EXPECT_NEAR(meanOf(cool, 12, 594, 755, 795), bias, 1.5);  // strip: no dark
  EXPECT_NEAR(meanOf(cool, 12, 594, 3, 755) - bias, DarkCurrent(20.0) * 100 / 0.789, 3.0);
  s.SensorCelsius = 32.0;
  const auto warm = Render(s);
  EXPECT_NEAR(meanOf(warm, 12, 594, 3, 755) - meanOf(warm, 0, 12, 0, 795),
              4 * DarkCurrent(20.0) * 100 / 0.789, 6.0);
  // Far outside the readout area.
  auto beyond = Window(900, 949, 700, 709);
  beyond.ExposureMs = 100000;
  EXPECT_NEAR(Mean(Render(beyond, std::vector<float>(752 * 582, 1000.0f))), 1000.0, 3.0);
}

// Catches a Bayer phase off by a row or column: red on active (even, even), blue on
// (odd, odd). The corner pixels see sky only.
TEST(SimpleScene, ColourMosaicPhase) {
  auto scene = MakeSimpleScene(5);
  std::vector<float> mono(752 * 582), colour(752 * 582);
  SceneView view;
  scene->Render(mono.data(), 752, 582, view);
  view.Color = true;
  scene->Render(colour.data(), 752, 582, view);
  auto ratio = [&](int x, int y) { return colour[y * 752 + x] / mono[y * 752 + x]; };
  EXPECT_NEAR(ratio(0, 0), 0.8, 1e-5);  // red
  EXPECT_NEAR(ratio(1, 0), 1.0, 1e-5);  // green
  EXPECT_NEAR(ratio(0, 1), 1.0, 1e-5);  // green
  EXPECT_NEAR(ratio(1, 1), 1.1, 1e-5);  // blue
}

// Catches delivery that ignores the exposure time or the link rate, and an abort that
// lets data through.
TEST(ImageStream, DeliveryFollowsExposureAndLinkRate) {
  ImageStream stream(Config(1e6));     // 1 MB/s
  auto s = Window(3, 502, 12, 13, 2);  // 500 x 2 binned: 2000 bytes, one transfer
  s.ExposureMs = 100;
  const auto t0 = Clock::now();
  stream.Start(s, t0);
  std::vector<uint8_t> buffer(4000);
  EXPECT_EQ(stream.Read(buffer.data(), 4000, t0 + milliseconds(99)), 0u);
  // The first 512-byte packet is complete 512 us after the exposure ends.
  const auto next = stream.NextDataTime(t0);
  ASSERT_TRUE(next.has_value());
  EXPECT_GE(*next, t0 + milliseconds(100) + std::chrono::microseconds(512));
  EXPECT_LE(*next, t0 + milliseconds(100) + std::chrono::microseconds(513));
  EXPECT_EQ(stream.Read(buffer.data(), 4000, t0 + milliseconds(101)), 512u);  // 1000 bytes: one whole packet
  EXPECT_EQ(stream.Read(buffer.data(), 4000, t0 + milliseconds(103)), 2000u - 512u);
  EXPECT_FALSE(stream.NextDataTime(t0 + milliseconds(103)).has_value());

  stream.Start(s, t0);
  EXPECT_TRUE(stream.Active(t0));
  stream.Abort();
  EXPECT_FALSE(stream.Active(t0));
  EXPECT_EQ(stream.Read(buffer.data(), 4000, t0 + milliseconds(200)), 0u);
  EXPECT_FALSE(stream.NextDataTime(t0).has_value());
}

// Catches faults that send the wrong amount, chunks that change the data, and an unplug
// that never fires.
TEST(ImageStream, InjectedFaults) {
  const auto s = Window(3, 102, 12, 61);  // 100 x 50, two fields of 5000 bytes
  const auto t0 = Clock::now();
  ImageStream clean(Config());
  clean.Start(s, t0);
  const auto reference = ReadAll(clean, t0);
  ASSERT_EQ(reference.size(), 10000u);

  struct Case {
    const char* Name;
    StreamFaults Faults;
    size_t Bytes;
  };
  StreamFaults never, stop, first, unplug, chunks;
  never.NeverSend = true;
  stop.StopAfterBytes = 1234;
  first.FirstFieldOnly = true;
  unplug.UnplugAfterBytes = 7000;
  chunks.RandomChunkMax = 300;
  for (const Case& c : {Case{"never", never, 0}, Case{"stop", stop, 1234}, Case{"first field", first, 5000},
                        Case{"unplug", unplug, 7000}, Case{"chunks", chunks, 10000}}) {
    SCOPED_TRACE(c.Name);
    ImageStream stream(Config());
    stream.SetFaults(c.Faults);
    stream.Start(s, t0);
    std::vector<uint8_t> got, buffer(10000);
    while (uint32_t n = stream.Read(buffer.data(), 10000, t0)) {
      if (c.Faults.RandomChunkMax) {
        EXPECT_LE(n, 300u);
        EXPECT_TRUE(stream.TransferEnded());
      }
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    }
    ASSERT_EQ(got.size(), c.Bytes);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), reference.begin()));
    EXPECT_EQ(stream.UnplugDue(), c.Faults.UnplugAfterBytes.has_value());
    EXPECT_FALSE(stream.NextDataTime(t0).has_value());
  }
}

}  // namespace
}  // namespace ReadoutTests
