#include <simcam/StarField.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace SimulatedCamera {

namespace {

// Uniform in [0, 1) from the raw 64-bit generator output, so the field is the same with
// every standard library (the std distributions are not specified bit for bit).
double Uniform(std::mt19937_64& generator) {
  return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

// Fraction of a unit Gaussian (sigma 1) that falls between a and b.
double GaussianMass(double a, double b) {
  return 0.5 * (std::erf(b / std::sqrt(2.0)) - std::erf(a / std::sqrt(2.0)));
}

// Mosaic filter over active pixel (x, y): red on even column and even row, blue on odd
// column and odd row, green elsewhere.
enum class Filter { Red, Green, Blue };
Filter FilterAt(uint32_t x, uint32_t y) {
  const bool evenX = (x % 2) == 0;
  const bool evenY = (y % 2) == 0;
  if (evenX && evenY) {
    return Filter::Red;
  }
  if (!evenX && !evenY) {
    return Filter::Blue;
  }
  return Filter::Green;
}

double Response(const Star& s, Filter f) {
  switch (f) {
    case Filter::Red:
      return s.Red;
    case Filter::Blue:
      return s.Blue;
    case Filter::Green:
      break;
  }
  return s.Green;
}

}  // namespace

StarField::StarField(const StarFieldOptions& options) : options_(options) {
  std::mt19937_64 generator(options.Seed);
  // Star counts grow by about a factor 2 per magnitude: draw the magnitude from that
  // distribution by inverting its cumulative count, 10^(k m).
  constexpr double k = 0.3;
  const double span = std::pow(10.0, k * options.MagnitudeRange) - 1.0;
  stars_.reserve(options.StarCount);
  for (uint32_t i = 0; i < options.StarCount; ++i) {
    Star s;
    s.X = -options.Margin + Uniform(generator) * (options.FieldWidth + 2.0 * options.Margin);
    s.Y = -options.Margin + Uniform(generator) * (options.FieldHeight + 2.0 * options.Margin);
    const double magnitude = std::log10(1.0 + Uniform(generator) * span) / k;
    s.Rate = options.BrightestRate * std::pow(10.0, -0.4 * magnitude);
    // From blue-white to orange stars.
    const double colour = Uniform(generator);
    s.Red = 0.55 + 0.6 * colour;
    s.Green = 1.0;
    s.Blue = 1.15 - 0.6 * colour;
    stars_.push_back(s);
  }
}

void StarField::Render(float* rate, uint32_t width, uint32_t height, const SceneView& view) const {
  // Sky: warmer (redder) glow, brightening towards the right edge.
  const Star sky{0.0, 0.0, 0.0, 0.9, 1.0, 0.75};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      double value = options_.SkyRate * (1.0 + options_.SkyGradient * static_cast<double>(x) /
                                                   std::max(1.0, options_.FieldWidth));
      if (view.Color) {
        value *= Response(sky, FilterAt(x, y));
      }
      rate[static_cast<size_t>(y) * width + x] = static_cast<float>(value);
    }
  }

  const double sigma = options_.PsfSigma;
  const int reach = static_cast<int>(std::ceil(5.0 * sigma));
  std::vector<double> massX(2 * reach + 1), massY(2 * reach + 1);
  for (const Star& s : stars_) {
    const double cx = s.X + view.OffsetX;
    const double cy = s.Y + view.OffsetY;
    // Pixel (x, y) covers [x - 0.5, x + 0.5): integrate the PSF over each pixel so that
    // sub-pixel shifts move flux smoothly between neighbours.
    const int px = static_cast<int>(std::lround(cx));
    const int py = static_cast<int>(std::lround(cy));
    for (int d = -reach; d <= reach; ++d) {
      massX[d + reach] = GaussianMass((px + d - 0.5 - cx) / sigma, (px + d + 0.5 - cx) / sigma);
      massY[d + reach] = GaussianMass((py + d - 0.5 - cy) / sigma, (py + d + 0.5 - cy) / sigma);
    }
    for (int dy = -reach; dy <= reach; ++dy) {
      const int y = py + dy;
      if (y < 0 || y >= static_cast<int>(height)) {
        continue;
      }
      for (int dx = -reach; dx <= reach; ++dx) {
        const int x = px + dx;
        if (x < 0 || x >= static_cast<int>(width)) {
          continue;
        }
        double flux = s.Rate * massX[dx + reach] * massY[dy + reach];
        if (view.Color) {
          flux *= Response(s, FilterAt(static_cast<uint32_t>(x), static_cast<uint32_t>(y)));
        }
        rate[static_cast<size_t>(y) * width + static_cast<size_t>(x)] += static_cast<float>(flux);
      }
    }
  }
}

}  // namespace SimulatedCamera
