#include <simcam/Firmware.h>

#include <algorithm>
#include <bitset>
#include <cmath>
#include <condition_variable>

#include <vantor/CameraProtocol.h>

#include "ImageStream.h"

namespace SimulatedCamera {
namespace {

namespace Protocol = TarvisUSBInterface::Protocol;

// Standard and vendor-type IN requests: what a host's USB stack sends, never the driver.
constexpr uint8_t StandardDeviceToHost = 0x80;
constexpr uint8_t VendorDeviceToHost = 0xC0;

// The request log keeps the most recent packets only, so a long session against the
// simulated camera does not grow without bound.
constexpr std::size_t RequestLogLimit = std::size_t{1} << 20;

// Guide pulses move the field by this many pixels per second of pulse.
constexpr double GuidePixelsPerSecond = 2.0;

// Window and binning of a full frame at binning 1, as the camera starts up.
constexpr uint16_t PowerOnStartX = 3, PowerOnEndX = 754, PowerOnStartY = 12, PowerOnEndY = 593;

// Size of the data stage a request takes: 0 for commands (host to device), 1 or 2 for
// queries; -1 for a code the camera does not know.
int DataStageLength(uint8_t request) {
  switch (request) {
    case Protocol::SetCameraBinningRequest:
    case Protocol::StartExposureRequest:
    case Protocol::AbortExposureRequest:
    case Protocol::PulseGuideRequest:
    case Protocol::SetCoolingPointRequest:
    case Protocol::SetADCGainRequest:
    case Protocol::SetADCCDSRequest:
    case Protocol::SetADCRLCRequest:
    case Protocol::SetADCAdvConfigRequest:
    case Protocol::EnterProgrammingModeRequest:
    case Protocol::SetCoolingDutyCycleRequest:
    case Protocol::SetWindowStartXRequest:
    case Protocol::SetWindowEndXRequest:
    case Protocol::SetWindowStartYRequest:
    case Protocol::SetWindowEndYRequest:
    case Protocol::SetPIDGainRequest:
      return 0;
    case Protocol::GetPulseGuidingRequest:
    case Protocol::GetModelRequest:
    case Protocol::GetFirmwareRequest:
    case Protocol::GetCoolerOnRequest:
    case Protocol::GetCoolingDutyRequest:
      return 1;
    case Protocol::GetCameraBinningRequest:
    case Protocol::GetTemperatureRequest:
    case Protocol::GetCoolingPointRequest:
      return 2;
    default:
      return -1;
  }
}

// The camera's temperature sensor: nearest raw word, within the word's range.
uint16_t CelsiusToRaw(double celsius) {
  double raw = std::round((celsius * Protocol::TemperatureDivisor + Protocol::TemperatureOffset) /
                          Protocol::TemperatureScale);
  return static_cast<uint16_t>(std::clamp(raw, 0.0, 65535.0));
}

void PutWord(uint8_t* data, uint16_t word) {
  data[0] = static_cast<uint8_t>(word & 0xFF);
  data[1] = static_cast<uint8_t>(word >> 8);
}

}  // namespace

namespace detail {

// Everything the camera holds besides its configuration.
struct RegisterFile {
  // Wakes bulk IN waiters when data may have become available or the device went away.
  std::condition_variable BulkChanged;

  // Test hooks.
  std::vector<UsbSetupPacket> Log;
  std::bitset<256> FailedCodes;
  uint64_t ControlCount = 0;
  std::optional<uint64_t> FailControlNumber;
  bool RefuseAbort = false;
  bool Unplugged = false;
  std::optional<uint16_t> ForcedTemperatureRaw;

  // Cooler.
  uint16_t RawSetPoint = 0;
  bool CoolerOn = false;
  uint8_t PidErrorGain = 0, PidDifferentialGain = 0, PidTimeFactor = 0;
  uint8_t DutyLimit = Protocol::MaxCoolingDuty;  // SetCoolingDutyCycleRequest caps the effort
  double SensorCelsius = 20.0;
  Clock::time_point ThermalTime;

  // Converter.
  uint8_t AdcGain = 185, AdcOffset = 127, AdcPgaScale = 2;
  bool AdcCdsEnable = false;
  uint8_t AdcCdsTiming = 0;
  bool AdcRlcEnable = false, AdcRlcDac = false;
  uint8_t AdcRlcV = 0;
  bool AdcOutputInvert = false, AdcMode3 = false;

  // Readout.
  uint8_t BinX = 1, BinY = 1;
  uint16_t WindowStartX = PowerOnStartX, WindowEndX = PowerOnEndX;
  uint16_t WindowStartY = PowerOnStartY, WindowEndY = PowerOnEndY;
  bool ProgrammingMode = false;

