#pragma once

// The subcommands of nuvik. Each returns the process exit code (0, or 130 after
// Ctrl-C) and throws UsageError (exit 2) or CameraError (exit 1) on failure.

#include <cstdint>
#include <optional>
#include <string>

#include "Arguments.h"
#include "Progress.h"

namespace Nuvik {
class LowLevelDriver;
}

namespace NuvikCli {

enum class ExposureOutcome { Ready, Interrupted };
// Runs one exposure of `ms` on a configured driver until its image is ready. `bytes`
// is the frame size for the download estimate, refined in `bytesPerSecond`. Ctrl-C
// while exposing aborts the exposure and waits until the readout has given up, so the
// camera is ready for the next one. Throws CameraError when the readout fails.
ExposureOutcome Expose(Nuvik::LowLevelDriver& driver, int32_t ms, size_t bytes, double& bytesPerSecond,
                       Progress& progress);

int RunList(bool simulate);
int RunInfo(bool simulate);

struct CaptureOptions {
  bool Simulate = false;
  std::optional<double> ExposureSeconds;  // default: 0 for bias frames, 1 s otherwise
  int32_t Count = 1;
  std::string Bin = "1";
  std::optional<std::string> Subframe;
  bool Fast = false;
  bool Overscan = false;
  bool ShowOverscan = false;
  std::string Type = "light";
  std::optional<double> Temperature;
  bool Wait = false;
  double Tolerance = 0.5;    // C
  double WaitTimeout = 600;  // s
  std::string Output;        // file, or directory for the name pattern
  std::string NamePattern = DefaultNamePattern;
  std::optional<std::string> Preview;
  std::optional<int32_t> Gain, Offset;
};
int RunCapture(const CaptureOptions& options);

struct CoolOptions {
  bool Simulate = false;
  std::optional<double> SetPoint;
  bool On = false;
  bool Off = false;
  bool Wait = false;
  double Tolerance = 0.5;
  double WaitTimeout = 600;
};
int RunCool(const CoolOptions& options);

int RunGuide(bool simulate, const std::string& direction, int32_t milliseconds);

struct AdcOptions {
  bool Simulate = false;
  std::optional<int32_t> Gain, Offset, PgaScale;
  std::optional<bool> Cds;
  std::optional<int32_t> CdsTiming;
  std::optional<bool> Rlc;
  std::optional<int32_t> RlcV;
  std::optional<bool> RlcDac;
  std::optional<bool> Mode3, Invert;
};
int RunAdc(const AdcOptions& options);

}  // namespace NuvikCli
