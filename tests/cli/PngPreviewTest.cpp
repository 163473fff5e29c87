#include <gtest/gtest.h>
#include <png.h>

#include <unistd.h>
#include <cstring>

#include <filesystem>
#include <random>

#include "PngPreview.h"

namespace {

using namespace NuvikCli;
namespace fs = std::filesystem;

// A sky of 1000 +/- 10 ADU with one bright star.
Frame SkyWithStar(int32_t w, int32_t h) {
  Frame f{w, h, std::vector<int32_t>(static_cast<size_t>(w) * h)};
  std::mt19937 gen(3);
  std::normal_distribution<double> noise(1000.0, 10.0);
  for (auto& p : f.Pixels) {
    p = static_cast<int32_t>(noise(gen));
  }
  f.Pixels[static_cast<size_t>(h / 2) * w + w / 2] = 40000;
  return f;
}

// Catches a linear or clipped preview: the sky must sit near a quarter of full scale
// (not black), the star must be white, and the sky's noise must stay visible.
TEST(PngPreview, StretchLiftsSkyAndKeepsStars) {
  const Frame f = SkyWithStar(64, 64);
  const Stretch s = AutoStretch(f.Pixels);
  EXPECT_LT(s.Black, 1000.0);
  EXPECT_GT(s.Black, 900.0);
  EXPECT_NEAR(s.Apply(1000.0), 64, 4);
  EXPECT_EQ(s.Apply(40000.0), 255);
  EXPECT_LT(s.Apply(985.0) + 10, s.Apply(1015.0));
}

// Catches a flat frame (MAD 0) dividing by zero or producing NaN.
TEST(PngPreview, FlatFrameStaysFinite) {
  const std::vector<int32_t> flat(100, 500);
  const Stretch s = AutoStretch(flat);
  EXPECT_TRUE(std::isfinite(s.Midtone));
  EXPECT_LE(s.Apply(500.0), 255);
}

// Catches a file that libpng cannot read back, wrong size or wrong colour type.
TEST(PngPreview, WritesReadablePng) {
  const fs::path dir = fs::temp_directory_path() / ("nuvik-png-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (bool colour : {false, true}) {
    const fs::path path = dir / (colour ? "c.png" : "m.png");
    std::optional<FitsHeader::Bayer> mosaic;
    if (colour) {
      mosaic = FitsHeader::Bayer{"RGGB", 0, 1};
    }
    WritePngPreview(path, SkyWithStar(33, 21), mosaic);
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    EXPECT_EQ(image.width, 33u);
    EXPECT_EQ(image.height, 21u);
    EXPECT_EQ((image.format & PNG_FORMAT_FLAG_COLOR) != 0, colour);
    png_image_free(&image);
  }
  fs::remove_all(dir);
}

}  // namespace
