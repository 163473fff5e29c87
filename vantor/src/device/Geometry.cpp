// Readout geometry: turns the host's subframe, binning and readout options into the
// window and binning sent to the camera, the raw frame it delivers and the image the
// host receives. Nothing here talks to the camera; StartExposure sends the result.

#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "ReadoutState.h"

namespace TarvisUSBInterface {

namespace {

namespace P = Protocol;

// Binning values the camera can be told (the binning request carries one byte each).
constexpr int32_t MaxBinning = 255;

// Offsets of the active area in the readout area, unbinned: the window of every frame
// that is not the whole readout area is moved onto the active area by these.
constexpr uint32_t WindowOffsetX(uint32_t binX) {
  return binX == 1 ? P::LeftMarginColumns : 2 / binX;
}

}  // namespace

void USBDeviceInstance::SetROI(uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  SetROI(x, y, width, height, ReadoutState().UseVerticalOverscan.load(std::memory_order_relaxed),
         FastReadout != 0, BinningX, BinningY);
}

void USBDeviceInstance::SetROI(uint32_t x, uint32_t y, uint32_t width, uint32_t height, bool overscan,
                               bool fastReadout, int32_t binX, int32_t binY) {
  // The geometry divides by the binning; a binning of 0 (or one the camera cannot be
  // told) leaves everything as it was.
  if (binX < 1 || binY < 1 || binX > MaxBinning || binY > MaxBinning)
    return;
  const uint32_t bx = static_cast<uint32_t>(binX);
  const uint32_t by = static_cast<uint32_t>(binY);
  ReadoutStateRecord& state = ReadoutState();

  LineDoubling = 0;
  // Fast readout bins rows in the camera, which leaves no overscan rows to correct with.
  if (fastReadout)
    overscan = false;
  // Overscan correction needs the whole readout area, so only full frames get it.
  const bool fullFrame = width * bx == P::ActiveWidth && height * by == P::ActiveHeight;
  if (!fullFrame)
    overscan = false;
  state.OverscanActive.store(overscan, std::memory_order_relaxed);

  // Overscan display: deliver the whole readout area as the image.
  if (ShowOverscan && !overscan && !fastReadout && fullFrame) {
    width = P::ReadoutAreaWidth / bx;
    height = P::ReadoutAreaHeight / by;
  }

  ImageWidth = RawWidth = width;
  ImageHeight = RawHeight = height;
  SensorBinX = bx;
  SensorBinY = by;
  BinningX = static_cast<uint8_t>(bx);
  BinningY = static_cast<uint8_t>(by);

  // Fast readout at vertical binning 1: the camera bins row pairs and the readout
  // rebuilds the full height, so the window starts on an even row.
  if (fastReadout && by == 1) {
    SensorBinY = 2;
    LineDoubling = 1;
    RawHeight = (height + 1) / 2;
    if (y % 2 == 1)
      y -= 1;
  }
  state.RoiX.store(x, std::memory_order_relaxed);
  state.RoiY.store(y, std::memory_order_relaxed);
  state.RoiWidth.store(width, std::memory_order_relaxed);
  state.RoiHeight.store(height, std::memory_order_relaxed);

  // Overscan: add the top and bottom bands and the left margin and strip. At horizontal
  // binning 2 the camera's window grows by the strip once more.
  if (overscan) {
    RawHeight += P::TopBandRows / by + P::BottomBandRows / by;
    RawWidth += P::LeftMarginColumns / bx + P::OverscanStripColumns / bx;
    if (bx == 2)
      RawWidth += 2 / bx + P::OverscanStripColumns / bx;
  }

  SensorX = x;
  SensorY = y;
  if (fastReadout) {
    // The camera's rows are row pairs at vertical binning 1.
    SensorX += WindowOffsetX(bx);
    SensorY = by == 1 ? y / 2 + 6 : y + 6;
  } else if (RawWidth < P::ReadoutAreaWidth || RawHeight < P::ReadoutAreaHeight) {
    // Every window but the whole readout area is placed on the active area.
    SensorX += WindowOffsetX(bx);
    SensorY += P::TopBandRows / by;
  }
}

bool USBDeviceInstance::SetBinning(uint8_t x, uint8_t y) {
  BinningX = x;
  BinningY = y;
  return true;
}

uint8_t USBDeviceInstance::GetBinningX() {
  return BinningX;
}

uint8_t USBDeviceInstance::GetBinningY() {
  return BinningY;
}

void USBDeviceInstance::SetFastReadout(bool fast) {
  FastReadout = fast ? 1 : 0;
}

void USBDeviceInstance::SetOverscanProperties(bool useVertical, bool useHorizontal, bool spare) {
  ReadoutStateRecord& state = ReadoutState();
  state.UseVerticalOverscan.store(useVertical, std::memory_order_relaxed);
  state.UseHorizontalOverscan.store(useHorizontal, std::memory_order_relaxed);
  state.SpareOverscanSwitch.store(spare, std::memory_order_relaxed);
}

void USBDeviceInstance::CalculateImageSize(bool) {}

}  // namespace TarvisUSBInterface