  // Guide port.
  Clock::time_point GuideEnd;
  double GuideOffsetX = 0.0, GuideOffsetY = 0.0;
};

}  // namespace detail

struct Firmware::Registers : detail::RegisterFile {};

Firmware::Firmware(FirmwareConfig config) : config_(config), registers_(std::make_unique<Registers>()) {
  stream_ = std::make_unique<ImageStream>(config_);
  registers_->SensorCelsius = config_.AmbientCelsius;
  registers_->ThermalTime = Clock::now();
  registers_->RawSetPoint = CelsiusToRaw(config_.AmbientCelsius);
}

Firmware::~Firmware() = default;

namespace {

using detail::RegisterFile;

// Where the regulator drives the sensor: the set point, but no warmer than ambient (the
// cooler only cools) and no deeper than the duty limit allows.
double ThermalTarget(const RegisterFile& r, const FirmwareConfig& config) {
  if (!r.CoolerOn) {
    return config.AmbientCelsius;
  }
  double deepest =
      config.AmbientCelsius - config.MaxCoolingDepthCelsius * r.DutyLimit / Protocol::MaxCoolingDuty;
  return std::clamp(Protocol::RawToCelsius(r.RawSetPoint), deepest, config.AmbientCelsius);
}

// Moves the sensor temperature from its last update to `now` at the configured rate,
// towards the target of the registers as they were during that time.
void AdvanceThermal(RegisterFile& r, const FirmwareConfig& config, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - r.ThermalTime).count();
  if (seconds <= 0.0) {
    return;
  }
  r.ThermalTime = now;
  double target = ThermalTarget(r, config);
  double step = config.CoolingRateCelsiusPerSecond * seconds;
  if (std::abs(target - r.SensorCelsius) <= step) {
    r.SensorCelsius = target;
  } else {
    r.SensorCelsius += target > r.SensorCelsius ? step : -step;
  }
}

// Duty the regulator reports: full (up to the limit) while it still pulls the sensor
// down, otherwise what holding the current depth below ambient takes; 0 when off.
uint8_t ReportedDuty(const RegisterFile& r, const FirmwareConfig& config) {
  if (!r.CoolerOn || config.MaxCoolingDepthCelsius <= 0.0) {
    return 0;
  }
  constexpr double SettledWithin = 0.05;
  if (r.SensorCelsius > ThermalTarget(r, config) + SettledWithin) {
    return r.DutyLimit;
  }
  double holding = std::round(Protocol::MaxCoolingDuty * (config.AmbientCelsius - r.SensorCelsius) /
                              config.MaxCoolingDepthCelsius);
  return static_cast<uint8_t>(std::clamp(holding, 0.0, static_cast<double>(r.DutyLimit)));
}

}  // namespace

