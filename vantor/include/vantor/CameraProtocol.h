#pragma once

// The camera's command protocol: every command is one control request on the default
// pipe. Host-to-device requests carry their parameters in wValue and wIndex and have
// no data stage; device-to-host requests return 1 or 2 bytes. Multi-byte values are
// little-endian. Image data never travels here: it arrives on the bulk IN pipe.

#include <cstdint>

namespace TarvisUSBInterface::Protocol {

// bmRequestType values. Type bits 6-5 are both set and the recipient is the device;
// the camera expects exactly these, not the vendor-type values 0x40 and 0xC0.
inline constexpr uint8_t HostToDevice = 0x60;
inline constexpr uint8_t DeviceToHost = 0xE0;

// Request codes. "OUT" requests use HostToDevice and no data stage, "IN" requests use
// DeviceToHost with the data stage given.
enum Request : uint8_t {
  SetCameraBinningRequest = 13,      // OUT  wValue = X << 8 | Y
  GetCameraBinningRequest = 14,      // IN   2 bytes: X, Y
  StartExposureRequest = 16,         // OUT  wValue = ms bits 0-15, wIndex = ms bits 16-23
  AbortExposureRequest = 17,         // OUT
  PulseGuideRequest = 18,            // OUT  wValue = duration, wIndex = direction
  GetPulseGuidingRequest = 19,       // IN   1 byte: nonzero while a pulse runs
  GetModelRequest = 20,              // IN   1 byte: model code
  GetFirmwareRequest = 21,           // IN   1 byte: version x 100
  SetCoolingPointRequest = 22,       // OUT  wValue = raw set point, wIndex = cooler on (0/1)
  GetTemperatureRequest = 23,        // IN   2 bytes: raw sensor temperature
  GetCoolerOnRequest = 24,           // IN   1 byte: cooler on flag
  SetADCGainRequest = 25,            // OUT  wValue = Gain << 8 | Offset, wIndex = PgaScale
  SetADCCDSRequest = 26,             // OUT  wValue = CdsEnable << 8 | CdsTimming
  SetADCRLCRequest = 27,             // OUT  wValue = RlcEnable << 8 | RlcDac, wIndex = RlcV
  SetADCAdvConfigRequest = 28,       // OUT  wValue = OutputInvert << 8 | Mode3
  EnterProgrammingModeRequest = 29,  // OUT
  SetCoolingDutyCycleRequest = 30,   // OUT  wValue = duty, 0-50
  SetWindowStartXRequest = 31,       // OUT  wValue = first column (binned camera coordinates)
  SetWindowEndXRequest = 32,         // OUT  wValue = last column
  SetWindowStartYRequest = 33,       // OUT  wValue = first row
  SetWindowEndYRequest = 34,         // OUT  wValue = last row
  GetCoolingDutyRequest = 35,        // IN   1 byte: current duty, 0-50
  SetPIDGainRequest = 36,            // OUT  wValue = differential << 8 | time factor, wIndex = error gain
  GetCoolingPointRequest = 38,       // IN   2 bytes: raw set point
};

// Raw temperature words (sensor and set point) share one linear scale:
// celsius = (raw * 0.00339 - 0.5) / 0.0195. Raw 0 is -25.641 C, one count ~0.174 C.
inline constexpr double TemperatureScale = 0.00339;
inline constexpr double TemperatureOffset = 0.5;
inline constexpr double TemperatureDivisor = 0.0195;

inline constexpr double RawToCelsius(uint16_t raw) {
  return (static_cast<double>(raw) * TemperatureScale - TemperatureOffset) / TemperatureDivisor;
}

// The longest exposure the camera can be told: 24 bits of milliseconds.
inline constexpr uint32_t MaxExposureMs = 0xFFFFFF;

// Largest cooler duty cycle the camera accepts.
inline constexpr uint16_t MaxCoolingDuty = 50;

// Sensor readout area in unbinned camera coordinates.
inline constexpr uint32_t ReadoutAreaWidth = 795;
inline constexpr uint32_t ReadoutAreaHeight = 596;
inline constexpr uint32_t LeftMarginColumns = 3;
inline constexpr uint32_t ActiveWidth = 752;
inline constexpr uint32_t ActiveHeight = 582;
inline constexpr uint32_t TopBandRows = 12;
inline constexpr uint32_t BottomBandRows = 2;
inline constexpr uint32_t OverscanStripColumns = 40;

}  // namespace TarvisUSBInterface::Protocol
