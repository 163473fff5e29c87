#pragma once

// Conversions between degrees Celsius and the camera's raw temperature words.

#include <cmath>
#include <cstdint>
#include <optional>

#include <vantor/CameraProtocol.h>

namespace TarvisUSBInterface {

// A sensor or set point word in degrees Celsius: multiply, subtract, divide in double.
inline double RawTemperatureToCelsius(uint16_t raw) {
  return Protocol::RawToCelsius(raw);
}

// The set point magic value: sent as raw 0xFFFF without conversion.
inline constexpr float SetPointPassThrough = 65535.0f;

// Added before truncating the converted set point. A set point read back from the
// camera and narrowed to a 32-bit float lands up to about 0.003 counts below its raw
// word; without this margin truncation would lower half of all set points by one count
// on every round trip. It is far below the fractional part of any value that must
// still truncate down (the smallest of the documented ones is 89.971).
inline constexpr double SetPointRoundTripMargin = 0.01;

// The raw word SetCoolingPoint sends for `celsius`: truncated towards zero, the low 16
// bits taken as a signed number, and at least 1. Empty for NaN and infinities, which
// name no temperature.
inline std::optional<uint16_t> CelsiusToRawSetPoint(float celsius) {
  if (celsius == SetPointPassThrough) {
    return 0xFFFF;
  }
  if (!std::isfinite(celsius)) {
    return std::nullopt;
  }
  double v = (static_cast<double>(celsius) * Protocol::TemperatureDivisor + Protocol::TemperatureOffset) /
             Protocol::TemperatureScale;
  // fmod is exact, so the low 16 bits come out right for every finite float without an
  // out-of-range integer conversion.
  double low = std::fmod(std::trunc(v + SetPointRoundTripMargin), 65536.0);
  auto word = static_cast<int16_t>(static_cast<uint16_t>(static_cast<int32_t>(low) & 0xFFFF));
  return word < 1 ? uint16_t{1} : static_cast<uint16_t>(word);
}

}  // namespace TarvisUSBInterface