bool Firmware::HandleControl(const UsbSetupPacket& setup, uint8_t* data, uint32_t& returned) {
  std::lock_guard lock(mutex_);
  Registers& r = *registers_;
  returned = 0;
  if (r.Log.size() >= RequestLogLimit) {
    r.Log.erase(r.Log.begin(), r.Log.begin() + RequestLogLimit / 2);
  }
  r.Log.push_back(setup);
  if (r.Unplugged) {
    return false;
  }
  Clock::time_point now = Clock::now();
  AdvanceThermal(r, config_, now);

  if (setup.RequestType == StandardDeviceToHost || setup.RequestType == VendorDeviceToHost) {
    return HandleDescriptorRequest(setup, data, returned);
  }

  ++r.ControlCount;
  if (r.FailControlNumber && r.ControlCount == *r.FailControlNumber) {
    r.FailControlNumber.reset();
    return false;
  }
  if (r.FailedCodes.test(setup.Request)) {
    return false;
  }
  int length = DataStageLength(setup.Request);
  if (length < 0) {
    return false;
  }
  uint8_t expectedType = length == 0 ? Protocol::HostToDevice : Protocol::DeviceToHost;
  if (setup.RequestType != expectedType || setup.Length != length || (length > 0 && data == nullptr)) {
    return false;
  }

  const uint8_t high = static_cast<uint8_t>(setup.Value >> 8);
  const uint8_t low = static_cast<uint8_t>(setup.Value & 0xFF);
  switch (setup.Request) {
    case Protocol::SetCameraBinningRequest:
      r.BinX = high;
      r.BinY = low;
      break;
    case Protocol::GetCameraBinningRequest:
      data[0] = r.BinX;
      data[1] = r.BinY;
      break;
    case Protocol::StartExposureRequest: {
      ExposureSettings settings;
      settings.ExposureMs = setup.Value | static_cast<uint32_t>(setup.Index & 0xFF) << 16;
      settings.BinX = r.BinX;
      settings.BinY = r.BinY;
      settings.StartX = r.WindowStartX;
      settings.EndX = r.WindowEndX;
      settings.StartY = r.WindowStartY;
      settings.EndY = r.WindowEndY;
      settings.AdcGain = r.AdcGain;
      settings.AdcOffset = r.AdcOffset;
      settings.AdcPgaScale = r.AdcPgaScale;
      settings.SensorCelsius = r.SensorCelsius;
      settings.GuideOffsetX = r.GuideOffsetX;
      settings.GuideOffsetY = r.GuideOffsetY;
      stream_->Start(settings, now);
      r.BulkChanged.notify_all();
      break;
    }
    case Protocol::AbortExposureRequest:
      if (r.RefuseAbort) {
        return false;
      }
      stream_->Abort();
      r.BulkChanged.notify_all();
      break;
    case Protocol::PulseGuideRequest: {
      // Pulses on the two axes share one guide relay timer in this camera.
      r.GuideEnd = std::max(r.GuideEnd, now + std::chrono::milliseconds(setup.Value));
      double shift = GuidePixelsPerSecond * setup.Value / 1000.0;
      switch (setup.Index) {
        case 0:  // north
          r.GuideOffsetY -= shift;
          break;
        case 1:  // south
          r.GuideOffsetY += shift;
          break;
        case 2:  // east
          r.GuideOffsetX -= shift;
          break;
        case 3:  // west
          r.GuideOffsetX += shift;
          break;
        default:  // no relay on other codes: the pulse is timed but moves nothing
          break;
      }
      break;
    }
    case Protocol::GetPulseGuidingRequest:
      data[0] = now < r.GuideEnd ? 1 : 0;
      break;
    case Protocol::GetModelRequest:
      data[0] = config_.ModelCode;
      break;
    case Protocol::GetFirmwareRequest:
      data[0] = config_.FirmwareByte;
      break;
    case Protocol::SetCoolingPointRequest:
      r.RawSetPoint = setup.Value;
      r.CoolerOn = setup.Index != 0;
      break;
    case Protocol::GetTemperatureRequest:
      PutWord(data, r.ForcedTemperatureRaw.value_or(CelsiusToRaw(r.SensorCelsius)));
      break;
    case Protocol::GetCoolerOnRequest:
      data[0] = r.CoolerOn ? 1 : 0;
      break;
    case Protocol::SetADCGainRequest:
      r.AdcGain = high;
      r.AdcOffset = low;
      r.AdcPgaScale = static_cast<uint8_t>(setup.Index);
      break;
    case Protocol::SetADCCDSRequest:
      r.AdcCdsEnable = high != 0;
      r.AdcCdsTiming = low;
      break;
    case Protocol::SetADCRLCRequest:
      r.AdcRlcEnable = high != 0;
      r.AdcRlcDac = low != 0;
      r.AdcRlcV = static_cast<uint8_t>(setup.Index);
      break;
    case Protocol::SetADCAdvConfigRequest:
      r.AdcOutputInvert = high != 0;
      r.AdcMode3 = low != 0;
      break;
    case Protocol::EnterProgrammingModeRequest:
      r.ProgrammingMode = true;
      break;
    case Protocol::SetCoolingDutyCycleRequest:
      if (setup.Value > Protocol::MaxCoolingDuty) {
        return false;
      }
      r.DutyLimit = static_cast<uint8_t>(setup.Value);
      break;
    case Protocol::SetWindowStartXRequest:
      r.WindowStartX = setup.Value;
      break;
    case Protocol::SetWindowEndXRequest:
      r.WindowEndX = setup.Value;
      break;
    case Protocol::SetWindowStartYRequest:
      r.WindowStartY = setup.Value;
      break;
    case Protocol::SetWindowEndYRequest:
      r.WindowEndY = setup.Value;
      break;
    case Protocol::GetCoolingDutyRequest:
      data[0] = ReportedDuty(r, config_);
      break;
    case Protocol::SetPIDGainRequest:
      r.PidDifferentialGain = high;
      r.PidTimeFactor = low;
      r.PidErrorGain = static_cast<uint8_t>(setup.Index);
      break;
    case Protocol::GetCoolingPointRequest:
      PutWord(data, r.RawSetPoint);
      break;
    default:
      return false;
  }
  returned = static_cast<uint32_t>(length);
  return true;
}

uint32_t Firmware::ReadBulkIn(uint8_t* buffer, uint32_t capacity, bool* transferEnded) {
  std::lock_guard lock(mutex_);
  Registers& r = *registers_;
  if (transferEnded != nullptr) {
    *transferEnded = false;
  }
  if (r.Unplugged || capacity == 0) {
    return 0;
  }
  uint32_t copied = stream_->Read(buffer, capacity, Clock::now());
  if (transferEnded != nullptr) {
    *transferEnded = copied > 0 && stream_->TransferEnded();
  }
  if (stream_->UnplugDue()) {
    r.Unplugged = true;
    r.BulkChanged.notify_all();
  }
  return copied;
}

