// Handing the finished frame to the host, and the phase of the colour mosaic.

#include <atomic>
#include <memory>

#include <nuvik/LowLevelDriver.h>
#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "Messages.h"

namespace Nuvik {

// The frame is read only after the acquiring load of ImageReady has seen the readout
// thread's release, and only with the geometry it was downloaded with: a later
// binning, subframe or option change already resized ImageWidth and ImageHeight.
const float* LowLevelDriver::RequireImage(uint32_t& width, uint32_t& rows) {
  if (!ExposedGeometry || Device->ImageReady.load(std::memory_order_acquire) == 0 ||
      Device->ImageData == nullptr) {
    throw DriverException(Messages::NoImage);
  }
  if (!(CurrentGeometry() == *ExposedGeometry)) {
    throw DriverException(Messages::GeometryChanged);
  }
  width = ExposedGeometry->ImageWidth;
  rows = ExposedGeometry->ImageHeight;
  if (OddHeightRuleApplies() && rows > 0) {
    rows -= 1;  // the extra row asked for to make the height even
  }
  return Device->ImageData;
}

ImageArray LowLevelDriver::GetImage() {
  return GetImage(0);
}

ImageArray LowLevelDriver::GetImage(int32_t discardedcolumns) {
  uint32_t stride = 0;
  uint32_t rows = 0;
  const float* frame = RequireImage(stride, rows);
  if (discardedcolumns < 0 || static_cast<uint32_t>(discardedcolumns) > stride) {
    throw DriverException(Messages::InvalidDiscardedColumns);
  }
  const uint32_t width = stride - static_cast<uint32_t>(discardedcolumns);
  ImageArray image(static_cast<int32_t>(width), static_cast<int32_t>(rows));
  for (uint32_t r = 0; r < rows; ++r) {
    const float* row = frame + static_cast<size_t>(r) * stride;
    for (uint32_t c = 0; c < width; ++c) {
      // Truncate toward zero; the converter's noise floor can leave small negatives
      // after the bias pass, which the host sees as 0. No upper clamp.
      const auto value = static_cast<int32_t>(static_cast<double>(row[c]));
      image(static_cast<int32_t>(c), static_cast<int32_t>(r)) = value < 0 ? 0 : value;
    }
  }
  return image;
}

namespace {

// Copies the first `count` frame samples, storing negatives as 0.
void CopyClamped(const float* frame, float* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    out[i] = frame[i] < 0.0f ? 0.0f : frame[i];
  }
}

}  // namespace

std::vector<float> LowLevelDriver::GetImageFloats() {
  uint32_t width = 0;
  uint32_t rows = 0;
  const float* frame = RequireImage(width, rows);
  std::vector<float> image(static_cast<size_t>(width) * rows);
  CopyClamped(frame, image.data(), image.size());
  return image;
}

bool LowLevelDriver::GetImage(float** buffer) {
  if (buffer == nullptr) {
    return false;
  }
  uint32_t width = 0;
  uint32_t rows = 0;
  const float* frame = RequireImage(width, rows);
  const size_t count = static_cast<size_t>(width) * rows;
  // The exported form hands over a plain array that the host frees with delete[].
  std::unique_ptr<float[]> image(new float[count]);
  CopyClamped(frame, image.get(), count);
  *buffer = image.release();
  return true;
}

// Binned pixels mix the colours of the mosaic, so only a 1 x 1 image is colour.
bool LowLevelDriver::IsLastImageColor() {
  return RequireSpecs().IsColor && Device->GetBinningX() == 1 && Device->GetBinningY() == 1;
}

// The mosaic starts on a different colour when the first column read is odd.
int32_t LowLevelDriver::GetLastImageColorShiftX() {
  if (!IsLastImageColor()) {
    return 0;
  }
  // The phase follows the camera column of the image's first column. That is SensorX,
  // except in an overscan-corrected frame: the camera sends its window from the left
  // margin on and the bias pass crops the margin away, so the image starts that many
  // columns to the right (only such a frame is wider raw than delivered).
  uint32_t firstColumn = Device->SensorX;
  if (Device->RawWidth > Device->ImageWidth) {
    firstColumn += TarvisUSBInterface::Protocol::LeftMarginColumns;
  }
  return static_cast<int32_t>(~firstColumn & 1u);
}

int32_t LowLevelDriver::GetLastImageColorShiftY() {
  if (!IsLastImageColor()) {
    return 0;
  }
  // Y is not negative here in practice; the double modulo keeps the shift in 0..3
  // for a negative subframe start as well.
  return (4 - ((Y % 4) + 4) % 4) % 4;
}

}  // namespace Nuvik
