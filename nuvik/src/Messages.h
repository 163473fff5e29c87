#pragma once

// Message texts of DriverException. Hosts match on them, so they never change.

namespace Nuvik::Messages {

inline constexpr const char* InvalidBinning = "Invalid Binning values";
inline constexpr const char* InvalidDuration = "Invalid duration";
inline constexpr const char* InvalidX = "Invalid x";
inline constexpr const char* InvalidY = "Invalid y";
inline constexpr const char* InvalidWidth = "Invalid width";
inline constexpr const char* InvalidHeight = "Invalid height";
inline constexpr const char* StartExposureFailed = "Start exposure failed.";
inline constexpr const char* CommandFailed = "Command failed";
inline constexpr const char* NoExposure = "No exposure";
inline constexpr const char* NoErrorMessage = "No error message";
inline constexpr const char* InvalidTemperature = "Invalid temperature";

// Failures this driver reports where the camera's original driver left it open.
inline constexpr const char* NoCameraModel = "No camera model: connect to a camera first";
inline constexpr const char* NoImage = "No image available";
inline constexpr const char* GeometryChanged =
    "Image geometry changed since the exposure: binning, subframe or readout options differ";
inline constexpr const char* InvalidDiscardedColumns = "Invalid discarded columns";

}  // namespace Nuvik::Messages
