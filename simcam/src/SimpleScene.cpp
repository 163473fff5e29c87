#include "SimpleScene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace SimulatedCamera {

namespace {

struct Star {
  double X, Y;                   // active-area pixels
  double Peak;                   // photo-electrons per second at the centre
  double Sigma;                  // Gaussian profile, pixels
  std::array<double, 3> Colour;  // red, green, blue response
};

class SimpleScene final : public Scene {
 public:
  explicit SimpleScene(uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 12; ++i) {
      Star star;
      star.X = 20.0 + unit(random) * 712.0;
      star.Y = 20.0 + unit(random) * 542.0;
      star.Peak = 500.0 * std::pow(40.0, unit(random));  // 500 .. 20000 e-/s
      star.Sigma = 1.2 + unit(random) * 0.8;
      const double warmth = unit(random);  // cool blue .. warm red stars
      star.Colour = {0.6 + 0.6 * warmth, 1.0, 1.2 - 0.6 * warmth};
      stars_.push_back(star);
    }
  }

  void Render(float* rate, uint32_t width, uint32_t height, const SceneView& view) const override {
    // Sky background, slightly brighter towards the upper right.
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        rate[size_t{y} * width + x] = static_cast<float>(
            (20.0 + 10.0 * x / std::max(width, 1u) + 5.0 * (height - y) / std::max(height, 1u)) *
            Response(view, x, y, SkyColour));
      }
    }
    for (const Star& star : stars_) {
      const double cx = star.X + view.OffsetX, cy = star.Y + view.OffsetY;
      const double reach = 5.0 * star.Sigma;
      const int64_t x0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(cx - reach)));
      const int64_t x1 = std::min<int64_t>(width, static_cast<int64_t>(std::ceil(cx + reach)) + 1);
      const int64_t y0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(cy - reach)));
      const int64_t y1 = std::min<int64_t>(height, static_cast<int64_t>(std::ceil(cy + reach)) + 1);
      for (int64_t y = y0; y < y1; ++y) {
        for (int64_t x = x0; x < x1; ++x) {
          const double dx = x - cx, dy = y - cy;
          const double value = star.Peak * std::exp(-(dx * dx + dy * dy) / (2.0 * star.Sigma * star.Sigma));
          rate[size_t(y) * width + size_t(x)] +=
              static_cast<float>(value * Response(view, uint32_t(x), uint32_t(y), star.Colour));
        }
      }
    }
  }

 private:
  static constexpr std::array<double, 3> SkyColour{0.8, 1.0, 1.1};

  // Colour models see the field through an RGGB mosaic: red on (even column, even row)
  // of the active area, blue on (odd, odd), green elsewhere.
  static double Response(const SceneView& view, uint32_t x, uint32_t y, const std::array<double, 3>& colour) {
    if (!view.Color)
      return 1.0;
    const bool oddX = x & 1u, oddY = y & 1u;
    if (!oddX && !oddY)
      return colour[0];
    if (oddX && oddY)
      return colour[2];
    return colour[1];
  }

  std::vector<Star> stars_;
};

}  // namespace

std::shared_ptr<Scene> MakeSimpleScene(uint64_t seed) {
  return std::make_shared<SimpleScene>(seed);
}

}  // namespace SimulatedCamera
