// White-box tests of the readout's processing: field interleave, fast-readout line
// rebuild, the overscan bias pass and the sort behind its medians.

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "FrameAssembly.h"
#include "OverscanBias.h"
#include "SimCamera.h"

namespace ReadoutTests {
namespace {

using namespace TarvisUSBInterface;

void PutSample(std::vector<uint8_t>& buffer, size_t index, uint16_t value) {
  buffer[2 * index] = static_cast<uint8_t>(value >> 8);
  buffer[2 * index + 1] = static_cast<uint8_t>(value & 0xFF);
}

struct Fields {
  std::vector<uint8_t> First, Second;
};

// Transfers carrying raw frame `value(row, column)`, laid out as the camera sends them.
Fields MakeFields(const ReadoutGeometry& g, const std::function<uint16_t(uint32_t, uint32_t)>& value) {
  const auto sizes = ComputeTransferSizes(g);
  Fields f{std::vector<uint8_t>(sizes.FirstFieldBytes), std::vector<uint8_t>(sizes.SecondFieldBytes)};
  const uint32_t w = g.SensorY & 1u;
  for (uint32_t r = 0; r < g.RawHeight; ++r) {
    std::vector<uint8_t>& field = (!g.TwoFields() || (r & 1u) == w) ? f.First : f.Second;
    const uint32_t fieldRow = g.TwoFields() ? r / 2 : r;
    for (uint32_t c = 0; c < g.RawWidth; ++c)
      PutSample(field, size_t{fieldRow} * g.RawWidth + c, value(r, c));
  }
  return f;
}

// Catches fields placed on the wrong parity, a lost last row of the longer field, and
// byte-order mistakes, for both parities of SensorY with an odd height.
TEST(FrameAssembly, InterleaveFollowsSensorYParityWithOddHeight) {
  for (uint32_t sensorY : {62u, 63u}) {
    SCOPED_TRACE(sensorY);
    ReadoutGeometry g;
    g.SensorY = sensorY;
    g.RawWidth = g.ImageWidth = 3;
    g.RawHeight = g.ImageHeight = 101;
    const auto sizes = ComputeTransferSizes(g);
    const uint32_t firstRows = sensorY % 2 == 0 ? 51 : 50;
    ASSERT_EQ(sizes.FirstFieldBytes, firstRows * 6u);
    ASSERT_EQ(sizes.SecondFieldBytes, (101 - firstRows) * 6u);
    // Sample = field * 10000 + field row * 10 + column, high byte first.
    std::vector<uint8_t> first(sizes.FirstFieldBytes), second(sizes.SecondFieldBytes);
    for (uint32_t k = 0; k < firstRows; ++k)
      for (uint32_t j = 0; j < 3; ++j)
        PutSample(first, k * 3 + j, static_cast<uint16_t>(k * 10 + j));
    for (uint32_t k = 0; k < 101 - firstRows; ++k)
      for (uint32_t j = 0; j < 3; ++j)
        PutSample(second, k * 3 + j, static_cast<uint16_t>(10000 + k * 10 + j));

    std::vector<float> image(3 * 101, -1.0f);
    AssembleImage(g, first.data(), second.data(), image.data(), nullptr);
    const uint32_t w = sensorY % 2;
    for (uint32_t r = 0; r < 101; ++r) {
      const bool fromFirst = r % 2 == w;
      const float expected = (fromFirst ? 0.0f : 10000.0f) + (r / 2) * 10.0f;
      for (uint32_t j = 0; j < 3; ++j)
        ASSERT_EQ(image[r * 3 + j], expected + j) << "row " << r;
    }
  }
}

// Catches a single-transfer readout that reorders rows or misconverts samples above 255.
TEST(FrameAssembly, SingleTransferInOrder) {
  ReadoutGeometry g;
  g.SensorBinX = g.SensorBinY = 2;
  g.SensorY = 6;
  g.RawWidth = g.ImageWidth = 376;
  g.RawHeight = g.ImageHeight = 291;
  ASSERT_EQ(ComputeTransferSizes(g).FirstFieldBytes, 218832u);
  auto f = MakeFields(
      g, [](uint32_t r, uint32_t c) { return static_cast<uint16_t>(r * 211 + c * 7 + 60000 * (c % 2)); });
  std::vector<float> image(376 * 291);
  AssembleImage(g, f.First.data(), nullptr, image.data(), nullptr);
  for (uint32_t r = 0; r < 291; ++r)
    for (uint32_t c = 0; c < 376; ++c)
      ASSERT_EQ(image[r * 376 + c],
                static_cast<float>(static_cast<uint16_t>(r * 211 + c * 7 + 60000 * (c % 2))));
}

// Catches a wrong rebuild of fast readouts: rows out of place, means divided or not
// taken, and the last row of an even height left unfilled.
TEST(FrameAssembly, FastReadoutLineRebuild) {
  // Small cases: camera rows A, B, C give A, (A+B)/2, B, (B+C)/2, C; A, B give A, (A+B)/2, B, B.
  for (uint32_t height : {5u, 4u}) {
    const uint32_t cameraRows = (height + 1) / 2;
    std::vector<uint8_t> transfer(2 * 2 * cameraRows);
    const uint16_t values[] = {100, 301, 1000};
    for (uint32_t k = 0; k < cameraRows; ++k) {
      PutSample(transfer, 2 * k, values[k]);
      PutSample(transfer, 2 * k + 1, static_cast<uint16_t>(values[k] + 1));
    }
    std::vector<float> image(2 * height, -1.0f);
    AssembleLineDoubled(transfer.data(), cameraRows, 2, height, image.data());
    const std::vector<float> expected5 = {100, 200.5f, 301, 650.5f, 1000};
    const std::vector<float> expected4 = {100, 200.5f, 301, 301};
    const auto& expected = height == 5 ? expected5 : expected4;
    for (uint32_t r = 0; r < height; ++r) {
      EXPECT_EQ(image[2 * r], expected[r]) << "height " << height << " row " << r;
      EXPECT_EQ(image[2 * r + 1], expected[r] + 1) << "height " << height << " row " << r;
    }
  }
  // Full frame through the readout's entry point: 291 camera rows become 582.
  ReadoutGeometry g;
  g.SensorBinY = 2;
  g.FastReadout = g.LineDoubling = true;
  g.RawWidth = g.ImageWidth = 752;
  g.RawHeight = 291;
  g.ImageHeight = 582;
  auto f = MakeFields(g, [](uint32_t r, uint32_t c) { return static_cast<uint16_t>(r * 100 + c % 50); });
  std::vector<float> image(752 * 582);
  AssembleImage(g, f.First.data(), nullptr, image.data(), nullptr);
  auto at = [&](uint32_t r, uint32_t c) { return image[r * 752 + c]; };
  for (uint32_t c : {0u, 17u, 751u}) {
    EXPECT_EQ(at(580, c), 29000.0f + c % 50);
    EXPECT_EQ(at(581, c), 29000.0f + c % 50);
    EXPECT_EQ(at(579, c), 28950.0f + c % 50);
    EXPECT_EQ(at(0, c), static_cast<float>(c % 50));
    EXPECT_EQ(at(1, c), 50.0f + c % 50);
  }
}

// A binning-1 overscan frame: 795 x 596 raw, two fields, cropped to 752 x 582.
ReadoutGeometry OverscanGeometry(bool useVertical) {
  ReadoutGeometry g;
  g.SensorY = 0;
  g.RawWidth = 795;
  g.RawHeight = 596;
  g.ImageWidth = 752;
  g.ImageHeight = 582;
  g.OverscanActive = true;
  g.UseVerticalOverscan = useVertical;
  return g;
}

// Pixel values of the active area in the tests below.
uint16_t Scene(uint32_t r, uint32_t c) {
  return static_cast<uint16_t>(2000 + (r * 7 + c * 3) % 500);
}

struct BiasResult {
  std::vector<float> Image, RowBias;
};

BiasResult RunBiasPass(const ReadoutGeometry& g, const std::function<uint16_t(uint32_t)>& stripOfRow,
                       const std::function<uint16_t(uint32_t, uint32_t)>& stripSample = nullptr) {
  const uint32_t strip = 40 / g.SensorBinX;
  auto f = MakeFields(g, [&](uint32_t r, uint32_t c) {
    if (c >= g.RawWidth - strip)
      return stripSample ? stripSample(r, c - (g.RawWidth - strip)) : stripOfRow(r);
    return Scene(r, c);
  });
  BiasResult result{std::vector<float>(size_t{g.ImageWidth} * g.ImageHeight, -1.0f),
                    std::vector<float>(g.RawHeight)};
  CorrectOverscanBias(g, f.First.data(), f.Second.data(), result.Image.data(), result.RowBias.data());
  return result;
}

// Catches a median taken at the wrong index of the sorted strip (or from unsorted data).
TEST(OverscanBias, RowBiasIsElement21OfTheSortedStrip) {
  const auto g = OverscanGeometry(true);
  // Raw row 101 holds 100 .. 139 in shuffled order; the other rows 500.
  std::vector<uint16_t> strip(40);
  for (int i = 0; i < 40; ++i)
    strip[i] = static_cast<uint16_t>(100 + (i * 17) % 40);
  auto result = RunBiasPass(
      g, [](uint32_t) -> uint16_t { return 500; },
      [&](uint32_t r, uint32_t j) -> uint16_t { return r == 101 ? strip[j] : 500; });
  EXPECT_EQ(result.RowBias[101], 121.0f);
  EXPECT_EQ(result.RowBias[100], 500.0f);
}

// Catches a selection that differs from a full ascending sort on arbitrary strips,
// with repeated values, values above 32767 and row groups that do not fill up evenly.
TEST(OverscanBias, RowBiasMatchesASortedStripForRandomData) {
  for (uint32_t binX : {1u, 2u}) {
    ReadoutGeometry g = OverscanGeometry(true);
    if (binX == 2) {
      g.SensorBinX = g.SensorBinY = 2;
      g.RawWidth = 418;
      g.RawHeight = 298;
      g.ImageWidth = 376;
      g.ImageHeight = 291;
    }
    const uint32_t strip = 40 / binX;
    std::mt19937 random(binX);
    std::vector<uint16_t> samples(size_t{g.RawHeight} * strip);
    for (auto& v : samples)
      v = static_cast<uint16_t>(random() % 4 == 0 ? 65535 - random() % 3 : random() % 50);
    auto result = RunBiasPass(g, nullptr, [&](uint32_t r, uint32_t j) { return samples[r * strip + j]; });
    const uint32_t first = binX == 1 ? 12 : 6, last = binX == 1 ? 596 : 297;
    for (uint32_t r = first; r < last; ++r) {
      std::vector<float> sorted(samples.begin() + r * strip, samples.begin() + (r + 1) * strip);
      std::sort(sorted.begin(), sorted.end());
      ASSERT_EQ(result.RowBias[r], sorted[binX == 1 ? 21 : 11]) << "binning " << binX << " row " << r;
    }
  }
}

// Catches a fast correction path that rounds differently from v - (bias - mean) in
// double precision: typical biases near 1000, and biases near zero whose field mean
// has bits too fine for the float path.
TEST(OverscanBias, CorrectionEqualsDoublePrecisionFormula) {
  for (uint16_t level : {1000, 0}) {
    SCOPED_TRACE(level);
    const auto g = OverscanGeometry(true);
    std::mt19937 random(level + 1u);
    std::vector<uint16_t> stripLevel(g.RawHeight);
    // Near zero only a few rows are raised, by 1, so the field mean (about 6/292) has
    // bits down to 2^-29.
    for (auto& v : stripLevel) {
      const bool raised = random() % (level ? 23 : 50) == 0;
      v = static_cast<uint16_t>(level + (raised ? (level ? 1 + random() % 9 : 1) : 0));
    }
    auto result = RunBiasPass(g, [&](uint32_t r) { return stripLevel[r]; });
    float sum[2] = {0, 0};
    for (uint32_t r = 12; r < 596; ++r)
      sum[r % 2] += result.RowBias[r];
    const float mean[2] = {sum[0] / 292.0f, sum[1] / 292.0f};
    for (uint32_t i = 0; i < 582; ++i) {
      const uint32_t r = i + 12;
      const double correction = static_cast<double>(result.RowBias[r]) - static_cast<double>(mean[r % 2]);
      for (uint32_t j = 0; j < 752; j += 7) {
        const auto expected = static_cast<float>(static_cast<double>(Scene(r, j + 3)) - correction);
        ASSERT_EQ(result.Image[i * 752 + j], expected) << "row " << r << " column " << j;
      }
    }
  }
}

// Catches a correction that flattens the fields to one level, or alters pixels when every
// row's bias equals its field's mean; and a crop from the wrong raw rows or columns.
TEST(OverscanBias, ConstantFieldBiasesLeaveTheImageUnchanged) {
  const auto g = OverscanGeometry(true);
  auto result = RunBiasPass(g, [](uint32_t r) -> uint16_t { return r % 2 == 0 ? 500 : 520; });
  for (uint32_t i = 0; i < 582; ++i)
    for (uint32_t j = 0; j < 752; ++j)
      ASSERT_EQ(result.Image[i * 752 + j], Scene(i + 12, j + 3));
}

// Catches a wrong field mean or a correction applied to the wrong rows: one row 10 ADU
// above the rest of its field drops by 10 - 10/292, its field's other rows rise by
// 10/292, and the other field stays as it was.
TEST(OverscanBias, OneRaisedRowIsCorrectedAgainstItsFieldMean) {
  const auto g = OverscanGeometry(true);
  const uint32_t raised = 100;  // raw row, field 0, image row 88
  auto result = RunBiasPass(g, [&](uint32_t r) -> uint16_t { return r == raised ? 510 : 500; });
  for (uint32_t i = 0; i < 582; ++i) {
    const uint32_t r = i + 12;
    double shift = 0.0;
    if (r == raised) {
      shift = -10.0 + 10.0 / 292;
    } else if (r % 2 == 0) {
      shift = 10.0 / 292;
    }
    for (uint32_t j : {0u, 400u, 751u}) {
      ASSERT_NEAR(result.Image[i * 752 + j], Scene(r, j + 3) + shift, 1e-3) << "image row " << i;
    }
  }
}

// Catches a correction applied although the row switch is off: the crop alone remains.
TEST(OverscanBias, SwitchOffCropsWithoutCorrection) {
  const auto g = OverscanGeometry(false);
  auto result = RunBiasPass(g, [](uint32_t r) -> uint16_t { return static_cast<uint16_t>(480 + r % 37); });
  for (uint32_t i = 0; i < 582; ++i)
    for (uint32_t j = 0; j < 752; j += 50)
      ASSERT_EQ(result.Image[i * 752 + j], Scene(i + 12, j + 3));
}

// Catches the binning-2 path: 20-sample strip (element 11), one transfer, crop from
// column 1 and row 6, each row corrected against the single field's mean.
TEST(OverscanBias, Binning2SingleTransfer) {
  ReadoutGeometry g;
  g.SensorBinX = g.SensorBinY = 2;
  g.SensorY = 6;
  g.RawWidth = 418;
  g.RawHeight = 298;
  g.ImageWidth = 376;
  g.ImageHeight = 291;
  g.OverscanActive = g.UseVerticalOverscan = true;
  // Strip samples 0..19 plus a per-row level: element 11 is level + 11.
  auto result = RunBiasPass(g, nullptr, [](uint32_t r, uint32_t j) -> uint16_t {
    return static_cast<uint16_t>(1000 + (r % 3) * 3 + (19 - j));
  });
  // Rows 6 .. 296 are measured; their levels cycle through 0, 3, 6 (mean 3 over 291 rows).
  double sum = 0.0;
  for (uint32_t r = 6; r < 297; ++r) {
    ASSERT_EQ(result.RowBias[r], 1011.0f + (r % 3) * 3) << r;
    sum += result.RowBias[r];
  }
  const double mean = sum / 291;
  for (uint32_t i = 0; i < 291; ++i) {
    const uint32_t r = i + 6;
    ASSERT_NEAR(result.Image[i * 376 + 5], Scene(r, 6) - (result.RowBias[r] - mean), 1e-3);
  }
}

// Catches reads past the strip or the frame for a binning the facade never uses (3
// rows, whose row range the bias formula overshoots): the pass stays inside its buffers.
TEST(OverscanBias, UnusualBinningStaysInBounds) {
  SimDevice sim;
  sim.Device->SetROI(0, 0, 752, 194, true, false, 1, 3);
  ReadoutGeometry g;
  g.SensorY = sim.Device->SensorY;
  g.SensorBinX = 1;
  g.SensorBinY = 3;
  g.RawWidth = sim.Device->RawWidth;
  g.RawHeight = sim.Device->RawHeight;
  g.ImageWidth = sim.Device->ImageWidth;
  g.ImageHeight = sim.Device->ImageHeight;
  g.OverscanActive = g.UseVerticalOverscan = true;
  auto result = RunBiasPass(g, [](uint32_t) -> uint16_t { return 700; });
  for (uint32_t j = 0; j < g.ImageWidth; j += 100)
    EXPECT_EQ(result.Image[j], Scene(4, j + 3));
}

// Catches a sort that is not ascending, loses values, or touches short arrays.
TEST(OverscanBias, ArraySort) {
  SimDevice sim;
  float empty[1] = {7.0f};
  sim.Device->ArraySort(empty, 0);
  sim.Device->ArraySort(empty, 1);
  EXPECT_EQ(empty[0], 7.0f);
  float three[] = {3.0f, 1.0f, 2.0f};
  sim.Device->ArraySort(three, 3);
  EXPECT_EQ(std::vector<float>(three, three + 3), (std::vector<float>{1.0f, 2.0f, 3.0f}));
  std::mt19937 random(3);
  std::vector<float> values(40);
  for (float& v : values)
    v = static_cast<float>(random() % 30);
  auto expected = values;
  std::sort(expected.begin(), expected.end());
  sim.Device->ArraySort(values.data(), 40);
  EXPECT_EQ(values, expected);
}

}  // namespace
}  // namespace ReadoutTests
