#include "FacadeFixture.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

#include <simcam/Scene.h>

namespace {

using namespace FacadeTesting;
using Nuvik::ImageArray;

constexpr const char* NoImage = "No image available";
constexpr const char* GeometryChanged =
    "Image geometry changed since the exposure: binning, subframe or readout options differ";

// Dark sky with one bright pixel, so the image shows where each sensor pixel landed.
class PointScene : public SimulatedCamera::Scene {
 public:
  PointScene(uint32_t column, uint32_t row) : column_(column), row_(row) {}
  void Render(float* rate, uint32_t width, uint32_t height,
              const SimulatedCamera::SceneView&) const override {
    std::fill(rate, rate + static_cast<size_t>(width) * height, 0.0f);
    if (column_ < width && row_ < height) {
      rate[static_cast<size_t>(row_) * width + column_] = 2e5f;
    }
  }

 private:
  uint32_t column_, row_;
};

constexpr uint32_t StarColumn = 201;
constexpr uint32_t StarRow = 157;

std::pair<int32_t, int32_t> BrightestPixel(const ImageArray& image) {
  std::pair<int32_t, int32_t> best{0, 0};
  for (int32_t c = 0; c < image.Width(); ++c) {
    for (int32_t r = 0; r < image.Height(); ++r) {
      if (image(c, r) > image(best.first, best.second)) {
        best = {c, r};
      }
    }
  }
  return best;
}

class ImageDelivery : public FacadeTest {
 protected:
  void Expose() {
    Firmware->SetScene(std::make_shared<PointScene>(StarColumn, StarRow));
    Driver->StartExposure(100);
    ASSERT_TRUE(WaitForImage());
  }
};

// Catches a transposed or misplaced image, rounding instead of truncation, negatives
// passed on, and integer and float forms that disagree. Overscan correction is on so
// the frame can hold fractional and negative values.
TEST_F(ImageDelivery, FullFrameInColumnRowOrder) {
  Connect();
  Driver->ChangeOverscan(true, false);
  Expose();

  const ImageArray image = Driver->GetImage();
  ASSERT_EQ(image.Width(), 752);
  ASSERT_EQ(image.Height(), 582);
  const std::pair<int32_t, int32_t> star{StarColumn, StarRow};
  EXPECT_EQ(BrightestPixel(image), star);

  float* raw = nullptr;
  ASSERT_TRUE(Driver->GetImage(&raw));
  const std::unique_ptr<float[]> frame(raw);
  const std::vector<float> floats = Driver->GetImageFloats();
  ASSERT_EQ(floats.size(), 752u * 582u);
  for (int32_t r = 0; r < 582; ++r) {
    for (int32_t c = 0; c < 752; ++c) {
      const float sample = frame[static_cast<size_t>(r) * 752 + c];
      ASSERT_GE(sample, 0.0f);
      ASSERT_EQ(floats[static_cast<size_t>(r) * 752 + c], sample);
      ASSERT_EQ(image(c, r), static_cast<int32_t>(sample)) << c << "," << r;
      ASSERT_EQ(image.Data()[static_cast<size_t>(c) * 582 + r], image(c, r));
    }
  }
}

struct WindowCase {
  const char* Name;
  int32_t Bin;
  int32_t X, Y, Width, Height;
};
void PrintTo(const WindowCase& c, std::ostream* os) {
  *os << c.Name;
}

class ImageWindow : public ImageDelivery, public ::testing::WithParamInterface<WindowCase> {};

// Catches a subframe or binned image of the wrong size or place, and an odd height at
// binning 1 whose extra row is delivered by any of the three forms.
TEST_P(ImageWindow, DeliversTheRequestedWindow) {
  const WindowCase& c = GetParam();
  Connect();
  Driver->SetBin(c.Bin, c.Bin);
  Driver->SetSubframeX(c.X);
  Driver->SetSubframeY(c.Y);
  Driver->SetSubframeWidth(c.Width);
  Driver->SetSubframeHeight(c.Height);
  EXPECT_EQ(Driver->GetSubframeHeight(), c.Height);
  Expose();

  const ImageArray image = Driver->GetImage();
  EXPECT_EQ(image.Width(), c.Width);
  EXPECT_EQ(image.Height(), c.Height);
  EXPECT_EQ(Driver->GetImage(0).Height(), c.Height);
  // The camera bins in its own coordinates, where the active area starts at column 3
  // and row 12; at binning 2 the first binned column therefore straddles the margin.
  const int32_t starColumn = (static_cast<int32_t>(StarColumn) + 3) / c.Bin - 3 / c.Bin - c.X;
  const int32_t starRow = (static_cast<int32_t>(StarRow) + 12) / c.Bin - 12 / c.Bin - c.Y;
  EXPECT_EQ(BrightestPixel(image), std::make_pair(starColumn, starRow));

  float* raw = nullptr;
  ASSERT_TRUE(Driver->GetImage(&raw));
  const std::unique_ptr<float[]> frame(raw);
  const std::vector<float> floats = Driver->GetImageFloats();
  ASSERT_EQ(floats.size(), static_cast<size_t>(c.Width) * c.Height);
  EXPECT_TRUE(std::equal(floats.begin(), floats.end(), frame.get()));
  EXPECT_EQ(image(c.Width - 1, c.Height - 1), static_cast<int32_t>(floats.back()));
}

INSTANTIATE_TEST_SUITE_P(Windows, ImageWindow,
                         ::testing::Values(WindowCase{"Binned2x2", 2, 0, 0, 376, 291},
                                           WindowCase{"OddHeightAtBin1", 1, 150, 100, 120, 91},
                                           WindowCase{"OddHeightAtBin2", 2, 60, 40, 80, 61},
                                           WindowCase{"EvenSubframe", 1, 180, 140, 64, 40}),
                         [](const auto& info) { return std::string(info.param.Name); });

// Catches discarded columns taken from the wrong end, a stride that shrinks with them,
// and unchecked counts that would read outside the frame.
TEST_F(ImageDelivery, DiscardedColumns) {
  Connect();
  Expose();
  const ImageArray full = Driver->GetImage();
  const ImageArray cut = Driver->GetImage(2);
  ASSERT_EQ(cut.Width(), 750);
  ASSERT_EQ(cut.Height(), 582);
  for (int32_t c = 0; c < 750; c += 7) {
    for (int32_t r = 0; r < 582; r += 5) {
      ASSERT_EQ(cut(c, r), full(c, r));
    }
  }
  const ImageArray none = Driver->GetImage(752);
  EXPECT_EQ(none.Width(), 0);
  EXPECT_EQ(none.Height(), 582);
  EXPECT_EQ(DriverError([&] { Driver->GetImage(753); }), "Invalid discarded columns");
  EXPECT_EQ(DriverError([&] { Driver->GetImage(-1); }), "Invalid discarded columns");
}

// Catches delivery of a frame that does not exist yet or is still being filled.
TEST_F(ImageDelivery, NoImageBeforeReadout) {
  Connect();
  float* raw = nullptr;
  EXPECT_EQ(DriverError([&] { Driver->GetImage(); }), NoImage);
  EXPECT_EQ(DriverError([&] { Driver->GetImage(&raw); }), NoImage);
  Driver->StartExposure(60000);
  EXPECT_EQ(DriverError([&] { Driver->GetImage(1); }), NoImage);
  EXPECT_EQ(DriverError([&] { Driver->GetImageFloats(); }), NoImage);
  EXPECT_EQ(raw, nullptr);
  Driver->AbortExposure();
  EXPECT_FALSE(Driver->GetImage(nullptr));
}

// Catches a frame read with a geometry it was not downloaded with: the device already
// reports the new size while the frame keeps the old one.
TEST_F(ImageDelivery, RefusedAfterGeometryChange) {
  Connect();
  Driver->SetSubframeWidth(400);
  Expose();
  float* raw = nullptr;
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"SetSubframeWidth", [&] { Driver->SetSubframeWidth(752); }},
      {"SetSubframeX", [&] { Driver->SetSubframeX(3); }},
      {"SetBin", [&] { Driver->SetBin(2, 1); }},
      {"SetFastReadout", [&] { Driver->SetFastReadout(true); }},
      {"ChangeOverscan", [&] { Driver->ChangeOverscan(true, true); }},
      {"ShowOverScanArea", [&] { Driver->ShowOverScanArea(true); }},
  };
  for (const auto& [name, change] : changes) {
    change();
    EXPECT_EQ(DriverError([&] { Driver->GetImage(); }), GeometryChanged) << name;
    EXPECT_EQ(DriverError([&] { Driver->GetImage(&raw); }), GeometryChanged) << name;
    // Back to the exposure's geometry: the frame is delivered again.
    Driver->SetBin(1, 1);
    Driver->SetSubframeX(0);
    Driver->SetSubframeWidth(400);
    Driver->SetFastReadout(false);
    Driver->ChangeOverscan(false, false);
    Driver->ShowOverScanArea(false);
    EXPECT_EQ(Driver->GetImage().Width(), 400) << name;
  }
  EXPECT_EQ(raw, nullptr);
}

