#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

#include <vantor/Guid.h>

#include "Camera.h"
#include "FitsWriter.h"
#include "Interrupt.h"
#include "PngPreview.h"
#include "Progress.h"

#ifndef NUVIK_VERSION
#define NUVIK_VERSION "0"
#endif

namespace NuvikCli {

namespace {

using Clock = std::chrono::steady_clock;
using Nuvik::CameraStates;

constexpr auto PollInterval = std::chrono::milliseconds(50);

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

const char* StateName(CameraStates state) {
  switch (state) {
    case CameraStates::Idle:
      return "idle";
    case CameraStates::Exposing:
      return "exposing";
    case CameraStates::Downloading:
      return "downloading";
    case CameraStates::Error:
      return "error";
  }
  return "unknown";
}

Progress MakeProgress() {
  return Progress(stderr, ::isatty(STDERR_FILENO) == 1);
}

// Checks a converter code given on the command line.
int32_t ConverterCode(const char* option, int32_t value) {
  if (value < 0 || value > 255) {
    throw UsageError(std::string(option) + " " + std::to_string(value) + ": expected a code from 0 to 255");
  }
  return value;
}

// Holds until the sensor is within `tolerance` of the set point the camera regulates
// to. Returns false when interrupted; throws CameraError at the time-out.
bool WaitForTemperature(Nuvik::LowLevelDriver& driver, double tolerance, double timeout, Progress& progress) {
  const auto start = Clock::now();
  const double target = driver.GetSetPointTemperature();
  const double first = driver.GetTemperature();
  while (true) {
    if (Interrupted()) {
      progress.Clear();
      return false;
    }
    const double now = driver.GetTemperature();
    if (std::abs(now - target) <= tolerance) {
      progress.Clear();
      std::printf("sensor at %.2f C (set point %.2f C)\n", now, target);
      std::fflush(stdout);
      return true;
    }
    const double elapsed = SecondsSince(start);
    if (elapsed >= timeout) {
      progress.Clear();
      throw CameraError("the sensor is at " + Format("%.2f", now) + " C and did not reach " +
                        Format("%.2f", target) + " C +/- " + Format("%.2f", tolerance) + " C within " +
                        Format("%.0f", timeout) + " s");
    }
    const double done = std::abs(first - target) > tolerance
                            ? (std::abs(first - target) - std::abs(now - target)) / std::abs(first - target)
                            : 0.0;
    progress.Update("Cooling " + Format("%.1f", now) + " C", done, timeout - elapsed);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

void PrintCoolerStatus(Nuvik::LowLevelDriver& driver) {
  const bool on = driver.IsCoolerOn();
  std::printf("temperature:    %.2f C\n", driver.GetTemperature());
  std::printf("set point:      %.2f C\n", driver.GetSetPointTemperature());
  std::printf("cooler:         %s\n", on ? "on" : "off");
  if (driver.CanGetCoolerPower()) {
    std::printf("cooler power:   %.0f %%\n", 100.0 * driver.GetCoolingPower());
  }
}

// The facade's image, [column, row], as a row-major frame.
Frame ToFrame(const Nuvik::ImageArray& image) {
  Frame frame;
  frame.Width = image.Width();
  frame.Height = image.Height();
  frame.Pixels.resize(static_cast<size_t>(frame.Width) * static_cast<size_t>(frame.Height));
  for (int32_t x = 0; x < frame.Width; ++x) {
    for (int32_t y = 0; y < frame.Height; ++y) {
      frame.Pixels[static_cast<size_t>(y) * frame.Width + x] = image(x, y);
    }
  }
  return frame;
}

// Preview next to a series: x.png -> x-0001.png, as for the FITS files.
std::filesystem::path PreviewPath(const std::string& preview, int32_t index, int32_t count) {
  std::filesystem::path file(preview);
  if (count > 1) {
    char number[16];
    std::snprintf(number, sizeof number, "-%04d", index);
    file.replace_filename(file.stem().string() + number + file.extension().string());
  }
  return file;
}

// A set point the camera did not take must not pass for one it holds: capturing or
// waiting on it would run at the wrong temperature.
void SetPointOrThrow(Nuvik::LowLevelDriver& d, double celsius) {
  if (!d.SetSetPointTemperature(celsius)) {
    throw CameraError("the camera did not take the set point");
  }
}

}  // namespace

ExposureOutcome Expose(Nuvik::LowLevelDriver& driver, int32_t ms, size_t bytes, double& bytesPerSecond,
                       Progress& progress) {
  driver.StartExposure(ms);
  const auto start = Clock::now();
  const double exposure = ms / 1000.0;
  std::optional<Clock::time_point> downloadStart;
  // The camera's own readout gives up 4.5 s after the exposure (plus a pipe time-out of
  // 2 s); this only guards against a driver that never reports either outcome.
  const double watchdog = exposure + 30.0;
  while (true) {
    if (driver.IsImageReady()) {
      if (downloadStart) {
        const double took = SecondsSince(*downloadStart);
        if (took > 0.01) {
          bytesPerSecond = static_cast<double>(bytes) / took;
        }
      }
      progress.Clear();
      return ExposureOutcome::Ready;
    }
    const CameraStates state = driver.GetCameraState();
    if (state == CameraStates::Error) {
      progress.Clear();
      throw CameraError(
          "the camera did not deliver the image: the readout timed out or the camera was disconnected");
    }
    if (Interrupted()) {
      progress.Clear();
      if (state == CameraStates::Exposing) {
        std::fprintf(stderr, "nuvik: interrupted, aborting the exposure\n");
        try {
          driver.AbortExposure();
        } catch (const Nuvik::DriverException&) {
          // The image started to arrive meanwhile: let the readout finish below.
        }
      } else {
        std::fprintf(stderr, "nuvik: interrupted, waiting for the download to end\n");
      }
      // After an abort the readout thread still waits in a bulk read; it notices the
      // abort when that read fails (state Error), or completes if the image arrives.
      const auto limit = Clock::now() + std::chrono::milliseconds(ms) + std::chrono::seconds(8);
      while (Clock::now() < limit && !driver.IsImageReady() &&
             driver.GetCameraState() != CameraStates::Error) {
        std::this_thread::sleep_for(PollInterval);
      }
      return ExposureOutcome::Interrupted;
    }
    const double elapsed = SecondsSince(start);
    if (elapsed > watchdog) {
      progress.Clear();
      try {
        driver.AbortExposure();
      } catch (const Nuvik::DriverException&) {
      }
      throw CameraError("the camera did not finish the exposure in time");
    }
    if (state == CameraStates::Downloading) {
      if (!downloadStart) {
        downloadStart = Clock::now();
      }
      const double expected = static_cast<double>(bytes) / bytesPerSecond;
      const double done = SecondsSince(*downloadStart);
      progress.Update("Downloading", std::min(0.99, done / expected), expected - done);
    } else {
      progress.Update("Exposing", exposure > 0 ? elapsed / exposure : 1.0, exposure - elapsed);
    }
    std::this_thread::sleep_for(PollInterval);
  }
}

int RunList(bool simulate) {
  CameraSession session(simulate);
  std::vector<std::string> paths;
  const auto error = session.Transport().EnumerateDevices(TarvisUSBInterface::OSR_DEVICE_INTERFACE, paths);
  if (error != TarvisUSBInterface::UsbError::None || paths.empty()) {
    throw CameraError(NoCameraMessage(session.Transport()));
  }
  // The driver opens the first camera listed; the others are only named.
  session.Connect();
  auto& driver = session.Driver();
  const auto firmware = driver.GetFirmware();
  std::printf("%zu camera%s found (USB layer: %.*s)\n", paths.size(), paths.size() == 1 ? "" : "s",
              static_cast<int>(session.Transport().Name().size()), session.Transport().Name().data());
  std::printf("  1: %s, firmware %s\n     %s\n", driver.GetDescription().c_str(),
              firmware ? firmware->c_str() : "unknown", paths[0].c_str());
  for (size_t i = 1; i < paths.size(); ++i) {
    std::printf("  %zu: %s (not opened: nuvik uses the first camera)\n", i + 1, paths[i].c_str());
  }
  return 0;
}

int RunInfo(bool simulate) {
  CameraSession session(simulate);
  session.Connect();
  auto& d = session.Driver();
  const auto firmware = d.GetFirmware();
  std::printf("model:          %s\n", d.GetDescription().c_str());
  std::printf("firmware:       %s\n", firmware ? firmware->c_str() : "unknown");
  std::printf("sensor:         %d x %d pixels of %.1f x %.1f um, %s\n", d.GetCameraXSize(),
              d.GetCameraYSize(), d.GetPixelSizeX(), d.GetPixelSizeY(),
              d.IsColor() ? "colour (RGGB mosaic)" : "monochrome");
  std::printf("binning:        up to %d x %d%s\n", d.GetMaxBinX(), d.GetMaxBinY(),
              d.CanAsymmetricBin() ? ", horizontal and vertical may differ" : "");
  std::printf("full well:      %.0f e-\n", d.GetFullWellCapacity());
  std::printf("gain:           %.4f e-/ADU, maximum %d ADU\n", d.GetElectronsPerADU(), d.GetMaxADU());
  std::printf("cooling:        %s, power %s\n", d.CanSetTemperature() ? "regulated" : "not regulated",
              d.CanGetCoolerPower() ? "reported" : "not reported");
  std::printf("state:          %s\n", StateName(d.GetCameraState()));
  PrintCoolerStatus(d);
  return 0;
}

int RunCapture(const CaptureOptions& o) {
  // Everything that can be checked without the camera is checked first.
  const FrameType type = ParseFrameType(o.Type);
  const double seconds = o.ExposureSeconds.value_or(type == FrameType::Bias ? 0.0 : 1.0);
  const int32_t ms = ExposureMilliseconds(seconds);
  if (o.Count < 1) {
    throw UsageError("--count " + std::to_string(o.Count) + ": expected 1 or more frames");
  }
  const Binning bin = ParseBinning(o.Bin);
  Subframe frame;
  if (o.Subframe) {
    frame = ParseSubframe(*o.Subframe);
  }
  if (o.Temperature) {
    CheckSetPoint(*o.Temperature);
  }
  if (o.Wait && !o.Temperature) {
    throw UsageError("--wait needs --temperature");
  }
  if (!(o.Tolerance > 0.0)) {
    throw UsageError("--tolerance must be above 0 C");
  }
  if (!(o.WaitTimeout >= 0.0)) {
    throw UsageError("--wait-timeout must be 0 or more seconds");
  }
  if (o.Gain) {
    ConverterCode("--gain", *o.Gain);
  }
  if (o.Offset) {
    ConverterCode("--offset", *o.Offset);
  }
  if (o.Preview && std::filesystem::path(*o.Preview).extension() != ".png") {
    throw UsageError("--preview " + *o.Preview + ": the preview is a PNG file, name it *.png");
  }
  // Catches a bad name pattern before the first exposure.
  OutputPath(o.Output, o.NamePattern, type, 1, o.Count, std::chrono::system_clock::now(), seconds);
  if (type == FrameType::Bias && ms > 0) {
    std::fprintf(stderr, "nuvik: note: a bias frame is normally taken with --exposure 0\n");
  }

  CameraSession session(o.Simulate);
  session.Connect();
  auto& d = session.Driver();

  CheckBinning(bin, d.GetMaxBinX(), d.GetMaxBinY(), d.CanAsymmetricBin());
  if (!o.Subframe) {
    frame = Subframe{0, 0, d.GetCameraXSize() / bin.X, d.GetCameraYSize() / bin.Y};
  }
  CheckSubframe(frame, bin, d.GetCameraXSize(), d.GetCameraYSize());
  // The camera measures the row bias in the overscan strip of a full readout only, and
  // shows the overscan area only of a plain full frame; elsewhere the driver would
  // drop the option silently and the file would claim what was not done.
  const bool fullFrame =
      frame.Width * bin.X == d.GetCameraXSize() && frame.Height * bin.Y == d.GetCameraYSize();
  if (o.Overscan && (!fullFrame || o.Fast)) {
    throw UsageError("--overscan needs the full frame (no --subframe) and normal readout (no --fast)");
  }
  if (o.ShowOverscan && (!fullFrame || o.Fast || o.Overscan)) {
    throw UsageError(
        "--show-overscan shows the whole readout area of a full frame; it does not combine with "
        "--subframe, --fast or --overscan");
  }

  ConverterDefaults converter = DefaultConverter(d.GetDescription());
  if (o.Gain || o.Offset) {
    converter = {o.Gain.value_or(converter.Gain), o.Offset.value_or(converter.Offset)};
    d.ChangeGainOffset(converter.Gain, converter.Offset);
  }

  Progress progress = MakeProgress();
  if (o.Temperature) {
    // Switch on first, then set: setting keeps the cooler state the camera reports,
    // and the set point is not rounded through a second read-back.
    d.SetCoolerOn(true);
    SetPointOrThrow(d, *o.Temperature);
    if (o.Wait && !WaitForTemperature(d, o.Tolerance, o.WaitTimeout, progress)) {
      return InterruptedExitCode;
    }
  }

  d.SetBin(bin.X, bin.Y);
  d.SetSubframeX(frame.X);
  d.SetSubframeY(frame.Y);
  d.SetSubframeWidth(frame.Width);
  d.SetSubframeHeight(frame.Height);
  d.ChangeOverscan(o.Overscan, o.Overscan);
  d.SetFastReadout(o.Fast);
  d.ShowOverScanArea(o.ShowOverscan);

  const size_t bytes =
      static_cast<size_t>(d.GetSubframeWidth()) * static_cast<size_t>(d.GetSubframeHeight()) * 2;
  double bytesPerSecond = 8e6;  // refined from the first download
  for (int32_t i = 1; i <= o.Count; ++i) {
    if (Interrupted()) {
      return InterruptedExitCode;
    }
    double ccdTemp = 0.0;
    const bool haveTemp = d.GetTemperature(&ccdTemp);
    const bool coolerOn = d.IsCoolerOn();
    const double setTemp = coolerOn ? d.GetSetPointTemperature() : 0.0;

    if (Expose(d, ms, bytes, bytesPerSecond, progress) == ExposureOutcome::Interrupted) {
      return InterruptedExitCode;
    }
    const Frame image = ToFrame(d.GetImage());

    FitsHeader h;
    h.ExposureSeconds = ms / 1000.0;
    h.StartUtc = d.GetLastExposureStartTime();
    h.ImageType = ImageTypeName(type);
    h.Instrument = d.GetDescription();
    if (haveTemp) {
      h.CcdTemperature = ccdTemp;
    }
    if (coolerOn) {
      h.SetTemperature = setTemp;
    }
    h.BinX = d.GetBinX();
    h.BinY = d.GetBinY();
    h.PixelSizeX = static_cast<double>(d.GetPixelSizeX()) * h.BinX;
    h.PixelSizeY = static_cast<double>(d.GetPixelSizeY()) * h.BinY;
    h.SubframeX = d.GetSubframeX();
    h.SubframeY = d.GetSubframeY();
    h.FastReadout = o.Fast;
    h.Gain = converter.Gain;
    h.Offset = converter.Offset;
    h.ElectronsPerAdu = d.GetElectronsPerADU();
    h.OverscanCorrected = o.Overscan;
    h.OverscanShown = o.ShowOverscan;
    if (d.IsLastImageColor()) {
      h.Mosaic = FitsHeader::Bayer{"RGGB", d.GetLastImageColorShiftX(), d.GetLastImageColorShiftY() % 2};
    }
    h.Software = std::string("nuvik ") + NUVIK_VERSION;

    const auto path = OutputPath(o.Output, o.NamePattern, type, i, o.Count, h.StartUtc, h.ExposureSeconds);
    try {
      WriteFits(path, image, h);
      if (o.Preview) {
        WritePngPreview(PreviewPath(*o.Preview, i, o.Count), image, h.Mosaic);
      }
    } catch (const std::runtime_error& e) {
      // A file that cannot be written is not the camera's fault, but it ends the series.
      throw CameraError(e.what());
    }
    progress.Clear();
    const std::string preview = o.Preview ? ", preview " + PreviewPath(*o.Preview, i, o.Count).string() : "";
    std::printf("saved %s %d/%d: %s (%dx%d, %.3f s)%s\n", FrameTypeWord(type), i, o.Count, path.c_str(),
                image.Width, image.Height, h.ExposureSeconds, preview.c_str());
    std::fflush(stdout);
  }
  return 0;
}

int RunCool(const CoolOptions& o) {
  if (o.On && o.Off) {
    throw UsageError("--on and --off exclude each other");
  }
  if (o.SetPoint) {
    CheckSetPoint(*o.SetPoint);
  }
  if (o.Wait && !o.SetPoint && !o.On) {
    throw UsageError("--wait needs --set or --on");
  }
  if (!(o.Tolerance > 0.0) || !(o.WaitTimeout >= 0.0)) {
    throw UsageError("--tolerance must be above 0 C and --wait-timeout 0 or more seconds");
  }
  CameraSession session(o.Simulate);
  session.Connect();
  auto& d = session.Driver();
  if (!d.CanSetTemperature() && (o.SetPoint || o.On)) {
    throw UsageError("this camera's cooler is not regulated: no set point can be given");
  }
  // A set point alone also switches the cooler on, since that is what it is for.
  if (o.On || (o.SetPoint && !o.Off)) {
    d.SetCoolerOn(true);
  }
  if (o.Off) {
    d.SetCoolerOn(false);
  }
  if (o.SetPoint) {
    SetPointOrThrow(d, *o.SetPoint);
  }
  if (o.Wait) {
    Progress progress = MakeProgress();
    if (!WaitForTemperature(d, o.Tolerance, o.WaitTimeout, progress)) {
      return InterruptedExitCode;
    }
  }
  PrintCoolerStatus(d);
  return 0;
}

int RunGuide(bool simulate, const std::string& directionText, int32_t milliseconds) {
  const GuideDirection direction = ParseGuideDirection(directionText);
  CheckGuideDuration(milliseconds);
  CameraSession session(simulate);
  session.Connect();
  auto& d = session.Driver();
  d.PulseGuide(static_cast<int32_t>(direction), milliseconds);
  // The pulse runs in the camera; stay until it has ended so that a script's next
  // pulse does not overlap it.
  const auto limit = Clock::now() + std::chrono::milliseconds(milliseconds) + std::chrono::seconds(2);
  while (Clock::now() < limit && d.IsPulseGuiding()) {
    if (Interrupted()) {
      return InterruptedExitCode;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::printf("guided %s for %d ms\n", directionText.c_str(), milliseconds);
  return 0;
}

int RunAdc(const AdcOptions& o) {
  const bool gainGroup = o.Gain || o.Offset || o.PgaScale;
  const bool cdsGroup = o.Cds || o.CdsTiming;
  const bool rlcGroup = o.Rlc || o.RlcV || o.RlcDac;
  const bool advGroup = o.Mode3 || o.Invert;
  if (!gainGroup && !cdsGroup && !rlcGroup && !advGroup) {
    throw UsageError("nothing to set: give --gain/--offset, or converter parameters (see nuvik adc --help)");
  }
  for (auto [name, value] : {std::pair{"--gain", o.Gain},
                             {"--offset", o.Offset},
                             {"--pga-scale", o.PgaScale},
                             {"--cds-timing", o.CdsTiming},
                             {"--rlc-v", o.RlcV}}) {
    if (value) {
      ConverterCode(name, *value);
    }
  }
  CameraSession session(o.Simulate);
  session.Connect();
  auto& d = session.Driver();
  const ConverterDefaults defaults = DefaultConverter(d.GetDescription());
  const int32_t gain = o.Gain.value_or(defaults.Gain);
  const int32_t offset = o.Offset.value_or(defaults.Offset);
  if (!cdsGroup && !rlcGroup && !advGroup && !o.PgaScale) {
    d.ChangeGainOffset(gain, offset);
    std::printf("converter gain %d, offset %d\n", gain, offset);
  } else {
    d.ChangeADCParameters(offset, gain, o.Cds.value_or(false), o.CdsTiming.value_or(0), o.Rlc.value_or(false),
                          o.RlcV.value_or(0), o.RlcDac.value_or(false) ? 1 : 0, o.Mode3.value_or(false),
                          o.PgaScale.value_or(2), o.Invert.value_or(false), gainGroup, cdsGroup, rlcGroup,
                          advGroup);
    std::printf("converter updated:%s%s%s%s\n", gainGroup ? " gain/offset/scale" : "", cdsGroup ? " CDS" : "",
                rlcGroup ? " RLC" : "", advGroup ? " mode3/invert" : "");
  }
  std::printf("note: the camera returns to gain %d, offset %d at the next connection\n", defaults.Gain,
              defaults.Offset);
  return 0;
}

}  // namespace NuvikCli
