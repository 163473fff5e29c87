// Cooler, guide port, converter, firmware version and programming mode. Each is a
// thin layer over one or two device commands.

#include <locale>
#include <sstream>

#include <nuvik/LowLevelDriver.h>
#include <vantor/USBDeviceInstance.h>

#include "Messages.h"

namespace Nuvik {

using TarvisUSBInterface::ADCConfig;

namespace {

// Highest duty cycle the camera accepts; GetCoolingPower reports it as 1.0.
constexpr double FullCoolingDuty = 50.0;
// Set point limits the host may ask for, in degrees Celsius.
constexpr double LowestSetPoint = -30.0;
constexpr double HighestSetPoint = 30.0;

}  // namespace

bool LowLevelDriver::GetTemperature(double* temperature) {
  double value = 0.0;
  const bool ok = Device->GetTemperature(&value);
  if (temperature != nullptr) {
    *temperature = value;
  }
  return ok;
}

double LowLevelDriver::GetTemperature() {
  double value = 0.0;
  Device->GetTemperature(&value);
  return value;
}

double LowLevelDriver::GetSetPointTemperature() {
  double value = 0.0;
  Device->GetCoolingPoint(&value);
  return value;
}

// The cooler's on flag travels with the set point, so the flag the camera reports is
// sent along; when it cannot be read nothing is sent, since a guessed flag could switch
// a running cooler off. Returns whether the set point reached the camera.
bool LowLevelDriver::SetSetPointTemperature(double temperature) {
  // Written so that NaN fails too.
  if (!(temperature >= LowestSetPoint && temperature <= HighestSetPoint)) {
    throw DriverException(Messages::InvalidTemperature);
  }
  bool on = false;
  if (!Device->IsCoolerOn(&on)) {
    return false;
  }
  return Device->SetCoolingPoint(on, static_cast<float>(temperature));
}

bool LowLevelDriver::SetTemperaturePIDGain(uint8_t errorGain, uint8_t differentialGain, uint8_t timeFactor) {
  return Device->SetTemperaturePIDGain(errorGain, differentialGain, timeFactor);
}

bool LowLevelDriver::IsCoolerOn() {
  bool on = false;
  Device->IsCoolerOn(&on);
  return on;
}

// Switching the cooler re-sends the current set point with the new flag. When the set
// point cannot be read nothing is sent: the value of a failed read would replace the
// host's set point with the camera's coldest one.
void LowLevelDriver::SetCoolerOn(bool on) {
  double setPoint = 0.0;
  if (!Device->GetCoolingPoint(&setPoint)) {
    return;
  }
  Device->SetCoolingPoint(on, static_cast<float>(setPoint));
}

double LowLevelDriver::GetCoolingPower() {
  if (!Device->IsCoolingOn()) {
    return 0.0;
  }
  return static_cast<double>(Device->GetCoolingDutyCycle()) / FullCoolingDuty;
}

// The host's scale is twice the camera's: 0-101 reach the camera as 0-50.
void LowLevelDriver::SetCoolingDutyCycle(uint16_t cycle) {
  Device->SetCoolingDutyCycle(static_cast<uint16_t>(cycle >> 1));
}

uint16_t LowLevelDriver::GetCoolingDutyCycle() {
  return Device->GetCoolingDutyCycle();
}

void LowLevelDriver::PulseGuide(int32_t direction, int32_t duration) {
  Device->PulseGuide(static_cast<uint8_t>(direction), static_cast<uint16_t>(duration));
}

bool LowLevelDriver::IsPulseGuiding() {
  bool guiding = false;
  if (!Device->IsPulseGuiding(&guiding)) {
    return false;
  }
  return guiding;
}

bool LowLevelDriver::ChangeGainOffset(int32_t gain, int32_t offset) {
  ADCConfig config{};
  config.Gain = static_cast<uint8_t>(gain);
  config.Offset = static_cast<uint8_t>(offset);
  config.PgaScale = 2;
  return Device->SetADCGain(config);
}

// Sends the requests whose flag is set, in a fixed order; a failure does not stop the
// later ones. True when every request sent succeeded (and when none was asked for).
bool LowLevelDriver::ChangeADCParameters(int32_t offset, int32_t gain, bool cdsEnable, int32_t cdsTimming,
                                         bool rlcEnable, int32_t rlcV, int32_t rlcDac, bool mode3,
                                         int32_t pgaScale, bool outputInvert, bool changeGain, bool changeCDS,
                                         bool changeRLC, bool changeADV) {
  ADCConfig config{};
  config.Gain = static_cast<uint8_t>(gain);
  config.Offset = static_cast<uint8_t>(offset);
  config.PgaScale = static_cast<uint8_t>(pgaScale);
  config.OutputInvert = outputInvert;
  config.Mode3 = mode3;
  config.CdsEnable = cdsEnable;
  config.CdsTimming = static_cast<uint8_t>(cdsTimming);
  config.RlcEnable = rlcEnable;
  config.RlcDac = rlcDac != 0;  // the camera takes only whether the clamp DAC is used
  config.RlcV = static_cast<uint8_t>(rlcV);

  bool ok = true;
  if (changeGain) {
    ok = Device->SetADCGain(config) && ok;
  }
  if (changeCDS) {
    ok = Device->SetADCCDS(config) && ok;
  }
  if (changeRLC) {
    ok = Device->SetADCRLC(config) && ok;
  }
  if (changeADV) {
    ok = Device->SetADCADVCONFIG(config) && ok;
  }
  return ok;
}

void LowLevelDriver::EnterProgrammingMode() {
  Device->EnterProgrammingMode();
}

// The camera reports its version times 100 in a signed byte. Shown with at most seven
// significant digits, no trailing zeros and the host's decimal separator.
std::optional<std::string> LowLevelDriver::GetFirmware() {
  if (!Device->IsConnected()) {
    return std::nullopt;
  }
  char firmware = 0;
  if (!Device->GetFirmware(&firmware)) {
    return std::nullopt;
  }
  const auto version = static_cast<float>(static_cast<int8_t>(firmware) / 100.0);
  std::ostringstream text;
  text.imbue(std::locale());
  text.precision(7);
  text << version;
  return text.str();
}

}  // namespace Nuvik
