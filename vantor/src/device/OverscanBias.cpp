#include "OverscanBias.h"

#include <algorithm>
#include <cstring>

namespace TarvisUSBInterface {

namespace {

// Sensor layout in unbinned rows and columns: the active area starts after a top band of
// 12 rows and a left margin of 3 columns; 2 rows follow it below; the overscan strip is
// the last 40 columns of every row.
constexpr uint32_t TopBandRows = 12;
constexpr uint32_t BottomBandRows = 2;
constexpr uint32_t StripColumns = 40;
// Field rows from here on carry the active area and the bottom band; their strip
// medians make up each field's bias level.
constexpr uint32_t FirstBiasFieldRow = 6;
constexpr uint32_t MaxStripColumns = StripColumns;

// Subtracts `correction` from each converted sample, in double precision.
void ConvertCorrected(const uint8_t* source, float* destination, uint32_t count, double correction) {
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, source + 2 * size_t{i}, 2);
    const uint16_t sample = __builtin_bswap16(v);
    destination[i] = static_cast<float>(static_cast<double>(sample) - correction);
  }
}

}  // namespace

int32_t CompareFloats(float a, float b) {
  if (a > b)
    return 1;
  if (a < b)
    return -1;
  return 0;
}

void SortAscending(float* values, int32_t count) {
  if (count <= 1)
    return;
  // Insertion sort keeping the largest value of the sorted prefix at hand: an element
  // not smaller than it is already in place.
  float largest = values[0];
  for (int32_t i = 1; i < count; ++i) {
    const float value = values[i];
    if (CompareFloats(value, largest) >= 0) {
      largest = value;
      continue;
    }
    int32_t j = i;
    while (j > 0 && CompareFloats(values[j - 1], value) > 0) {
      values[j] = values[j - 1];
      --j;
    }
    values[j] = value;
  }
}

uint32_t BiasSampleIndex(uint32_t stripWidth) {
  if (stripWidth == 0)
    return 0;
  return std::min(stripWidth / 2 + 1, stripWidth - 1);
}

void CorrectOverscanBias(const ReadoutGeometry& geometry, const uint8_t* firstField,
                         const uint8_t* secondField, float* image, float* rowBias) {
  const uint32_t binX = std::max(geometry.SensorBinX, 1u);
  const uint32_t binY = std::max(geometry.SensorBinY, 1u);
  const uint32_t rawWidth = geometry.RawWidth;
  const uint32_t rawHeight = geometry.RawHeight;
  const uint32_t fields = geometry.TwoFields() ? 2 : 1;
  const uint32_t strip = std::min(StripColumns / binX, rawWidth);
  const uint32_t top = TopBandRows / binY;
  const uint32_t bottom = BottomBandRows / binY;
  const uint32_t left = binX == 2 ? 1 : 3;

  // Rows whose strip medians are measured: field rows 6 up to, not including,
  // D = binY (RawHeight - 2) / 2 + 1. Field row y of field f is raw row y * fields + f,
  // so in raw rows that is [6 fields, D fields). Each raw row gets the median of its own
  // strip and belongs to the field of its parity, whichever order the fields came in.
  const uint64_t d = rawHeight >= 2 ? (uint64_t{binY} * (rawHeight - 2)) / 2 + 1 : 0;
  const uint32_t biasBegin = std::min(FirstBiasFieldRow * fields, rawHeight);
  const uint32_t biasEnd = static_cast<uint32_t>(std::clamp<uint64_t>(d * fields, biasBegin, rawHeight));

  float mean[2] = {0.0f, 0.0f};
  if (strip > 0) {
    const uint32_t index = BiasSampleIndex(strip);
    float samples[MaxStripColumns];
    float sum[2] = {0.0f, 0.0f};
    uint32_t count[2] = {0, 0};
    for (uint32_t r = biasBegin; r < biasEnd; ++r) {
      const uint8_t* row = RawRowSource(geometry, firstField, secondField, r);
      ConvertSamples(row + 2 * size_t{rawWidth - strip}, samples, strip);
      // Only the element at `index` of the ascending order is needed.
      std::nth_element(samples, samples + index, samples + strip);
      rowBias[r] = samples[index];
      const uint32_t f = r % fields;
      sum[f] += rowBias[r];  // single precision, as the field mean is defined
      ++count[f];
    }
    for (uint32_t f = 0; f < fields; ++f) {
      if (count[f] > 0)
        mean[f] = sum[f] / static_cast<float>(count[f]);
    }
  }
  // Rows without a measurement are left as they are.
  for (uint32_t r = 0; r < rawHeight; ++r) {
    if (strip == 0 || r < biasBegin || r >= biasEnd)
      rowBias[r] = mean[r % fields];
  }

  // Crop the active area: raw rows top .. RawHeight - bottom - 1, columns from `left`.
  const size_t imageWidth = geometry.ImageWidth;
  const uint32_t cropEnd = rawHeight > bottom ? rawHeight - bottom : 0;
  const uint32_t columns = left < rawWidth ? std::min(rawWidth - left, geometry.ImageWidth) : 0;
  for (uint32_t i = 0; i < geometry.ImageHeight; ++i) {
    float* out = image + imageWidth * i;
    const uint64_t r = uint64_t{top} + i;
    uint32_t filled = 0;
    if (r < cropEnd) {
      const uint32_t raw = static_cast<uint32_t>(r);
      const uint8_t* source = RawRowSource(geometry, firstField, secondField, raw) + 2 * size_t{left};
      const double correction = geometry.UseVerticalOverscan ? static_cast<double>(rowBias[raw]) -
                                                                   static_cast<double>(mean[raw % fields])
                                                             : 0.0;
      ConvertCorrected(source, out, columns, correction);
      filled = columns;
    }
    std::fill(out + filled, out + imageWidth, 0.0f);
  }
}

}  // namespace TarvisUSBInterface