bool Firmware::WaitForBulkIn(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  Registers& r = *registers_;
  while (true) {
    if (stream_->UnplugDue()) {
      r.Unplugged = true;
      r.BulkChanged.notify_all();
    }
    if (r.Unplugged) {
      return false;
    }
    Clock::time_point now = Clock::now();
    std::optional<Clock::time_point> next = stream_->NextDataTime(now);
    if (next && *next <= now) {
      return true;
    }
    if (now >= deadline) {
      return false;
    }
    // Sleep until the data is due or the deadline; Start, Abort and Unplug wake us early.
    r.BulkChanged.wait_until(lock, next ? std::min(*next, deadline) : deadline);
  }
}

uint32_t Firmware::WriteBulkOut(const uint8_t*, uint32_t length) {
  std::lock_guard lock(mutex_);
  return registers_->Unplugged ? 0 : length;
}

bool Firmware::IsUnplugged() const {
  std::lock_guard lock(mutex_);
  return registers_->Unplugged;
}

std::vector<UsbSetupPacket> Firmware::RequestLog() const {
  std::lock_guard lock(mutex_);
  return registers_->Log;
}

void Firmware::ClearRequestLog() {
  std::lock_guard lock(mutex_);
  registers_->Log.clear();
}

void Firmware::FailRequest(uint8_t code) {
  std::lock_guard lock(mutex_);
  registers_->FailedCodes.set(code);
}

void Firmware::FailNthControl(uint64_t n) {
  std::lock_guard lock(mutex_);
  if (n == 0) {
    registers_->FailControlNumber.reset();
  } else {
    registers_->FailControlNumber = registers_->ControlCount + n;
  }
}

void Firmware::ClearFaults() {
  std::lock_guard lock(mutex_);
  Registers& r = *registers_;
  r.FailedCodes.reset();
  r.FailControlNumber.reset();
  r.RefuseAbort = false;
}

void Firmware::RefuseAbort(bool refuse) {
  std::lock_guard lock(mutex_);
  registers_->RefuseAbort = refuse;
}

void Firmware::Unplug() {
  std::lock_guard lock(mutex_);
  registers_->Unplugged = true;
  registers_->BulkChanged.notify_all();
}

void Firmware::SetStreamFaults(const StreamFaults& faults) {
  std::lock_guard lock(mutex_);
  stream_->SetFaults(faults);
  registers_->BulkChanged.notify_all();
}

void Firmware::ForceTemperatureRaw(std::optional<uint16_t> raw) {
  std::lock_guard lock(mutex_);
  registers_->ForcedTemperatureRaw = raw;
}

void Firmware::SetScene(std::shared_ptr<Scene> scene) {
  std::lock_guard lock(mutex_);
  stream_->SetScene(std::move(scene));
}

FirmwareState Firmware::State() const {
  std::lock_guard lock(mutex_);
  Registers& r = *registers_;
  Clock::time_point now = Clock::now();
  AdvanceThermal(r, config_, now);
  FirmwareState s{};
  s.ModelCode = config_.ModelCode;
  s.FirmwareByte = config_.FirmwareByte;
  s.RawSetPoint = r.RawSetPoint;
  s.CoolerOn = r.CoolerOn;
  s.PidErrorGain = r.PidErrorGain;
  s.PidDifferentialGain = r.PidDifferentialGain;
  s.PidTimeFactor = r.PidTimeFactor;
  s.DutyCycle = ReportedDuty(r, config_);
  s.AdcGain = r.AdcGain;
  s.AdcOffset = r.AdcOffset;
  s.AdcPgaScale = r.AdcPgaScale;
  s.AdcCdsEnable = r.AdcCdsEnable;
  s.AdcCdsTiming = r.AdcCdsTiming;
  s.AdcRlcEnable = r.AdcRlcEnable;
  s.AdcRlcDac = r.AdcRlcDac;
  s.AdcRlcV = r.AdcRlcV;
  s.AdcOutputInvert = r.AdcOutputInvert;
  s.AdcMode3 = r.AdcMode3;
  s.BinX = r.BinX;
  s.BinY = r.BinY;
  s.WindowStartX = r.WindowStartX;
  s.WindowEndX = r.WindowEndX;
  s.WindowStartY = r.WindowStartY;
  s.WindowEndY = r.WindowEndY;
  s.ProgrammingMode = r.ProgrammingMode;
  s.SensorCelsius = r.SensorCelsius;
  s.Guiding = now < r.GuideEnd;
  s.GuideOffsetX = r.GuideOffsetX;
  s.GuideOffsetY = r.GuideOffsetY;
  s.Exposing = stream_->Active(now);
  return s;
}

}  // namespace SimulatedCamera
