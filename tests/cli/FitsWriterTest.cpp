#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "FitsReader.h"
#include "FitsWriter.h"

namespace {

using namespace NuvikCli;
namespace fs = std::filesystem;

class FitsWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nuvik-fits-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static FitsHeader SampleHeader() {
    FitsHeader h;
    h.ExposureSeconds = 2.5;
    h.StartUtc = std::chrono::system_clock::from_time_t(1796328000) + std::chrono::milliseconds(42);
    h.ImageType = "Dark Frame";
    h.Instrument = "Test Camera";
    h.CcdTemperature = -10.25;
    h.SetTemperature = -10.0;
    h.BinX = 2;
    h.BinY = 1;
    h.PixelSizeX = 17.2;
    h.PixelSizeY = 8.3;
    h.SubframeX = 5;
    h.SubframeY = 7;
    h.FastReadout = true;
    h.Gain = 185;
    h.Offset = 127;
    h.ElectronsPerAdu = 0.7889999747276306;
    h.OverscanCorrected = true;
    h.Software = "nuvik test";
    return h;
  }

  fs::path dir_;
};

// Catches a wrong data type or scaling (signed data, missing BZERO), lost clamping,
// and rows written bottom-up.
TEST_F(FitsWriterTest, WritesUnsignedTopDownData) {
  Frame frame{3, 2, {0, 1, 65535, -5, 70000, 32768}};
  const fs::path path = dir_ / "data.fits";
  WriteFits(path, frame, SampleHeader());
  const FitsContents c = ReadFits(path);
  EXPECT_EQ(c.Bitpix, 16);
  EXPECT_EQ(c.Number("BZERO"), 32768.0);
  EXPECT_EQ(c.Width, 3);
  EXPECT_EQ(c.Height, 2);
  EXPECT_EQ(c.Values.at("ROWORDER"), "TOP-DOWN");
  const std::vector<uint16_t> expected{0, 1, 65535, 0, 65535, 32768};
  EXPECT_EQ(c.Pixels, expected);
}

// Catches missing or misformatted acquisition keywords and keywords without comments.
TEST_F(FitsWriterTest, HeaderRoundTrip) {
  Frame frame{2, 2, {1, 2, 3, 4}};
  const fs::path path = dir_ / "header.fits";
  WriteFits(path, frame, SampleHeader());
  const FitsContents c = ReadFits(path);
  EXPECT_DOUBLE_EQ(c.Number("EXPTIME"), 2.5);
  EXPECT_DOUBLE_EQ(c.Number("EXPOSURE"), 2.5);
  EXPECT_EQ(c.Values.at("DATE-OBS"), "2026-12-03T20:00:00.042");
  EXPECT_EQ(c.Values.at("IMAGETYP"), "Dark Frame");
  EXPECT_EQ(c.Values.at("INSTRUME"), "Test Camera");
  EXPECT_DOUBLE_EQ(c.Number("CCD-TEMP"), -10.25);
  EXPECT_DOUBLE_EQ(c.Number("SET-TEMP"), -10.0);
  EXPECT_EQ(c.Number("XBINNING"), 2);
  EXPECT_EQ(c.Number("YBINNING"), 1);
  EXPECT_DOUBLE_EQ(c.Number("XPIXSZ"), 17.2);
  EXPECT_DOUBLE_EQ(c.Number("YPIXSZ"), 8.3);
  EXPECT_EQ(c.Number("XORGSUBF"), 5);
  EXPECT_EQ(c.Number("YORGSUBF"), 7);
  EXPECT_EQ(c.Values.at("READOUTM"), "fast");
  EXPECT_EQ(c.Number("GAIN"), 185);
  EXPECT_EQ(c.Number("OFFSET"), 127);
  EXPECT_NEAR(c.Number("EGAIN"), 0.789, 1e-6);
  EXPECT_EQ(c.Values.at("OVERSCAN"), "T");
  EXPECT_EQ(c.Values.at("SWCREATE"), "nuvik test");
  EXPECT_FALSE(c.Has("BAYERPAT"));
  for (const char* key : {"EXPTIME",  "EXPOSURE", "DATE-OBS", "IMAGETYP", "INSTRUME", "CCD-TEMP", "SET-TEMP",
                          "XBINNING", "YBINNING", "XPIXSZ",   "YPIXSZ",   "XORGSUBF", "YORGSUBF", "READOUTM",
                          "GAIN",     "OFFSET",   "EGAIN",    "OVERSCAN", "SWCREATE", "ROWORDER"}) {
    EXPECT_FALSE(c.Comments.at(key).empty()) << key;
  }
}

// Catches Bayer keywords missing on colour frames, and SET-TEMP written with the
// cooler off.
TEST_F(FitsWriterTest, OptionalKeywords) {
  FitsHeader h = SampleHeader();
  h.SetTemperature.reset();
  h.Mosaic = FitsHeader::Bayer{"RGGB", 1, 1};
  const fs::path path = dir_ / "colour.fits";
  WriteFits(path, Frame{2, 2, {1, 2, 3, 4}}, h);
  const FitsContents c = ReadFits(path);
  EXPECT_EQ(c.Values.at("BAYERPAT"), "RGGB");
  EXPECT_EQ(c.Number("XBAYROFF"), 1);
  EXPECT_EQ(c.Number("YBAYROFF"), 1);
  EXPECT_FALSE(c.Has("SET-TEMP"));
}

// Catches partial files left under the final name, an existing file destroyed by a
// failed write, and names that cfitsio would parse as its own syntax.
TEST_F(FitsWriterTest, FailureLeavesNoFileAndKeepsOldOne) {
  const fs::path existing = dir_ / "keep.fits";
  WriteFits(existing, Frame{1, 1, {7}}, SampleHeader());
  EXPECT_THROW(WriteFits(existing, Frame{2, 2, {1, 2, 3}}, SampleHeader()), std::runtime_error);
  EXPECT_EQ(ReadFits(existing).Pixels, std::vector<uint16_t>{7});
  EXPECT_THROW(WriteFits(dir_ / "missing" / "x.fits", Frame{1, 1, {1}}, SampleHeader()), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir_ / "missing"));

  const fs::path odd = dir_ / "frame[1].fits";
  WriteFits(odd, Frame{1, 1, {9}}, SampleHeader());
  EXPECT_TRUE(fs::exists(odd));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    ++files;
    EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
  }
  EXPECT_EQ(files, 2u);
}

}  // namespace
