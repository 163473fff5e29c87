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

// The raw word SetCoolingPoint sends for `celsius`: truncated towards zero and kept
// within 1 .. 65534. Below 1 is the coldest set point the camera takes; above the range
// the word saturates instead of wrapping, so a very warm set point can never turn into
// the coldest one, and 0xFFFF stays reserved for the exact value 65535.0. Empty for NaN
// and infinities, which name no temperature.
inline std::optional<uint16_t> CelsiusToRawSetPoint(float celsius) {
  if (celsius == SetPointPassThrough) {
    return 0xFFFF;
  }
  if (!std::isfinite(celsius)) {
    return std::nullopt;
  }
  double v = (static_cast<double>(celsius) * Protocol::TemperatureDivisor + Protocol::TemperatureOffset) /
             Protocol::TemperatureScale;
  double word = std::trunc(v + SetPointRoundTripMargin);
  if (word < 1.0) {
    return 1;
  }
  if (word > 65534.0) {
    return 65534;
  }
  return static_cast<uint16_t>(word);
}

}  // namespace TarvisUSBInterface
