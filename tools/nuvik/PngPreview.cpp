#include "PngPreview.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "TempFile.h"

namespace NuvikCli {

namespace {

double Median(std::vector<double>& values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Midtone transfer: maps 0 to 0, 1 to 1 and m to 0.5.
double MidtoneTransfer(double m, double x) {
  if (x <= 0.0) {
    return 0.0;
  }
  if (x >= 1.0) {
    return 1.0;
  }
  return (m - 1.0) * x / ((2.0 * m - 1.0) * x - m);
}

}  // namespace

uint8_t Stretch::Apply(double value) const {
  const double x = (value - Black) / std::max(1e-9, White - Black);
  return static_cast<uint8_t>(std::lround(255.0 * MidtoneTransfer(Midtone, std::clamp(x, 0.0, 1.0))));
}

Stretch AutoStretch(const std::vector<int32_t>& samples, double target) {
  Stretch s;
  if (samples.empty()) {
    return s;
  }
  // Every few pixels are enough for the statistics of a whole frame.
  const size_t step = std::max<size_t>(1, samples.size() / 200000);
  std::vector<double> values;
  values.reserve(samples.size() / step + 1);
  for (size_t i = 0; i < samples.size(); i += step) {
    values.push_back(samples[i]);
  }
  const double median = Median(values);
  for (double& v : values) {
    v = std::abs(v - median);
  }
  const double sigma = 1.4826 * Median(values);
  const auto [low, high] = std::minmax_element(samples.begin(), samples.end());

  s.Black = std::max<double>(*low, median - 2.8 * sigma);
  s.White = std::max<double>(*high, s.Black + 1.0);
  const double sky = (median - s.Black) / (s.White - s.Black);
  // The midtone balance that takes the sky to `target`; a flat frame stays linear.
  s.Midtone = sky > 0.0 && sky < 1.0 ? MidtoneTransfer(target, sky) : 0.5;
  return s;
}

void WritePngPreview(const std::filesystem::path& path, const Frame& frame,
                     const std::optional<FitsHeader::Bayer>& mosaic) {
  if (frame.Width < 1 || frame.Height < 1 ||
      frame.Pixels.size() != static_cast<size_t>(frame.Width) * static_cast<size_t>(frame.Height)) {
    throw std::runtime_error("cannot write " + path.string() + ": the image is empty or incomplete");
  }
  const bool colour = mosaic.has_value() && frame.Width >= 2 && frame.Height >= 2;
  const size_t pixels = frame.Pixels.size();
  std::vector<uint8_t> out(pixels * (colour ? 3 : 1));

  if (!colour) {
    const Stretch s = AutoStretch(frame.Pixels);
    for (size_t i = 0; i < pixels; ++i) {
      out[i] = s.Apply(frame.Pixels[i]);
    }
  } else {
    // Each pixel takes R, G, B from the 2x2 mosaic cell it lies in (RGGB, starting at
    // the given offsets); cells cut by the right or bottom edge use the cell before.
    const int32_t ox = mosaic->OffsetX & 1, oy = mosaic->OffsetY & 1;
    auto cellStart = [](int32_t v, int32_t offset, int32_t size) {
      int32_t start = v - ((v + offset) & 1);
      if (start < 0) {
        start += 2;
      }
      if (start + 1 >= size) {
        start -= 2;
      }
      return std::max(start, 0);
    };
    std::vector<int32_t> planes[3];
    for (auto& p : planes) {
      p.resize(pixels);
    }
    for (int32_t y = 0; y < frame.Height; ++y) {
      const int32_t by = cellStart(y, oy, frame.Height);
      for (int32_t x = 0; x < frame.Width; ++x) {
        const int32_t bx = cellStart(x, ox, frame.Width);
        const size_t i = static_cast<size_t>(y) * frame.Width + x;
        planes[0][i] = frame.At(bx, by);
        planes[1][i] = (frame.At(bx + 1, by) + frame.At(bx, std::min(by + 1, frame.Height - 1))) / 2;
        planes[2][i] = frame.At(std::min(bx + 1, frame.Width - 1), std::min(by + 1, frame.Height - 1));
      }
    }
    for (int c = 0; c < 3; ++c) {
      const Stretch s = AutoStretch(planes[c]);
      for (size_t i = 0; i < pixels; ++i) {
        out[3 * i + c] = s.Apply(planes[c][i]);
      }
    }
  }

  TempFile temp(path);
  std::FILE* file = std::fopen(temp.Path().c_str(), "wb");
  if (file == nullptr) {
    throw std::runtime_error("cannot create " + path.string() + ": " + std::strerror(errno));
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(frame.Width);
  image.height = static_cast<png_uint_32>(frame.Height);
  image.format = colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const int written = png_image_write_to_stdio(&image, file, 0, out.data(), 0, nullptr);
  const std::string message = image.message;
  png_image_free(&image);
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    throw std::runtime_error("cannot write " + path.string() + ": " + (written ? "write error" : message));
  }
  temp.Commit();
}

}  // namespace NuvikCli
