#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "device/TemperatureConversion.h"

namespace TarvisUSBInterface {
namespace {

using namespace Protocol;

uint16_t Pack(uint8_t high, uint8_t low) {
  return static_cast<uint16_t>(high << 8 | low);
}

// Most commands are refused while the image is arriving: a control request then would
// compete with the bulk transfer. The guard is one read of the state, not a lock.
bool Downloading(const USBDeviceInstance& device) {
  return device.CameraState.load(std::memory_order_acquire) == CameraStates::Downloading;
}

}  // namespace

bool USBDeviceInstance::SetCameraBinning(uint8_t x, uint8_t y) {
  if (Downloading(*this)) {
    return false;
  }
  SensorBinX = x;
  SensorBinY = y;
  return SendDeviceRequest(HostToDevice, SetCameraBinningRequest, Pack(x, y), 0, nullptr, 0);
}

bool USBDeviceInstance::GetCameraBinning(uint8_t* x, uint8_t* y) {
  if (Downloading(*this)) {
    return false;
  }
  if (x == nullptr || y == nullptr) {
    return false;
  }
  uint8_t answer[2] = {static_cast<uint8_t>(SensorBinX), static_cast<uint8_t>(SensorBinY)};
  if (!SendDeviceRequest(DeviceToHost, GetCameraBinningRequest, 0, 0, answer, sizeof(answer))) {
    return false;
  }
  SensorBinX = *x = answer[0];
  SensorBinY = *y = answer[1];
  return true;
}

bool USBDeviceInstance::SetCameraROI(uint16_t x, uint16_t y, uint16_t width, uint16_t height) {
  if (Downloading(*this)) {
    return false;
  }
  // Last column and row wrap modulo 65536, so width 0 at x 0 sends 0xFFFF.
  auto last = [](uint16_t first, uint16_t size) { return static_cast<uint16_t>(first + size - 1); };
  return SendDeviceRequest(HostToDevice, SetWindowStartXRequest, x, 0, nullptr, 0) &&
         SendDeviceRequest(HostToDevice, SetWindowEndXRequest, last(x, width), 0, nullptr, 0) &&
         SendDeviceRequest(HostToDevice, SetWindowStartYRequest, y, 0, nullptr, 0) &&
         SendDeviceRequest(HostToDevice, SetWindowEndYRequest, last(y, height), 0, nullptr, 0);
}

bool USBDeviceInstance::PulseGuide(uint8_t direction, uint16_t duration) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, PulseGuideRequest, duration, direction, nullptr, 0);
}

bool USBDeviceInstance::IsPulseGuiding(bool* guiding) {
  if (Downloading(*this)) {
    return false;
  }
  if (guiding == nullptr) {
    return false;
  }
  // Read into a byte, not the bool: the camera may answer any nonzero value. A short
  // answer leaves the caller's flag as it was.
  uint8_t answer = *guiding ? 1 : 0;
  bool ok = SendDeviceRequest(DeviceToHost, GetPulseGuidingRequest, 0, 0, &answer, 1);
  *guiding = answer != 0;
  return ok;
}

bool USBDeviceInstance::GetModel(char* model) {
  if (Downloading(*this)) {
    return false;
  }
  if (model == nullptr) {
    return false;
  }
  return SendDeviceRequest(DeviceToHost, GetModelRequest, 0, 0, reinterpret_cast<uint8_t*>(model), 1);
}

bool USBDeviceInstance::GetFirmware(char* firmware) {
  if (Downloading(*this)) {
    return false;
  }
  if (firmware == nullptr) {
    return false;
  }
  return SendDeviceRequest(DeviceToHost, GetFirmwareRequest, 0, 0, reinterpret_cast<uint8_t*>(firmware), 1);
}

bool USBDeviceInstance::SetCoolingPoint(bool coolerOn, float celsius) {
  std::optional<uint16_t> raw = CelsiusToRawSetPoint(celsius);
  if (Downloading(*this)) {
    return false;
  }
  if (!raw) {
    return false;  // NaN or infinite: no set point to send
  }
  return SendDeviceRequest(HostToDevice, SetCoolingPointRequest, *raw, coolerOn ? 1 : 0, nullptr, 0);
}

