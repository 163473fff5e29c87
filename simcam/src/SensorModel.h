#pragma once

// The camera's CCD and converter: what each pixel of a window reads as. Deterministic
// for a given seed and exposure number, and computed one binned row at a time, so any
// window (even one reaching far beyond the sensor) costs only the rows actually sent.
//
// Sensor: the whole 795 x 596 readout area. Light and dark current reach only the
// active area (752 x 582 at camera column 3, row 12); the left margin, the overscan
// strip (columns 755-794) and the top and bottom bands carry bias only. A window
// reaching beyond the readout area reads as bias there too: the camera keeps clocking
// out empty pixels.
//
// Every sensor row carries its own readout bias offset (Gaussian, RowBiasSigmaAdu),
// the same across the whole row including the strip, plus Gaussian read noise per
// pixel. Each pixel is digitised and clipped to 0..65535; a binned pixel is the sum of
// the pixels it covers, clipped at 65535.
//
// Converter registers:
//   gain code g   -> ElectronsPerAdu = 0.789 * 2^((185 - g) / 64): the camera's default
//                    code 185 gives 0.789 e-/ADU; 64 codes more double the ADU per e-.
//   offset code o -> BiasLevel = 1000 + 8 (o - 127) ADU: the default 127 gives 1000 ADU.
//   The amplifier scale (PgaScale) is not modelled.
// Dark current: DarkCurrentAt20C e-/s per pixel at 20 C, doubling every 6 C. A few hot
// pixels, fixed to the sensor by the camera's seed, leak far more and double alike.
// A pixel holds at most FullWellElectrons; the rest is lost (no blooming).

#include <cstdint>
#include <memory>
#include <vector>

#include "ImageStream.h"

namespace SimulatedCamera {

inline constexpr double ReadNoiseElectrons = 4.0;
inline constexpr double RowBiasSigmaAdu = 4.5;
inline constexpr double DarkCurrentAt20C = 1.0;
inline constexpr double DarkDoublingCelsius = 6.0;
inline constexpr double FullWellElectrons = 50000.0;
inline constexpr int HotPixelCount = 12;
inline constexpr double HotPixelRateAt20C = 2000.0;  // e-/s, the hottest up to 1.5 times this

double ElectronsPerAdu(uint8_t gainCode);
double BiasLevel(uint8_t offsetCode);
double DarkCurrent(double celsius);  // e-/s per pixel

class SensorModel {
 public:
  // `activeRate`: photo-electrons per second of every active pixel (752 x 582,
  // row-major), as the scene renders it; empty for a dark sensor.
  SensorModel(const ExposureSettings& settings, uint64_t seed, uint64_t exposureNumber,
              std::vector<float> activeRate);

  // Window size in binned pixels (0 when the last column or row lies before the first).
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }

  // Writes binned row `row` of the window (0 = the window's first row) as Width()
  // big-endian 16-bit samples.
  void RenderRow(uint32_t row, uint8_t* out) const;

 private:
  double RowOffset(uint64_t sensorRow) const;

  ExposureSettings settings_;
  uint64_t seed_;
  std::vector<float> rate_;
  uint32_t width_ = 0, height_ = 0;
  double electronsPerAdu_ = 1.0, bias_ = 0.0, darkElectrons_ = 0.0, seconds_ = 0.0;
  mutable std::vector<double> rowSum_;  // scratch for one binned row
};

}  // namespace SimulatedCamera
