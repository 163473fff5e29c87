// Readout processing per full frame, from the fields as they lie in the transfer
// buffers to ImageData complete, next to the memory-traffic floor of the overscan
// frame: one pass reading its input bytes and writing its output floats.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "FrameAssembly.h"

namespace {

using TarvisUSBInterface::AssembleImage;
using TarvisUSBInterface::ComputeTransferSizes;
using TarvisUSBInterface::ReadoutGeometry;

// Buffers of one readout, filled with bias-like big-endian samples.
struct Frame {
  explicit Frame(const ReadoutGeometry& g) : Geometry(g) {
    const auto sizes = ComputeTransferSizes(g);
    First.resize(sizes.FirstFieldBytes);
    Second.resize(sizes.SecondFieldBytes);
    Image.resize(size_t{g.ImageWidth} * g.ImageHeight);
    RowBias.resize(g.RawHeight);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(1000.0, 5.0);
    for (auto* field : {&First, &Second}) {
      for (size_t i = 0; i + 1 < field->size(); i += 2) {
        const auto v = static_cast<uint16_t>(noise(random));
        (*field)[i] = static_cast<uint8_t>(v >> 8);
        (*field)[i + 1] = static_cast<uint8_t>(v & 0xFF);
      }
    }
  }
  uint64_t InputBytes() const { return First.size() + Second.size(); }
  uint64_t OutputBytes() const { return Image.size() * sizeof(float); }

  ReadoutGeometry Geometry;
  std::vector<uint8_t> First, Second;
  std::vector<float> Image, RowBias;
};

ReadoutGeometry Normal() {
  ReadoutGeometry g;
  g.SensorY = 12;
  g.RawWidth = g.ImageWidth = 752;
  g.RawHeight = g.ImageHeight = 582;
  return g;
}

ReadoutGeometry Overscan() {
  ReadoutGeometry g;
  g.SensorY = 0;
  g.RawWidth = 795;
  g.RawHeight = 596;
  g.ImageWidth = 752;
  g.ImageHeight = 582;
  g.OverscanActive = g.UseVerticalOverscan = true;
  return g;
}

ReadoutGeometry Fast() {
  ReadoutGeometry g;
  g.SensorY = 6;
  g.SensorBinY = 2;
  g.RawWidth = g.ImageWidth = 752;
  g.RawHeight = 291;
  g.ImageHeight = 582;
  g.FastReadout = g.LineDoubling = true;
  return g;
}

ReadoutGeometry Bin2() {
  ReadoutGeometry g;
  g.SensorY = 6;
  g.SensorBinX = g.SensorBinY = 2;
  g.RawWidth = g.ImageWidth = 376;
  g.RawHeight = g.ImageHeight = 291;
  return g;
}

void Readout(benchmark::State& state, ReadoutGeometry geometry) {
  Frame f(geometry);
  for (auto _ : state) {
    AssembleImage(f.Geometry, f.First.data(), f.Second.data(), f.Image.data(), f.RowBias.data());
    benchmark::DoNotOptimize(f.Image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (f.InputBytes() + f.OutputBytes())));
}

// The floor: read every input byte of the overscan frame once and write every output
// float once, with no other work.
void MemoryFloor(benchmark::State& state) {
  Frame f(Overscan());
  const size_t outputs = f.Image.size();
  std::vector<uint8_t> input(f.InputBytes());
  std::memcpy(input.data(), f.First.data(), f.First.size());
  std::memcpy(input.data() + f.First.size(), f.Second.data(), f.Second.size());
  const size_t samples = input.size() / 2;
  for (auto _ : state) {
    const uint8_t* in = input.data();
    float* out = f.Image.data();
    for (size_t i = 0; i < outputs; ++i) {
      uint16_t v;
      std::memcpy(&v, in + 2 * i, 2);
      out[i] = static_cast<float>(v);
    }
    uint32_t rest = 0;
    for (size_t i = outputs; i < samples; ++i) {
      uint16_t v;
      std::memcpy(&v, in + 2 * i, 2);
      rest += v;
    }
    benchmark::DoNotOptimize(rest);
    benchmark::DoNotOptimize(f.Image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (f.InputBytes() + f.OutputBytes())));
}

BENCHMARK_CAPTURE(Readout, normal, Normal())->Name("Readout/normal")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Readout, overscan, Overscan())->Name("Readout/overscan")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Readout, fast, Fast())->Name("Readout/fast")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Readout, bin2, Bin2())->Name("Readout/bin2")->Unit(benchmark::kMicrosecond);
BENCHMARK(MemoryFloor)->Name("Floor/memory")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