struct ShiftCase {
  int32_t X, Y;
  int32_t ShiftX, ShiftY;
};
void PrintTo(const ShiftCase& c, std::ostream* os) {
  *os << "X" << c.X << " Y" << c.Y;
}

class ColorShift : public FacadeTest, public ::testing::WithParamInterface<ShiftCase> {};

// Catches a wrong mosaic phase: the column phase follows the first sensor column read
// (active column 0 is camera column 3), the row phase the subframe's Y mod 4.
TEST_P(ColorShift, FollowsTheWindow) {
  const ShiftCase& c = GetParam();
  Connect(2);
  Driver->SetSubframeX(c.X);
  Driver->SetSubframeY(c.Y);
  Driver->SetSubframeWidth(100);
  Driver->SetSubframeHeight(100);
  EXPECT_TRUE(Driver->IsLastImageColor());
  EXPECT_EQ(Driver->GetLastImageColorShiftX(), c.ShiftX);
  EXPECT_EQ(Driver->GetLastImageColorShiftY(), c.ShiftY);
}

INSTANTIATE_TEST_SUITE_P(Phases, ColorShift,
                         ::testing::Values(ShiftCase{0, 0, 0, 0}, ShiftCase{1, 1, 1, 3},
                                           ShiftCase{2, 2, 0, 2}, ShiftCase{3, 3, 1, 1},
                                           ShiftCase{0, 4, 0, 0}, ShiftCase{1, 5, 1, 3},
                                           ShiftCase{0, 6, 0, 2}, ShiftCase{0, 7, 0, 1}),
                         [](const auto& info) {
                           return "X" + std::to_string(info.param.X) + "Y" + std::to_string(info.param.Y);
                         });

