#include "OverscanBias.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

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

// Where the processor has AVX2, the corrections run twice as wide; the loader picks the
// variant once. The thread sanitizer's runtime is not ready when the loader runs the
// chooser, so its builds keep the baseline variant.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define VANTOR_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define VANTOR_WIDE_VECTORS
#endif

// Subtracts `integerPart` + `fraction` from each converted sample, rounding once to
// float. Callers make sure this equals the double-precision result (see Correct).
VANTOR_WIDE_VECTORS void ConvertCorrectedSplit(const uint8_t* source, float* destination, uint32_t count,
                                               int32_t integerPart, float fraction) {
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, source + 2 * size_t{i}, 2);
    const int32_t sample = __builtin_bswap16(v);
    destination[i] = static_cast<float>(sample - integerPart) - fraction;
  }
}

// Subtracts `correction` from each converted sample, in double precision.
VANTOR_WIDE_VECTORS void ConvertCorrected(const uint8_t* source, float* destination, uint32_t count,
                                          double correction) {
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t v;
    std::memcpy(&v, source + 2 * size_t{i}, 2);
    const uint16_t sample = __builtin_bswap16(v);
    destination[i] = static_cast<float>(static_cast<double>(sample) - correction);
  }
}

// sample - correction in double precision, stored as float. The correction is a
// difference of two floats, so it usually splits exactly into an integer and a float
// fraction whose lowest bit is no finer than 2^-28. Then (sample - integer) is an exact
// float, sample - correction is exact in double (at most 24 + 28 bits), and subtracting
// the fraction in float rounds that exact value once, as the double path does; so the
// float path gives identical results at twice the vector width.
void Correct(const uint8_t* source, float* destination, uint32_t count, double correction) {
  constexpr double MaxSplit = 0x1.0p23;
  if (std::abs(correction) < MaxSplit) {
    const double integer = std::nearbyint(correction);
    const double fraction = correction - integer;
    const auto fractionFloat = static_cast<float>(fraction);
    const double scaled = fraction * 0x1.0p28;  // exact: a power of two
    if (static_cast<double>(fractionFloat) == fraction && scaled == std::trunc(scaled)) {
      ConvertCorrectedSplit(source, destination, count, static_cast<int32_t>(integer), fractionFloat);
      return;
    }
  }
  ConvertCorrected(source, destination, count, correction);
}

// Eight rows at a time: lane l holds a sample of row r0 + l. Samples are stored with the
// sign bit flipped so that signed 16-bit min and max order them as unsigned values.
using Lanes16 = int16_t __attribute__((vector_size(16)));
using LanesU16 = uint16_t __attribute__((vector_size(16)));
using Lanes32 = int32_t __attribute__((vector_size(16)));
using Lanes64 = int64_t __attribute__((vector_size(16)));
constexpr uint32_t LaneCount = 8;

// In place: afterwards m[k] lane l is what m[l] lane k was. Interleaves 16-, 32- and
// 64-bit pieces in three rounds, as the vector unpack instructions do.
void Transpose8x8(Lanes16 m[LaneCount]) {
  Lanes16 t[LaneCount];
  for (uint32_t i = 0; i < LaneCount; i += 2) {
    t[i] = __builtin_shufflevector(m[i], m[i + 1], 0, 8, 1, 9, 2, 10, 3, 11);
    t[i + 1] = __builtin_shufflevector(m[i], m[i + 1], 4, 12, 5, 13, 6, 14, 7, 15);
  }
  Lanes32 u[LaneCount];
  for (uint32_t i = 0; i < LaneCount; i += 4) {
    for (uint32_t h = 0; h < 2; ++h) {
      const auto a = reinterpret_cast<Lanes32>(t[i + h]), b = reinterpret_cast<Lanes32>(t[i + 2 + h]);
      u[i + 2 * h] = __builtin_shufflevector(a, b, 0, 4, 1, 5);
      u[i + 2 * h + 1] = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    }
  }
  for (uint32_t i = 0; i < 4; ++i) {
    const auto a = reinterpret_cast<Lanes64>(u[i]), b = reinterpret_cast<Lanes64>(u[i + 4]);
    m[2 * i] = reinterpret_cast<Lanes16>(__builtin_shufflevector(a, b, 0, 2));
    m[2 * i + 1] = reinterpret_cast<Lanes16>(__builtin_shufflevector(a, b, 1, 3));
  }
}