// Answers in Idle, Exposing and Error: after a failed readout the camera is still
// attached and its temperature still readable. Refused only while Downloading.
bool USBDeviceInstance::GetTemperature(double* celsius) {
  if (celsius == nullptr) {
    return false;
  }
  if (Downloading(*this)) {
    *celsius = 0.0;
    return false;
  }
  uint8_t word[2] = {0, 0};
  bool ok = SendDeviceRequest(DeviceToHost, GetTemperatureRequest, 0, 0, word, sizeof(word));
  *celsius = RawTemperatureToCelsius(static_cast<uint16_t>(word[0] | word[1] << 8));
  return ok;
}

bool USBDeviceInstance::GetCoolingPoint(double* celsius) {
  if (celsius == nullptr) {
    return false;
  }
  if (Downloading(*this)) {
    *celsius = 0.0;
    return false;
  }
  uint8_t word[2] = {0, 0};
  bool ok = SendDeviceRequest(DeviceToHost, GetCoolingPointRequest, 0, 0, word, sizeof(word));
  *celsius = RawTemperatureToCelsius(static_cast<uint16_t>(word[0] | word[1] << 8));
  return ok;
}

bool USBDeviceInstance::IsCoolerOn(bool* on) {
  if (on == nullptr) {
    return false;
  }
  if (Downloading(*this)) {
    *on = false;
    return false;
  }
  uint8_t answer = *on ? 1 : 0;
  bool ok = SendDeviceRequest(DeviceToHost, GetCoolerOnRequest, 0, 0, &answer, 1);
  *on = answer != 0;
  return ok;
}

bool USBDeviceInstance::IsCoolingOn() {
  bool on = false;
  IsCoolerOn(&on);
  return on;
}

bool USBDeviceInstance::SetTemperaturePIDGain(uint8_t errorGain, uint8_t differentialGain,
                                              uint8_t timeFactor) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, SetPIDGainRequest, Pack(differentialGain, timeFactor), errorGain,
                           nullptr, 0);
}

void USBDeviceInstance::SetCoolingDutyCycle(uint16_t duty) {
  if (Downloading(*this)) {
    return;
  }
  if (duty > MaxCoolingDuty) {
    return;
  }
  SendDeviceRequest(HostToDevice, SetCoolingDutyCycleRequest, duty, 0, nullptr, 0);
}

bool USBDeviceInstance::GetTemperatureDuty(uint8_t* duty) {
  if (duty == nullptr) {
    return false;
  }
  if (Downloading(*this)) {
    *duty = 0;
    return false;
  }
  uint8_t answer = 0;
  bool ok = SendDeviceRequest(DeviceToHost, GetCoolingDutyRequest, 0, 0, &answer, 1);
  *duty = answer;
  return ok;
}

uint16_t USBDeviceInstance::GetCoolingDutyCycle() {
  uint8_t duty = 0;
  GetTemperatureDuty(&duty);
  return duty;
}

bool USBDeviceInstance::SetADCGain(ADCConfig config) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, SetADCGainRequest, Pack(config.Gain, config.Offset), config.PgaScale,
                           nullptr, 0);
}

bool USBDeviceInstance::SetADCCDS(ADCConfig config) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, SetADCCDSRequest, Pack(config.CdsEnable, config.CdsTimming), 0,
                           nullptr, 0);
}

bool USBDeviceInstance::SetADCRLC(ADCConfig config) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, SetADCRLCRequest, Pack(config.RlcEnable, config.RlcDac), config.RlcV,
                           nullptr, 0);
}

bool USBDeviceInstance::SetADCADVCONFIG(ADCConfig config) {
  if (Downloading(*this)) {
    return false;
  }
  return SendDeviceRequest(HostToDevice, SetADCAdvConfigRequest, Pack(config.OutputInvert, config.Mode3), 0,
                           nullptr, 0);
}

// No guard: switching to programming mode must work whatever the exposure state.
void USBDeviceInstance::EnterProgrammingMode() {
  SendDeviceRequest(HostToDevice, EnterProgrammingModeRequest, 0, 0, nullptr, 0);
}

bool USBDeviceInstance::StartBoot() {
  return SendDeviceRequest(HostToDevice, EnterProgrammingModeRequest, 0, 0, nullptr, 0);
}

}  // namespace TarvisUSBInterface
