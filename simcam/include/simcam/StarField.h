#pragma once

// A synthetic night sky: a seeded random star field with Gaussian star images on a
// smooth sky background. The same seed always gives the same field, so tests and
// demos see the same stars on every run.

#include <cstdint>
#include <vector>

#include <simcam/Scene.h>

namespace SimulatedCamera {

struct Star {
  double X = 0.0;  // centre in active-area pixels, before any guide offset
  double Y = 0.0;
  double Rate = 0.0;  // photo-electrons per second summed over the whole star image
  // Relative response of the red, green and blue filters of the colour mosaic.
  double Red = 1.0, Green = 1.0, Blue = 1.0;
};

struct StarFieldOptions {
  uint64_t Seed = 1;
  uint32_t StarCount = 500;
  // Width and height of the field the stars are scattered over (the active area),
  // plus a margin so guiding does not leave an empty band at the edges.
  double FieldWidth = 752.0, FieldHeight = 582.0, Margin = 24.0;
  // Gaussian sigma of the star images in pixels: FWHM about 3 px, 25 um on this sensor.
  double PsfSigma = 1.3;
  // Brightest star in e-/s; magnitudes spread over MagnitudeRange below it, with
  // many more faint stars than bright ones.
  double BrightestRate = 2.5e6;
  double MagnitudeRange = 8.5;
  // Sky glow in e-/s per pixel, with a gentle gradient across the field.
  double SkyRate = 30.0;
  double SkyGradient = 0.25;  // fractional increase from left to right edge
};

class StarField : public Scene {
 public:
  explicit StarField(const StarFieldOptions& options = {});

  void Render(float* rate, uint32_t width, uint32_t height, const SceneView& view) const override;

  const std::vector<Star>& Stars() const { return stars_; }
  const StarFieldOptions& Options() const { return options_; }

 private:
  StarFieldOptions options_;
  std::vector<Star> stars_;
};

}  // namespace SimulatedCamera