// Compare-exchange steps of Batcher's odd-even merge sort for `n` values. The network is
// built for the next power of two with the extra slots holding the largest value; a step
// whose upper slot is one of those never moves anything and is dropped.
std::vector<std::pair<uint8_t, uint8_t>> SortingNetwork(uint32_t n) {
  uint32_t size = 1;
  while (size < n)
    size <<= 1;
  std::vector<std::pair<uint8_t, uint8_t>> steps;
  for (uint32_t p = 1; p < size; p <<= 1) {
    for (uint32_t k = p; k >= 1; k >>= 1) {
      for (uint32_t j = k % p; j + k < size; j += 2 * k) {
        for (uint32_t i = 0; i < std::min(k, size - j - k); ++i) {
          const uint32_t a = i + j, b = i + j + k;
          if (a / (2 * p) == b / (2 * p) && b < n)
            steps.emplace_back(a, b);
        }
      }
    }
  }
  return steps;
}

const std::vector<std::pair<uint8_t, uint8_t>>& NetworkFor(uint32_t n) {
  // Strip widths are 40 / binning: at most 40 values.
  static const auto networks = [] {
    std::array<std::vector<std::pair<uint8_t, uint8_t>>, MaxStripColumns + 1> all;
    for (uint32_t i = 1; i <= MaxStripColumns; ++i)
      all[i] = SortingNetwork(i);
    return all;
  }();
  return networks[n];
}

// Row bias of raw rows [begin, end): element BiasSampleIndex of each row's sorted strip,
// the same element a full ascending sort gives. Eight rows share one pass of a sorting
// network, so the selection has no data-dependent branches.
void MeasureRowBias(const ReadoutGeometry& geometry, const uint8_t* firstField, const uint8_t* secondField,
                    uint32_t strip, uint32_t begin, uint32_t end, float* rowBias) {
  const auto& network = NetworkFor(strip);
  const uint32_t index = BiasSampleIndex(strip);
  const size_t stripOffset = 2 * size_t{geometry.RawWidth - strip};
  for (uint32_t r0 = begin; r0 < end; r0 += LaneCount) {
    // The strips of the eight rows, as they arrive (big-endian), then turned so that
    // vector k holds sample k of every row.
    alignas(16) uint16_t rows[LaneCount][MaxStripColumns] = {};
    for (uint32_t l = 0; l < LaneCount; ++l) {
      const uint32_t r = std::min(r0 + l, end - 1);  // the last group repeats its last row
      std::memcpy(rows[l], RawRowSource(geometry, firstField, secondField, r) + stripOffset,
                  2 * size_t{strip});
    }
    Lanes16 v[MaxStripColumns];
    for (uint32_t block = 0; block * LaneCount < strip; ++block) {
      Lanes16 in[LaneCount];
      for (uint32_t l = 0; l < LaneCount; ++l) {
        LanesU16 raw;
        std::memcpy(&raw, rows[l] + block * LaneCount, sizeof(raw));
        // Byte order to the host's, then the sign bit flipped for signed comparisons.
        in[l] = reinterpret_cast<Lanes16>(((raw << 8) | (raw >> 8)) ^ 0x8000u);
      }
      Transpose8x8(in);
      const uint32_t count = std::min(LaneCount, strip - block * LaneCount);
      for (uint32_t k = 0; k < count; ++k)
        v[block * LaneCount + k] = in[k];
    }
    for (const auto& [a, b] : network) {
      const Lanes16 lo = v[a] < v[b] ? v[a] : v[b];
      const Lanes16 hi = v[a] < v[b] ? v[b] : v[a];
      v[a] = lo;
      v[b] = hi;
    }
    for (uint32_t l = 0; l < LaneCount && r0 + l < end; ++l) {
      rowBias[r0 + l] = static_cast<float>(static_cast<uint16_t>(v[index][l]) ^ 0x8000u);
    }
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
    MeasureRowBias(geometry, firstField, secondField, strip, biasBegin, biasEnd, rowBias);
    float sum[2] = {0.0f, 0.0f};
    uint32_t count[2] = {0, 0};
    for (uint32_t r = biasBegin; r < biasEnd; ++r) {
      const uint32_t f = r % fields;
      sum[f] += rowBias[r];  // single precision, as the field mean is defined
      ++count[f];
    }
    for (uint32_t f = 0; f < fields; ++f) {
      if (count[f] > 0) {
        mean[f] = sum[f] / static_cast<float>(count[f]);
      }
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
      Correct(source, out, columns, correction);
      filled = columns;
    }
    std::fill(out + filled, out + imageWidth, 0.0f);
  }
}

}  // namespace TarvisUSBInterface
