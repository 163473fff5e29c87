#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "Arguments.h"

namespace {

using namespace NuvikCli;

// Catches values the camera cannot take slipping through the parsers (they must be
// refused before any camera traffic, as exit code 2).
TEST(Arguments, RefusesBadValues) {
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"negative exposure", [] { ExposureMilliseconds(-1.0); }},
      {"tiny negative exposure", [] { ExposureMilliseconds(-0.0004 - 0.0002); }},
      {"NaN exposure", [] { ExposureMilliseconds(std::nan("")); }},
      {"exposure beyond the 24-bit counter", [] { ExposureMilliseconds(16777.216); }},
      {"binning 0", [] { ParseBinning("0"); }},
      {"binning text", [] { ParseBinning("two"); }},
      {"binning 2x", [] { ParseBinning("2x"); }},
      {"binning negative", [] { ParseBinning("1x-1"); }},
      {"binning trailing junk", [] { ParseBinning("2 "); }},
      {"binning 3 on a 2x2 camera", [] { CheckBinning(ParseBinning("3"), 2, 2, true); }},
      {"asymmetric where not allowed", [] { CheckBinning(ParseBinning("2x1"), 2, 2, false); }},
      {"subframe with 3 values", [] { ParseSubframe("1,2,3"); }},
      {"subframe negative origin", [] { ParseSubframe("-1,0,10,10"); }},
      {"subframe zero width", [] { ParseSubframe("0,0,0,10"); }},
      {"subframe past the right edge",
       [] {
         CheckSubframe(ParseSubframe("700,0,100,10"), {1, 1}, 752, 582);
       }},
      {"subframe past the bottom at 2x2",
       [] {
         CheckSubframe(ParseSubframe("0,200,376,92"), {2, 2}, 752, 582);
       }},
      {"set point too cold", [] { CheckSetPoint(-30.01); }},
      {"set point too warm", [] { CheckSetPoint(30.5); }},
      {"unknown frame type", [] { ParseFrameType("science"); }},
      {"unknown direction", [] { ParseGuideDirection("up"); }},
      {"guide pulse 0 ms", [] { CheckGuideDuration(0); }},
      {"guide pulse beyond 16 bits", [] { CheckGuideDuration(65536); }},
      {"series without {n}",
       [] {
         OutputPath("/tmp", "{type}.fits", FrameType::Light, 1, 3, std::chrono::system_clock::now(), 1.0);
       }},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(c.call(), UsageError) << c.name;
  }
}

// Catches wrong parsing of the accepted forms, and exposure rounding errors.
TEST(Arguments, ParsesAcceptedForms) {
  EXPECT_EQ(ExposureMilliseconds(0.0), 0);
  EXPECT_EQ(ExposureMilliseconds(2.5), 2500);
  EXPECT_EQ(ExposureMilliseconds(0.0015), 2);
  EXPECT_EQ(ExposureMilliseconds(16777.215), 16777215);
  const Binning square = ParseBinning("2");
  EXPECT_EQ(square.X, 2);
  EXPECT_EQ(square.Y, 2);
  const Binning asym = ParseBinning("2X1");
  EXPECT_EQ(asym.X, 2);
  EXPECT_EQ(asym.Y, 1);
  const Subframe f = ParseSubframe("10,20,300,200");
  EXPECT_EQ(f.X, 10);
  EXPECT_EQ(f.Y, 20);
  EXPECT_EQ(f.Width, 300);
  EXPECT_EQ(f.Height, 200);
  EXPECT_NO_THROW(CheckSubframe(ParseSubframe("0,0,376,291"), {2, 2}, 752, 582));
  EXPECT_NO_THROW(CheckSetPoint(-30.0));
  EXPECT_NO_THROW(CheckSetPoint(30.0));
  EXPECT_EQ(ParseFrameType("Dark"), FrameType::Dark);
  EXPECT_STREQ(ImageTypeName(FrameType::Flat), "Flat Frame");
  EXPECT_EQ(ParseGuideDirection("west"), GuideDirection::West);
}

// Catches series overwriting one file, and patterns that escape the output directory.
TEST(Arguments, NamesOutputFiles) {
  namespace fs = std::filesystem;
  const auto t = std::chrono::system_clock::from_time_t(1796328000);  // 2026-12-03T20:00:00Z
  EXPECT_EQ(OutputPath("x.fits", DefaultNamePattern, FrameType::Light, 1, 1, t, 2.0), fs::path("x.fits"));
  EXPECT_EQ(OutputPath("out/x.fits", DefaultNamePattern, FrameType::Light, 3, 5, t, 2.0),
            fs::path("out/x-0003.fits"));
  const fs::path dir = fs::temp_directory_path();
  EXPECT_EQ(OutputPath(dir.string(), DefaultNamePattern, FrameType::Dark, 2, 10, t, 2.0),
            dir / "dark-20261203T200000-0002.fits");
  EXPECT_EQ(OutputPath("", "{type}_{exp}_{n}.fits", FrameType::Bias, 1, 1, t, 0.0),
            fs::path("./bias_0s_0001.fits"));
  EXPECT_THROW(OutputPath("", "../{n}.fits", FrameType::Light, 1, 1, t, 1.0), UsageError);
}

}  // namespace
