#pragma once

// Turning the camera's bulk transfers into the finished float image. Pure functions on
// caller-owned buffers, so the readout thread, the tests and the benchmarks share them.
//
// The camera streams unsigned 16-bit samples, most significant byte first, RawWidth
// samples a row. With vertical binning 1 it reads the sensor as two interlaced fields
// and sends them one after the other; with vertical binning 2 or more it sends the
// whole window as one transfer.

#include <cstdint>

namespace TarvisUSBInterface {

// The geometry one readout works on: a copy taken when the exposure starts, so a host
// that changes the geometry during the readout cannot make it read or write outside
// the buffers allocated for it.
struct ReadoutGeometry {
  uint32_t SensorY = 0;     // first camera row of the window (its parity places the fields)
  uint32_t SensorBinX = 1;  // binning the camera was told
  uint32_t SensorBinY = 1;
  uint32_t RawWidth = 0;  // frame the camera delivers
  uint32_t RawHeight = 0;
  uint32_t ImageWidth = 0;  // image the host receives
  uint32_t ImageHeight = 0;
  bool FastReadout = false;
  bool LineDoubling = false;         // camera rows hold two sensor rows; rebuild the full height
  bool OverscanActive = false;       // frame includes the overscan areas; crop it with the bias pass
  bool UseVerticalOverscan = false;  // subtract each row's deviation from its field's bias

  // Vertical binning 1: the camera sends two interlaced fields.
  bool TwoFields() const { return SensorBinY == 1; }
  // Rebuild the rows of a fast readout.
  bool RebuildsLines() const { return FastReadout && LineDoubling; }
};

// Sizes of the camera's transfers for `geometry`, in bytes. 64-bit, so a window too big
// to read is seen as such instead of wrapping.
struct TransferSizes {
  uint64_t FirstFieldBytes = 0;
  uint64_t SecondFieldBytes = 0;  // 0 for a single-transfer readout
};
TransferSizes ComputeTransferSizes(const ReadoutGeometry& geometry);

// Number of raw rows the first field carries (all rows for a single transfer). With an
// odd RawHeight the field landing on the even raw rows is the longer one.
uint32_t FirstFieldRows(const ReadoutGeometry& geometry);

// The received row holding raw row `row` (0 .. RawHeight - 1). In a two-field readout
// the first field fills the raw rows of parity (SensorY & 1), the second the others.
const uint8_t* RawRowSource(const ReadoutGeometry& geometry, const uint8_t* firstField,
                            const uint8_t* secondField, uint32_t row);

// Converts `count` big-endian 16-bit samples to floats.
void ConvertSamples(const uint8_t* source, float* destination, uint32_t count);

// Places every raw row of the received fields into `frame` (RawWidth floats a row,
// RawHeight rows), converting the samples.
void InterleaveFields(const ReadoutGeometry& geometry, const uint8_t* firstField, const uint8_t* secondField,
                      float* frame);

// Fast readout: `transfer` holds `cameraRows` rows of `width` samples, each the sum of
// two sensor rows. Fills `image` (width x height) with camera row k in row 2k, the mean
// of camera rows k and k + 1 in row 2k + 1 and, for an even height, a copy of the last
// camera row in the last row. Values stay the camera's sums. Rows the transfer does not
// reach are zero.
void AssembleLineDoubled(const uint8_t* transfer, uint32_t cameraRows, uint32_t width, uint32_t height,
                         float* image);

// The whole readout processing after the transfers have arrived: fields to ImageData,
// including the line rebuild and the bias pass. `image` holds ImageWidth x ImageHeight
// floats; `rowBias` holds RawHeight floats (used in overscan mode only). Reads only the
// transfer sizes of ComputeTransferSizes and never writes outside `image` and `rowBias`.
void AssembleImage(const ReadoutGeometry& geometry, const uint8_t* firstField, const uint8_t* secondField,
                   float* image, float* rowBias);

}  // namespace TarvisUSBInterface
