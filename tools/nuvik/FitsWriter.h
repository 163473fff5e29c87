#pragma once

// FITS output: one primary image of unsigned 16-bit samples (BITPIX 16, BZERO 32768)
// with the acquisition keywords stacking software reads.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace NuvikCli {

// A frame as delivered by the camera: row 0 is the top row of the image, samples row
// after row. Values outside 0..65535 are clamped when written.
struct Frame {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<int32_t> Pixels;  // Width x Height, row-major

  int32_t At(int32_t x, int32_t y) const { return Pixels[static_cast<size_t>(y) * Width + x]; }
};

struct FitsHeader {
  double ExposureSeconds = 0.0;
  std::chrono::system_clock::time_point StartUtc{};
  std::string ImageType = "Light Frame";
  std::string Instrument;
  std::optional<double> CcdTemperature;  // at the start of the exposure
  std::optional<double> SetTemperature;  // only while the cooler is on
  int32_t BinX = 1, BinY = 1;
  double PixelSizeX = 0.0, PixelSizeY = 0.0;  // micrometres, after binning
  int32_t SubframeX = 0, SubframeY = 0;       // origin in binned pixels
  bool FastReadout = false;
  int32_t Gain = 0, Offset = 0;  // converter codes
  double ElectronsPerAdu = 0.0;
  bool OverscanCorrected = false;
  bool OverscanShown = false;
  // Colour frames at binning 1 only: the mosaic and where it starts.
  struct Bayer {
    std::string Pattern = "RGGB";
    int32_t OffsetX = 0, OffsetY = 0;
  };
  std::optional<Bayer> Mosaic;
  std::string Software;  // SWCREATE
};

// "2026-12-11T20:15:00.123": UTC, ISO-8601 with milliseconds.
std::string IsoUtc(std::chrono::system_clock::time_point t);

// Writes `frame` to `path`. The file is written under a temporary name in the same
// directory and renamed over `path` only when complete, so a failure never leaves a
// partial file under the final name. Throws std::runtime_error with the reason.
void WriteFits(const std::filesystem::path& path, const Frame& frame, const FitsHeader& header);

}  // namespace NuvikCli
