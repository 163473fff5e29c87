#pragma once

// A quick-look PNG of a frame with an automatic stretch, so faint stars show without
// any adjustment: the black point sits just below the sky (median minus a few robust
// sigmas from the MAD) and a midtone curve lifts the sky to a quarter of full scale.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "FitsWriter.h"

namespace NuvikCli {

struct Stretch {
  double Black = 0.0;    // sample value shown as black
  double White = 1.0;    // sample value shown as white
  double Midtone = 0.5;  // midtone balance in (0, 1); 0.5 is linear
  // 0..255 for one sample.
  uint8_t Apply(double value) const;
};

// The stretch for the given samples (the sky median lands at `target` of full scale).
Stretch AutoStretch(const std::vector<int32_t>& samples, double target = 0.25);

// Writes an 8-bit preview of `frame`. With a mosaic (colour frame at binning 1) the
// preview is in colour, demosaiced by 2x2 cells; otherwise grey. The file is written
// under a temporary name and renamed into place when complete. Throws
// std::runtime_error on failure.
void WritePngPreview(const std::filesystem::path& path, const Frame& frame,
                     const std::optional<FitsHeader::Bayer>& mosaic);

}  // namespace NuvikCli
