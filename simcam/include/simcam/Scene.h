#pragma once

// What the sky puts onto the sensor. The sensor model asks the scene for the mean
// photo-electron rate of every pixel of the active area and adds the noise, dark
// current, bias and converter response itself.

#include <cstdint>

namespace SimulatedCamera {

struct SceneView {
  // Field shift in active-area pixels, accumulated from guide pulses.
  double OffsetX = 0.0;
  double OffsetY = 0.0;
  // Colour models image the field through their Bayer mosaic: RGGB with red on
  // (active column even, active row even), that is camera column odd, camera row even.
  bool Color = false;
};

class Scene {
 public:
  virtual ~Scene() = default;
  // Fills `rate` (width x height, row-major, unbinned active-area pixels) with the mean
  // photo-electrons per second. Deterministic for a given scene and view.
  virtual void Render(float* rate, uint32_t width, uint32_t height, const SceneView& view) const = 0;
};

}  // namespace SimulatedCamera
