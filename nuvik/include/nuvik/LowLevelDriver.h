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

#include <nuvik/CameraSpecs.h>
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
  // Allocates the float image with new[]; the host releases it with delete[].
  bool GetImage(float** buffer);
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
  void UpdateROI();

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
};

}  // namespace Nuvik