// Catches the column phase of an overscan-corrected colour frame taken from the raw
// window (camera column 0) instead of the first delivered column (camera column 3),
// while overscan display, which delivers column 0, keeps it.
TEST_F(FacadeTest, ColorShiftOfOverscanFrames) {
  Connect(2);
  Driver->ChangeOverscan(true, false);
  EXPECT_EQ(Driver->GetLastImageColorShiftX(), 0);
  Driver->ChangeOverscan(false, false);
  Driver->ShowOverScanArea(true);
  EXPECT_EQ(Driver->GetLastImageColorShiftX(), 1);
  EXPECT_EQ(Driver->GetLastImageColorShiftY(), 0);
}

// Catches a binned or monochrome image reported as a colour mosaic.
TEST_F(FacadeTest, ColorOnlyUnbinnedOnColorModels) {
  Connect(102);
  Driver->SetSubframeX(1);
  Driver->SetSubframeY(5);
  EXPECT_TRUE(Driver->IsLastImageColor());
  Driver->SetBin(1, 2);
  EXPECT_FALSE(Driver->IsLastImageColor());
  EXPECT_EQ(Driver->GetLastImageColorShiftX(), 0);
  EXPECT_EQ(Driver->GetLastImageColorShiftY(), 0);

  Connect(101);
  Driver->SetSubframeX(1);
  Driver->SetSubframeY(5);
  EXPECT_FALSE(Driver->IsLastImageColor());
  EXPECT_EQ(Driver->GetLastImageColorShiftX(), 0);
  EXPECT_EQ(Driver->GetLastImageColorShiftY(), 0);
}

}  // namespace
