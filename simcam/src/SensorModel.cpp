#include "SensorModel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace SimulatedCamera {

namespace {

constexpr uint32_t ActiveX = 3;
constexpr uint32_t ActiveY = 12;
constexpr uint32_t ActiveWidth = 752;
constexpr uint32_t ActiveHeight = 582;

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Small fast generator; one stream per row keeps rows independent of the read order.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(SplitMix(seed)) {}
  uint64_t Next() {
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double Gaussian() {
    if (hasSpare_) {
      hasSpare_ = false;
      return spare_;
    }
    const double u = 1.0 - Uniform();  // (0, 1]
    const double v = Uniform();
    const double r = std::sqrt(-2.0 * std::log(u));
    spare_ = r * std::sin(2.0 * std::numbers::pi * v);
    hasSpare_ = true;
    return r * std::cos(2.0 * std::numbers::pi * v);
  }
  double Poisson(double mean) {
    if (mean <= 0.0)
      return 0.0;
    if (mean > 30.0)
      return std::max(0.0, std::round(mean + std::sqrt(mean) * Gaussian()));
    const double limit = std::exp(-mean);
    double product = Uniform();
    double count = 0.0;
    while (product > limit) {
      product *= Uniform();
      count += 1.0;
    }
    return count;
  }

 private:
  uint64_t state_;
  bool hasSpare_ = false;
  double spare_ = 0.0;
};

uint64_t Mix(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
  return SplitMix(SplitMix(SplitMix(a ^ 0x5EEDull) ^ b) ^ c) ^ d;
}

constexpr uint64_t RowOffsetSalt = 0x0FF5E7ull;
constexpr uint64_t PixelSalt = 0x91C5E1ull;
constexpr uint64_t HotPixelSalt = 0x407B1Eull;

}  // namespace

double ElectronsPerAdu(uint8_t gainCode) {
  return 0.789 * std::exp2((185.0 - gainCode) / 64.0);
}

double BiasLevel(uint8_t offsetCode) {
  return 1000.0 + 8.0 * (static_cast<double>(offsetCode) - 127.0);
}

double DarkCurrent(double celsius) {
  return DarkCurrentAt20C * std::exp2((celsius - 20.0) / DarkDoublingCelsius);
}

SensorModel::SensorModel(const ExposureSettings& settings, uint64_t seed, uint64_t exposureNumber,
                         std::vector<float> activeRate)
    : settings_(settings), seed_(Mix(seed, exposureNumber, 0, 0)), rate_(std::move(activeRate)) {
  if (settings.EndX >= settings.StartX)
    width_ = settings.EndX - settings.StartX + 1u;
  if (settings.EndY >= settings.StartY)
    height_ = settings.EndY - settings.StartY + 1u;
  if (settings_.BinX == 0)
    settings_.BinX = 1;
  if (settings_.BinY == 0)
    settings_.BinY = 1;
  electronsPerAdu_ = ElectronsPerAdu(settings.AdcGain);
  bias_ = BiasLevel(settings.AdcOffset);
  seconds_ = settings.ExposureMs / 1000.0;
  darkElectrons_ = DarkCurrent(settings.SensorCelsius) * seconds_;
  if (rate_.size() != size_t{ActiveWidth} * ActiveHeight)
    rate_.assign(size_t{ActiveWidth} * ActiveHeight, 0.0f);
  // Hot pixels belong to the sensor: seeded by the camera, the same in every exposure.
  Random hot(Mix(seed, HotPixelSalt, 0, 0));
  const double hotScale = DarkCurrent(settings.SensorCelsius) / DarkCurrentAt20C;
  for (int i = 0; i < HotPixelCount; ++i) {
    const size_t index = hot.Next() % rate_.size();
    rate_[index] += static_cast<float>(hotScale * HotPixelRateAt20C * (0.5 + hot.Uniform()));
  }
  rowSum_.resize(width_);
}

double SensorModel::RowOffset(uint64_t sensorRow) const {
  Random random(Mix(seed_, RowOffsetSalt, sensorRow, 0));
  return RowBiasSigmaAdu * random.Gaussian();
}

void SensorModel::RenderRow(uint32_t row, uint8_t* out) const {
  const uint32_t binX = settings_.BinX, binY = settings_.BinY;
  const uint64_t firstColumn = uint64_t{settings_.StartX} * binX;
  const uint64_t binnedRow = uint64_t{settings_.StartY} + row;
  Random random(Mix(seed_, PixelSalt, binnedRow, 0));
  std::fill(rowSum_.begin(), rowSum_.end(), 0.0);
  const double readNoiseAdu = ReadNoiseElectrons / electronsPerAdu_;

  for (uint32_t by = 0; by < binY; ++by) {
    const uint64_t sensorRow = binnedRow * binY + by;
    const double level = bias_ + RowOffset(sensorRow);
    const bool activeRow = sensorRow >= ActiveY && sensorRow < ActiveY + ActiveHeight;
    for (uint32_t x = 0; x < width_; ++x) {
      double sum = 0.0;
      for (uint32_t bx = 0; bx < binX; ++bx) {
        const uint64_t sensorColumn = firstColumn + uint64_t{x} * binX + bx;
        double electrons = 0.0;
        if (activeRow && sensorColumn >= ActiveX && sensorColumn < ActiveX + ActiveWidth) {
          double mean = darkElectrons_;
          if (!rate_.empty()) {
            mean += rate_[(sensorRow - ActiveY) * ActiveWidth + (sensorColumn - ActiveX)] * seconds_;
          }
          electrons = std::min(random.Poisson(mean), FullWellElectrons);
        }
        const double adu =
            std::round(level + electrons / electronsPerAdu_ + readNoiseAdu * random.Gaussian());
        sum += std::clamp(adu, 0.0, 65535.0);
      }
      rowSum_[x] += sum;
    }
  }
  for (uint32_t x = 0; x < width_; ++x) {
    const auto sample = static_cast<uint16_t>(std::min(rowSum_[x], 65535.0));
    out[2 * size_t{x}] = static_cast<uint8_t>(sample >> 8);
    out[2 * size_t{x} + 1] = static_cast<uint8_t>(sample & 0xFF);
  }
}

}  // namespace SimulatedCamera
