#include "FrameAssembly.h"

#include <algorithm>
#include <cstring>

#include "OverscanBias.h"

namespace TarvisUSBInterface {

uint32_t FirstFieldRows(const ReadoutGeometry& geometry) {
  const uint32_t h = geometry.RawHeight;
  if (!geometry.TwoFields())
    return h;
  // The first field lands on the raw rows of parity SensorY & 1.
  return (geometry.SensorY & 1u) ? h / 2 : (h + 1) / 2;
}

TransferSizes ComputeTransferSizes(const ReadoutGeometry& geometry) {
  const uint64_t rowBytes = 2ull * geometry.RawWidth;
  TransferSizes sizes;
  const uint32_t firstRows = FirstFieldRows(geometry);
  sizes.FirstFieldBytes = rowBytes * firstRows;
  if (geometry.TwoFields())
    sizes.SecondFieldBytes = rowBytes * (geometry.RawHeight - firstRows);
  return sizes;
}

const uint8_t* RawRowSource(const ReadoutGeometry& geometry, const uint8_t* firstField,
                            const uint8_t* secondField, uint32_t row) {
  const size_t rowBytes = 2 * size_t{geometry.RawWidth};
  if (!geometry.TwoFields())
    return firstField + rowBytes * row;
  const uint32_t w = geometry.SensorY & 1u;
  if ((row & 1u) == w)
    return firstField + rowBytes * (row / 2);
  return secondField + rowBytes * (row / 2);
}

void ConvertSamples(const uint8_t* source, float* destination, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, source + 2 * size_t{i}, 2);
    destination[i] = static_cast<float>(static_cast<uint16_t>(__builtin_bswap16(v)));
  }
}

void InterleaveFields(const ReadoutGeometry& geometry, const uint8_t* firstField, const uint8_t* secondField,
                      float* frame) {
  const size_t width = geometry.RawWidth;
  for (uint32_t r = 0; r < geometry.RawHeight; ++r) {
    ConvertSamples(RawRowSource(geometry, firstField, secondField, r), frame + width * r, geometry.RawWidth);
  }
}

void AssembleLineDoubled(const uint8_t* transfer, uint32_t cameraRows, uint32_t width, uint32_t height,
                         float* image) {
  const size_t w = width;
  const size_t rowBytes = 2 * w;
  // Even image rows are camera rows; each odd row is the mean of its neighbours, filled
  // as soon as the row below it exists. Reads each sample once, writes each pixel once.
  for (uint32_t r = 0; r < height; r += 2) {
    float* row = image + w * r;
    const uint32_t k = r / 2;
    if (k < cameraRows) {
      ConvertSamples(transfer + rowBytes * k, row, width);
    } else {
      std::fill(row, row + w, 0.0f);
    }
    if (r >= 2) {
      const float* above = row - 2 * w;
      float* between = row - w;
      for (size_t c = 0; c < w; ++c)
        between[c] = static_cast<float>((above[c] + row[c]) / 2.0);
    }
  }
  // An even height ends with an odd row that has no row below: it repeats the last one.
  if (height >= 2 && height % 2 == 0) {
    std::memcpy(image + w * (height - 1), image + w * (height - 2), w * sizeof(float));
  }
}

void AssembleImage(const ReadoutGeometry& geometry, const uint8_t* firstField, const uint8_t* secondField,
                   float* image, float* rowBias) {
  if (geometry.OverscanActive) {
    CorrectOverscanBias(geometry, firstField, secondField, image, rowBias);
    return;
  }
  if (geometry.RebuildsLines()) {
    const uint32_t width = std::min(geometry.RawWidth, geometry.ImageWidth);
    if (width == geometry.RawWidth && width == geometry.ImageWidth) {
      AssembleLineDoubled(firstField, geometry.RawHeight, width, geometry.ImageHeight, image);
      return;
    }
  }
  // Without overscan the image is the raw frame: ImageWidth equals RawWidth. Any
  // mismatch a direct caller of the geometry could produce is cropped or zero-filled.
  const size_t imageWidth = geometry.ImageWidth;
  const uint32_t width = std::min(geometry.RawWidth, geometry.ImageWidth);
  const uint32_t rows = std::min(geometry.RawHeight, geometry.ImageHeight);
  for (uint32_t r = 0; r < geometry.ImageHeight; ++r) {
    float* row = image + imageWidth * r;
    uint32_t filled = 0;
    if (r < rows) {
      ConvertSamples(RawRowSource(geometry, firstField, secondField, r), row, width);
      filled = width;
    }
    std::fill(row + filled, row + imageWidth, 0.0f);
  }
}

}  // namespace TarvisUSBInterface
