// Binning, subframe, readout options and the exposure itself.

#include <atomic>

#include <nuvik/LowLevelDriver.h>
#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "Messages.h"

namespace Nuvik {

// Two-field readout at vertical binning 1 needs an even number of rows, so an odd
// subframe height is read with one extra row that delivery drops again.
bool LowLevelDriver::OddHeightRuleApplies() {
  return Height % 2 != 0 && Device->GetBinningY() <= 1;
}

void LowLevelDriver::UpdateROI() {
  const int32_t height = OddHeightRuleApplies() ? Height + 1 : Height;
  Device->SetROI(static_cast<uint32_t>(X), static_cast<uint32_t>(Y), static_cast<uint32_t>(Width),
                 static_cast<uint32_t>(height));
}

LowLevelDriver::FrameGeometry LowLevelDriver::CurrentGeometry() {
  FrameGeometry geometry;
  geometry.X = X;
  geometry.Y = Y;
  geometry.Width = Width;
  geometry.Height = Height;
  geometry.BinX = Device->GetBinningX();
  geometry.BinY = Device->GetBinningY();
  geometry.UseVerticalOverscan = UseVerticalOverscan;
  geometry.UseHorizontalOverscan = UseHorizontalOverscan;
  geometry.FastReadout = FastReadoutOption;
  geometry.ShowOverscan = ShowOverscanOption;
  geometry.ImageWidth = Device->ImageWidth;
  geometry.ImageHeight = Device->ImageHeight;
  return geometry;
}

// The factors only reach the camera with the next exposure. The subframe is kept in
// the units of the old binning; the host sets it again.
void LowLevelDriver::SetBin(int32_t x, int32_t y) {
  if (x < 1 || y < 1) {
    throw DriverException(Messages::InvalidBinning);
  }
  const CameraSpecs& specs = RequireSpecs();
  if (x > specs.MaxBinX || y > specs.MaxBinY) {
    throw DriverException(Messages::InvalidBinning);
  }
  if (x != y && !specs.CanAsymmetricBin) {
    throw DriverException(Messages::InvalidBinning);
  }
  Device->SetBinning(static_cast<uint8_t>(x), static_cast<uint8_t>(y));
  UpdateROI();
}

int16_t LowLevelDriver::GetBinX() {
  return Device->GetBinningX();
}
int16_t LowLevelDriver::GetBinY() {
  return Device->GetBinningY();
}

// Checks run in a fixed order and the first failure throws before anything is sent.
// The window is the one UpdateROI last gave the device.
void LowLevelDriver::StartExposure(int32_t duration) {
  // The camera takes 24 bits of milliseconds; a longer request would silently become
  // a different exposure.
  if (duration < 0 || static_cast<uint32_t>(duration) > TarvisUSBInterface::Protocol::MaxExposureMs) {
    throw DriverException(Messages::InvalidDuration);
  }
  const CameraSpecs& specs = RequireSpecs();
  const int32_t binX = Device->GetBinningX();
  const int32_t binY = Device->GetBinningY();
  const int32_t maxWidth = specs.CameraXSize / binX;
  const int32_t maxHeight = specs.CameraYSize / binY;
  if (X < 0 || X >= maxWidth) {
    throw DriverException(Messages::InvalidX);
  }
  if (Y < 0 || Y >= maxHeight) {
    throw DriverException(Messages::InvalidY);
  }
  if (Width <= 0 || Width > maxWidth) {
    throw DriverException(Messages::InvalidWidth);
  }
  if (Height <= 0 || Height > maxHeight) {
    throw DriverException(Messages::InvalidHeight);
  }

  LastExposureDuration = duration;
  StartTime = std::chrono::system_clock::now();
  const FrameGeometry geometry = CurrentGeometry();
  if (!Device->StartExposure(static_cast<uint32_t>(duration))) {
    throw DriverException(Messages::StartExposureFailed);
  }
  ExposedGeometry = geometry;
  IsFirstExposureDone = true;
}

// The camera has no request that ends an exposure early; the running one reads out.
void LowLevelDriver::StopExposure() {
  LastExposureDuration = 0;
  Device->StopExposure();
}

void LowLevelDriver::AbortExposure() {
  try {
    if (GetCameraState() == CameraStates::Idle) {
      return;
    }
    if (!Device->AbortExposure()) {
      throw DriverException(Messages::CommandFailed);
    }
  } catch (...) {
    throw DriverException(Messages::CommandFailed);
  }
}

int32_t LowLevelDriver::GetLastExposureDuration() {
  if (!IsFirstExposureDone) {
    throw DriverException(Messages::NoExposure);
  }
  return LastExposureDuration;
}

std::chrono::system_clock::time_point LowLevelDriver::GetLastExposureStartTime() {
  if (!IsFirstExposureDone) {
    throw DriverException(Messages::NoExposure);
  }
  return StartTime;
}

// Subframe values are stored unchecked; StartExposure checks them.
void LowLevelDriver::SetSubframeX(int32_t x) {
  X = x;
  UpdateROI();
}

void LowLevelDriver::SetSubframeY(int32_t y) {
  Y = y;
  UpdateROI();
}

void LowLevelDriver::SetSubframeWidth(int32_t width) {
  Width = width;
  UpdateROI();
}

void LowLevelDriver::SetSubframeHeight(int32_t height) {
  Height = height;
  UpdateROI();
}

int32_t LowLevelDriver::GetSubframeX() {
  return X;
}
int32_t LowLevelDriver::GetSubframeY() {
  return Y;
}

// Width and height are those of the image the device will deliver, overscan included.
int32_t LowLevelDriver::GetSubframeWidth() {
  return static_cast<int32_t>(Device->ImageWidth);
}

int32_t LowLevelDriver::GetSubframeHeight() {
  const int32_t height = static_cast<int32_t>(Device->ImageHeight);
  return OddHeightRuleApplies() ? height - 1 : height;
}

void LowLevelDriver::ChangeOverscan(bool useVertical, bool useHorizontal) {
  Device->SetOverscanProperties(useVertical, useHorizontal, false);
  UseVerticalOverscan = useVertical;
  UseHorizontalOverscan = useHorizontal;
  UpdateROI();
}

void LowLevelDriver::SetFastReadout(bool fastReadout) {
  Device->SetFastReadout(fastReadout);
  FastReadoutOption = fastReadout;
  UpdateROI();
}

void LowLevelDriver::ShowOverScanArea(bool show) {
  Device->ShowOverscan = show ? 1 : 0;
  ShowOverscanOption = show;
  UpdateROI();
}

bool LowLevelDriver::IsImageReady() {
  return Device->ImageReady.load(std::memory_order_acquire) != 0;
}

}  // namespace Nuvik
