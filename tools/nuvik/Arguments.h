#pragma once

// Parsing and checking of the command-line values that need more than a number:
// binning, subframe, exposure time, frame type, set point, guide pulses and output
// names. Every refusal is a UsageError, which the tool reports with exit code 2.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace NuvikCli {

// A bad argument: the message says which value is wrong and why. Exit code 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The camera or the link failed: no camera, refused command, time-out, disconnect.
// Exit code 1.
class CameraError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Binning {
  int32_t X = 1;
  int32_t Y = 1;
};
// "2" (square) or "2x1" (horizontal x vertical). Factors must be positive integers.
Binning ParseBinning(std::string_view text);

// Subframe in binned pixels: origin and size.
struct Subframe {
  int32_t X = 0;
  int32_t Y = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};
// "X,Y,W,H" in binned pixels.
Subframe ParseSubframe(std::string_view text);

// Longest exposure the camera's 24-bit millisecond counter can be told.
inline constexpr int64_t MaxExposureMs = 0xFFFFFF;
// Seconds (decimals allowed) to whole milliseconds, rounded to nearest.
int32_t ExposureMilliseconds(double seconds);

enum class FrameType { Light, Dark, Bias, Flat };
FrameType ParseFrameType(std::string_view text);
// 'Light Frame', 'Dark Frame', ... as stacking software expects in IMAGETYP.
const char* ImageTypeName(FrameType type);
// light, dark, bias, flat: for file names.
const char* FrameTypeWord(FrameType type);

// The cooler regulates between these set points (degrees Celsius).
inline constexpr double MinSetPoint = -30.0;
inline constexpr double MaxSetPoint = 30.0;
void CheckSetPoint(double celsius);

// Checks against the connected camera's capabilities.
void CheckBinning(const Binning& bin, int32_t maxBinX, int32_t maxBinY, bool canAsymmetricBin);
// The whole subframe must lie on the binned sensor.
void CheckSubframe(const Subframe& frame, const Binning& bin, int32_t sensorWidth, int32_t sensorHeight);

// Guide port: the direction codes the camera's guide relays use.
enum class GuideDirection : int32_t { North = 0, South = 1, East = 2, West = 3 };
GuideDirection ParseGuideDirection(std::string_view text);
// The pulse length travels as a 16-bit millisecond count.
inline constexpr int32_t MaxGuideMs = 65535;
void CheckGuideDuration(int32_t milliseconds);

// Where frame `index` (1-based) of `count` goes.
//  - `output` empty: the current directory with the pattern;
//  - `output` an existing directory or ending in '/': that directory with the pattern;
//  - otherwise a file name; for a series (count > 1) the frame number is inserted
//    before the extension: x.fits -> x-0001.fits.
// Pattern fields: {type} light/dark/bias/flat, {n} frame number (4 digits),
// {date} UTC start as 20261211T201500, {exp} exposure in seconds.
std::filesystem::path OutputPath(const std::string& output, const std::string& pattern, FrameType type,
                                 int32_t index, int32_t count, std::chrono::system_clock::time_point start,
                                 double exposureSeconds);
inline constexpr const char* DefaultNamePattern = "{type}-{date}-{n}.fits";

}  // namespace NuvikCli
