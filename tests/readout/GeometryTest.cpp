// Readout geometry: what SetROI computes for the camera and the readout.

#include <string>

#include <gtest/gtest.h>

#include "FrameAssembly.h"
#include "ReadoutState.h"
#include "SimCamera.h"

namespace ReadoutTests {
namespace {

using TarvisUSBInterface::ComputeTransferSizes;
using TarvisUSBInterface::ReadoutGeometry;
using TarvisUSBInterface::ReadoutState;

enum class Mode { Normal, Overscan, Display, Fast };

struct FullFrameRow {
  uint8_t BinX, BinY;
  Mode Option;
  uint32_t ImageW, ImageH, RawW, RawH;
  uint32_t CamBinX, CamBinY;
  uint32_t FirstCol, LastCol, FirstRow, LastRow;
  bool Overscan, Doubling;
  uint64_t FirstBytes, SecondBytes;
};

// The readout's view of the device's geometry, as StartExposure copies it.
ReadoutGeometry GeometryOf(const USBDeviceInstance& d) {
  ReadoutGeometry g;
  g.SensorY = d.SensorY;
  g.SensorBinX = d.SensorBinX;
  g.SensorBinY = d.SensorBinY;
  g.RawWidth = d.RawWidth;
  g.RawHeight = d.RawHeight;
  g.ImageWidth = d.ImageWidth;
  g.ImageHeight = d.ImageHeight;
  return g;
}

// Sets the options as the facade does and asks for the full frame at this binning.
void RequestFullFrame(USBDeviceInstance& d, uint8_t binX, uint8_t binY, Mode mode) {
  // Fast and overscan display are tried together with the overscan switch, which they
  // must override (fast) or lose to (display).
  d.SetOverscanProperties(mode == Mode::Overscan || mode == Mode::Fast, false, false);
  d.SetFastReadout(mode == Mode::Fast);
  d.ShowOverscan = (mode == Mode::Display || mode == Mode::Overscan) ? 1 : 0;
  d.SetBinning(binX, binY);
  d.SetROI(0, 0, 752 / binX, 582 / binY);
}

// Catches any wrong image size, raw frame, camera binning, window, mode flag or transfer
// size of the full-frame geometry, and a camera that is told a different window.
TEST(Geometry, FullFrameTable) {
  const FullFrameRow table[] = {
      {1, 1, Mode::Normal, 752, 582, 752, 582, 1, 1, 3, 754, 12, 593, false, false, 437664, 437664},
      {1, 1, Mode::Overscan, 752, 582, 795, 596, 1, 1, 0, 794, 0, 595, true, false, 473820, 473820},
      {1, 1, Mode::Display, 795, 596, 795, 596, 1, 1, 0, 794, 0, 595, false, false, 473820, 473820},
      {1, 1, Mode::Fast, 752, 582, 752, 291, 1, 2, 3, 754, 6, 296, false, true, 437664, 0},
      {2, 2, Mode::Normal, 376, 291, 376, 291, 2, 2, 1, 376, 6, 296, false, false, 218832, 0},
      {2, 2, Mode::Fast, 376, 291, 376, 291, 2, 2, 1, 376, 6, 296, false, false, 218832, 0},
      {2, 2, Mode::Overscan, 376, 291, 418, 298, 2, 2, 1, 418, 6, 303, true, false, 249128, 0},
      {2, 2, Mode::Display, 397, 298, 397, 298, 2, 2, 1, 397, 6, 303, false, false, 236612, 0},
      {1, 2, Mode::Normal, 752, 291, 752, 291, 1, 2, 3, 754, 6, 296, false, false, 437664, 0},
      {1, 2, Mode::Fast, 752, 291, 752, 291, 1, 2, 3, 754, 6, 296, false, false, 437664, 0},
      {1, 2, Mode::Overscan, 752, 291, 795, 298, 1, 2, 3, 797, 6, 303, true, false, 473820, 0},
      {1, 2, Mode::Display, 795, 298, 795, 298, 1, 2, 3, 797, 6, 303, false, false, 473820, 0},
      {2, 1, Mode::Normal, 376, 582, 376, 582, 2, 1, 1, 376, 12, 593, false, false, 218832, 218832},
      {2, 1, Mode::Overscan, 376, 582, 418, 596, 2, 1, 1, 418, 12, 607, true, false, 249128, 249128},
      {2, 1, Mode::Display, 397, 596, 397, 596, 2, 1, 1, 397, 12, 607, false, false, 236612, 236612},
      {2, 1, Mode::Fast, 376, 582, 376, 291, 2, 2, 1, 376, 6, 296, false, true, 218832, 0},
  };
  SimDevice sim;
  ASSERT_TRUE(sim.Connect());
  USBDeviceInstance& d = *sim.Device;
  for (const FullFrameRow& row : table) {
    SCOPED_TRACE("binning " + std::to_string(row.BinX) + "x" + std::to_string(row.BinY) + " mode " +
                 std::to_string(static_cast<int>(row.Option)));
    RequestFullFrame(d, row.BinX, row.BinY, row.Option);
    EXPECT_EQ(d.ImageWidth, row.ImageW);
    EXPECT_EQ(d.ImageHeight, row.ImageH);
    EXPECT_EQ(d.RawWidth, row.RawW);
    EXPECT_EQ(d.RawHeight, row.RawH);
    EXPECT_EQ(d.SensorBinX, row.CamBinX);
    EXPECT_EQ(d.SensorBinY, row.CamBinY);
    EXPECT_EQ(d.SensorX, row.FirstCol);
    EXPECT_EQ(d.SensorX + d.RawWidth - 1, row.LastCol);
    EXPECT_EQ(d.SensorY, row.FirstRow);
    EXPECT_EQ(d.SensorY + d.RawHeight - 1, row.LastRow);
    EXPECT_EQ(ReadoutState().OverscanActive.load(), row.Overscan);
    EXPECT_EQ(d.LineDoubling != 0, row.Doubling);
    const auto sizes = ComputeTransferSizes(GeometryOf(d));
    EXPECT_EQ(sizes.FirstFieldBytes, row.FirstBytes);
    EXPECT_EQ(sizes.SecondFieldBytes, row.SecondBytes);
    EXPECT_EQ(d.GetBinningX(), row.BinX);
    EXPECT_EQ(d.GetBinningY(), row.BinY);

    // The camera is told this window and binning, and the frame arrives in full.
    ASSERT_EQ(Expose(sim), CameraStates::Idle);
    const auto fw = sim.Firmware->State();
    EXPECT_EQ(fw.BinX, row.CamBinX);
    EXPECT_EQ(fw.BinY, row.CamBinY);
    EXPECT_EQ(fw.WindowStartX, row.FirstCol);
    EXPECT_EQ(fw.WindowEndX, row.LastCol);
    EXPECT_EQ(fw.WindowStartY, row.FirstRow);
    EXPECT_EQ(fw.WindowEndY, row.LastRow);
    EXPECT_NE(d.ImageData, nullptr);
  }
}

struct SubframeRow {
  const char* Name;
  uint32_t X, Y, W, H;
  bool OverscanSwitch, Fast;
  uint32_t SensorX, SensorY, RawW, RawH, CamBinY, RoiY;
  bool Doubling;
  uint64_t FirstBytes, SecondBytes;
};

// Catches wrong window placement, field sizes and row rounding of subframes, including
// odd heights and odd start rows, and overscan leaking into a subframe.
TEST(Geometry, Subframes) {
  const SubframeRow table[] = {
      {"plain", 100, 50, 200, 100, false, false, 103, 62, 200, 100, 1, 50, false, 20000, 20000},
      {"overscan switch ignored", 100, 50, 200, 100, true, false, 103, 62, 200, 100, 1, 50, false, 20000,
       20000},
      {"fast", 100, 50, 200, 100, false, true, 103, 31, 200, 50, 2, 50, true, 20000, 0},
      {"fast odd y", 100, 51, 200, 100, false, true, 103, 31, 200, 50, 2, 50, true, 20000, 0},
      {"fast odd height", 100, 50, 200, 101, false, true, 103, 31, 200, 51, 2, 50, true, 20400, 0},
      {"odd height, even start", 0, 50, 200, 101, false, false, 3, 62, 200, 101, 1, 50, false, 20400, 20000},
      {"odd height, odd start", 0, 51, 200, 101, false, false, 3, 63, 200, 101, 1, 51, false, 20000, 20400},
  };
  SimDevice sim;
  USBDeviceInstance& d = *sim.Device;
  for (const SubframeRow& row : table) {
    SCOPED_TRACE(row.Name);
    d.SetROI(row.X, row.Y, row.W, row.H, row.OverscanSwitch, row.Fast, 1, 1);
    EXPECT_EQ(d.ImageWidth, row.W);
    EXPECT_EQ(d.ImageHeight, row.H);
    EXPECT_EQ(d.SensorX, row.SensorX);
    EXPECT_EQ(d.SensorY, row.SensorY);
    EXPECT_EQ(d.RawWidth, row.RawW);
    EXPECT_EQ(d.RawHeight, row.RawH);
    EXPECT_EQ(d.SensorBinX, 1u);
    EXPECT_EQ(d.SensorBinY, row.CamBinY);
    EXPECT_EQ(ReadoutState().RoiY.load(), row.RoiY);
    EXPECT_FALSE(ReadoutState().OverscanActive.load());
    EXPECT_EQ(d.LineDoubling != 0, row.Doubling);
    const auto sizes = ComputeTransferSizes(GeometryOf(d));
    EXPECT_EQ(sizes.FirstFieldBytes, row.FirstBytes);
    EXPECT_EQ(sizes.SecondFieldBytes, row.SecondBytes);
  }
}

// Catches a division by a zero (or negative) binning, and a refused request that
// still changes part of the geometry.
TEST(Geometry, ZeroBinningIsRefusedAndChangesNothing) {
  SimDevice sim;
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(100, 50, 200, 100, false, false, 2, 2);
  const auto before = GeometryOf(d);
  const uint32_t sensorX = d.SensorX;
  for (auto [bx, by] : {std::pair{0, 1}, std::pair{1, 0}, std::pair{0, 0}, std::pair{-2, 2}}) {
    d.SetROI(0, 0, 752, 582, true, false, bx, by);
    EXPECT_EQ(d.ImageWidth, before.ImageWidth);
    EXPECT_EQ(d.ImageHeight, before.ImageHeight);
    EXPECT_EQ(d.RawWidth, before.RawWidth);
    EXPECT_EQ(d.RawHeight, before.RawHeight);
    EXPECT_EQ(d.SensorX, sensorX);
    EXPECT_EQ(d.SensorY, before.SensorY);
    EXPECT_EQ(d.SensorBinX, 2u);
    EXPECT_EQ(d.SensorBinY, 2u);
    EXPECT_EQ(d.GetBinningX(), 2);
    EXPECT_EQ(d.GetBinningY(), 2);
  }
}

// Catches setters that recompute the geometry: they only store until the next SetROI.
TEST(Geometry, SettersTakeEffectAtTheNextSetROI) {
  SimDevice sim;
  USBDeviceInstance& d = *sim.Device;
  d.SetROI(0, 0, 752, 582);
  d.SetBinning(2, 2);
  d.SetFastReadout(true);
  EXPECT_EQ(d.ImageWidth, 752u);
  EXPECT_EQ(d.RawHeight, 582u);
  EXPECT_EQ(d.SensorBinX, 1u);
  EXPECT_EQ(d.LineDoubling, 0);
  d.SetROI(0, 0, 376, 291);
  EXPECT_EQ(d.ImageWidth, 376u);
  EXPECT_EQ(d.SensorBinX, 2u);
  EXPECT_EQ(d.SensorY, 6u);
}

}  // namespace
}  // namespace ReadoutTests
