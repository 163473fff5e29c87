#pragma once

// The host-facing camera driver. One LowLevelDriver owns one device instance, keeps
// the capability record of the connected model, checks the host's arguments and
// reports failures as DriverException with a fixed message text.
//
// Threads: every operation runs on the caller's thread; a host that shares one driver
// between threads serialises the calls itself. The readout runs on the device's own
// thread; IsImageReady and GetCameraState are acquiring reads of what it publishes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nuvik/CameraModels.h>
#include <nuvik/Export.h>

namespace TarvisUSBInterface {
class USBDeviceInstance;
class UsbTransport;
}  // namespace TarvisUSBInterface

namespace Nuvik {

enum class CameraStates : int32_t { Idle = 0, Exposing = 2, Downloading = 4, Error = 5 };

// The one exception kind of the facade; what() is exactly the message text.
class NUVIK_API DriverException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An image as 32-bit signed samples indexed [column, row]. Stored column after column,
// the row index varying fastest. Owned by the host.
class NUVIK_API ImageArray {
 public:
  ImageArray() = default;
  ImageArray(int32_t width, int32_t height);

  int32_t Width() const { return width_; }    // first dimension: columns
  int32_t Height() const { return height_; }  // rows
  int32_t operator()(int32_t column, int32_t row) const {
    return data_[static_cast<size_t>(column) * static_cast<size_t>(height_) + static_cast<size_t>(row)];
  }
  int32_t& operator()(int32_t column, int32_t row) {
    return data_[static_cast<size_t>(column) * static_cast<size_t>(height_) + static_cast<size_t>(row)];
  }
  const int32_t* Data() const { return data_.data(); }

 private:
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::vector<int32_t> data_;
};

class NUVIK_API LowLevelDriver {
 public:
  // Uses the process's default USB layer (VANTOR_USB chooses it). Talks to no camera.
  LowLevelDriver();
  // Binds the driver to `transport`, which must outlive it.
  explicit LowLevelDriver(TarvisUSBInterface::UsbTransport& transport);
  // Joins a running readout and closes the connection.
  ~LowLevelDriver();
  LowLevelDriver(const LowLevelDriver&) = delete;
  LowLevelDriver& operator=(const LowLevelDriver&) = delete;

  // Connection and state.
  void Connect();
  bool IsConnected();
  void Disconnect();
  CameraStates GetCameraState();
  std::string GetLastError();

  // Capabilities of the connected model.
  int32_t GetCameraXSize();
  int32_t GetCameraYSize();
  bool CanAsymmetricBin();
  bool CanGetCoolerPower();
  bool CanSetTemperature();
  std::string GetDescription();
  double GetElectronsPerADU();
  double GetFullWellCapacity();
  bool IsColor();
  int32_t GetMaxADU();
  int16_t GetMaxBinX();
  int16_t GetMaxBinY();
  float GetPixelSizeX();
  float GetPixelSizeY();

  // Exposure, binning and subframe (binned pixels, milliseconds).
  void SetBin(int32_t x, int32_t y);
  int16_t GetBinX();
  int16_t GetBinY();
  void StartExposure(int32_t duration);
  void StopExposure();
  void AbortExposure();
  int32_t GetLastExposureDuration();
  std::chrono::system_clock::time_point GetLastExposureStartTime();
  void SetSubframeX(int32_t x);
  void SetSubframeY(int32_t y);
  void SetSubframeWidth(int32_t width);
  void SetSubframeHeight(int32_t height);
  int32_t GetSubframeX();
  int32_t GetSubframeY();
  int32_t GetSubframeWidth();
  int32_t GetSubframeHeight();
  void ChangeOverscan(bool useVertical, bool useHorizontal);
  void SetFastReadout(bool fastReadout);
  void ShowOverScanArea(bool show);
  bool IsImageReady();

  // Image delivery.
  ImageArray GetImage();
  ImageArray GetImage(int32_t discardedcolumns);
  // Allocates the float image with new[]; the host releases it with delete[]. Holds
  // GetSubframeWidth() x GetSubframeHeight() floats, row after row, negatives as 0.
  // Returns false, allocating nothing, when `buffer` is null.
  bool GetImage(float** buffer);
  // The same float image, owned by the returned vector.
  std::vector<float> GetImageFloats();
  bool IsLastImageColor();
  int32_t GetLastImageColorShiftX();
  int32_t GetLastImageColorShiftY();

  // Cooling, guiding, converter and firmware.
  bool GetTemperature(double* temperature);
  double GetTemperature();
  double GetSetPointTemperature();
  bool SetSetPointTemperature(double temperature);
  bool SetTemperaturePIDGain(uint8_t errorGain, uint8_t differentialGain, uint8_t timeFactor);
  bool IsCoolerOn();
  void SetCoolerOn(bool on);
  double GetCoolingPower();
  void SetCoolingDutyCycle(uint16_t cycle);
  uint16_t GetCoolingDutyCycle();
  void PulseGuide(int32_t direction, int32_t duration);
  bool IsPulseGuiding();
  bool ChangeGainOffset(int32_t gain, int32_t offset);
  bool ChangeADCParameters(int32_t offset, int32_t gain, bool cdsEnable, int32_t cdsTimming, bool rlcEnable,
                           int32_t rlcV, int32_t rlcDac, bool mode3, int32_t pgaScale, bool outputInvert,
                           bool changeGain, bool changeCDS, bool changeRLC, bool changeADV);
  void EnterProgrammingMode();
  std::optional<std::string> GetFirmware();

 private:
  // Everything that decides the size and place of the image the device delivers.
  // Recorded when an exposure starts; its image is handed out only while the
  // geometry still matches, so a frame is never read with another size.
  struct FrameGeometry {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    uint8_t BinX = 1;
    uint8_t BinY = 1;
    bool UseVerticalOverscan = false;
    bool UseHorizontalOverscan = false;
    bool FastReadout = false;
    bool ShowOverscan = false;
    uint32_t ImageWidth = 0;  // the device's frame size for this geometry
    uint32_t ImageHeight = 0;
    bool operator==(const FrameGeometry&) const = default;
  };

  void UpdateROI();
  bool OddHeightRuleApplies();
  const CameraSpecs& RequireSpecs() const;
  FrameGeometry CurrentGeometry();
  // The finished frame of the last exposure and the rows to deliver from it; throws
  // when there is none or the geometry changed since that exposure.
  const float* RequireImage(uint32_t& width, uint32_t& rows);

  std::unique_ptr<CameraSpecs> Specs;
  int32_t LastExposureDuration = 0;
  std::chrono::system_clock::time_point StartTime{};
  int32_t X = 0;
  int32_t Y = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  std::unique_ptr<TarvisUSBInterface::USBDeviceInstance> Device;
  std::string LastError;
  bool IsFirstExposureDone = false;

  // Readout options as last given to the device, for FrameGeometry.
  bool UseVerticalOverscan = false;
  bool UseHorizontalOverscan = false;
  bool FastReadoutOption = false;
  bool ShowOverscanOption = false;
  // Geometry of the last exposure the device accepted; empty before the first.
  std::optional<FrameGeometry> ExposedGeometry;
};

}  // namespace Nuvik
