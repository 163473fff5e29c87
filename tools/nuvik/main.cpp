// nuvik: the camera from a shell. Lists cameras, shows their state, captures FITS
// frames, runs the cooler, pulses the guide port and programs the converter.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#include <nuvik/LowLevelDriver.h>

#include "Arguments.h"
#include "Commands.h"
#include "Interrupt.h"

namespace {

using namespace NuvikCli;

constexpr int UsageExit = 2;
constexpr int CameraExit = 1;

// Facade messages that mean the user asked for something impossible; the rest are
// camera failures.
bool IsArgumentMessage(const std::string& message) {
  return message.rfind("Invalid", 0) == 0;
}

void AddSimulate(CLI::App& command, bool& simulate) {
  command.add_flag("--simulate", simulate,
                   "Use the simulated camera (as VANTOR_USB=sim does); VANTOR_SIM_MODEL picks its model");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "nuvik: control a cooled CCD camera from the shell: list cameras, capture FITS frames, cool, guide"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("nuvik ") + NUVIK_VERSION);
  bool simulate = false;
  AddSimulate(app, simulate);
  app.footer(
      "Exit codes: 0 success, 1 camera failure, 2 bad arguments, 130 interrupted (Ctrl-C).\n"
      "Run 'nuvik COMMAND --help' for the options of a command.");

  auto* list = app.add_subcommand("list", "List the cameras found, with model and firmware");
  AddSimulate(*list, simulate);

  auto* info = app.add_subcommand("info", "Show the camera's capabilities, state, temperature and cooler");
  AddSimulate(*info, simulate);

  CaptureOptions capture;
  auto* cap = app.add_subcommand("capture", "Take one frame or a series and save them as FITS");
  AddSimulate(*cap, capture.Simulate);
  cap->add_option("-e,--exposure", capture.ExposureSeconds,
                  "Exposure time in seconds, decimals allowed (default 1, or 0 for --type bias)");
  cap->add_option("-n,--count", capture.Count, "Number of frames")->capture_default_str();
  cap->add_option("-b,--bin", capture.Bin, "Binning: X for XxX, or XxY, e.g. 2 or 2x1")
      ->capture_default_str();
  cap->add_option("--subframe", capture.Subframe,
                  "Window X,Y,WIDTH,HEIGHT in binned pixels (default whole sensor)");
  cap->add_flag("--fast", capture.Fast, "Fast readout (half the rows read, the rest interpolated)");
  cap->add_flag("--overscan", capture.Overscan, "Remove the row bias measured in the overscan strip");
  cap->add_flag("--show-overscan", capture.ShowOverscan, "Keep the overscan area in the image");
  cap->add_option("-t,--type", capture.Type, "Frame type: light, dark, bias or flat")->capture_default_str();
  cap->add_option("--temperature", capture.Temperature,
                  "Cool to this set point (C, -30 to 30) before capturing");
  cap->add_flag("--wait", capture.Wait, "With --temperature: hold until the sensor is within --tolerance");
  cap->add_option("--tolerance", capture.Tolerance, "Temperature tolerance for --wait, in C")
      ->capture_default_str();
  cap->add_option("--wait-timeout", capture.WaitTimeout,
                  "Give up waiting for the temperature after this many s")
      ->capture_default_str();
  cap->add_option("-o,--output", capture.Output,
                  "Output FITS file, or a directory for files named by --name (default: current directory); "
                  "a series numbers the file: x.fits -> x-0001.fits");
  cap->add_option("--name", capture.NamePattern,
                  "File name pattern in an output directory; fields {type} {n} {date} {exp}")
      ->capture_default_str();
  cap->add_option("--preview", capture.Preview, "Also write a stretched PNG preview to this file");
  cap->add_option("--gain", capture.Gain, "Converter gain code 0-255 (default: the model's)");
  cap->add_option("--offset", capture.Offset, "Converter offset code 0-255 (default: the model's)");

  CoolOptions cool;
  auto* coolCmd = app.add_subcommand(
      "cool",
      "Set the cooler's set point, switch it on or off, and show its status (with no options: status)");
  AddSimulate(*coolCmd, cool.Simulate);
  coolCmd->add_option("--set", cool.SetPoint,
                      "Set point in C (-30 to 30); switches the cooler on unless --off");
  coolCmd->add_flag("--on", cool.On, "Switch the cooler on");
  coolCmd->add_flag("--off", cool.Off, "Switch the cooler off");
  coolCmd->add_flag("--wait", cool.Wait, "Hold until the sensor is within --tolerance of the set point");
  coolCmd->add_option("--tolerance", cool.Tolerance, "Tolerance for --wait, in C")->capture_default_str();
  coolCmd->add_option("--wait-timeout", cool.WaitTimeout, "Give up waiting after this many s")
      ->capture_default_str();

  std::string direction;
  int32_t duration = 0;
  auto* guide = app.add_subcommand("guide", "Pulse the guide port: guide DIRECTION MILLISECONDS");
  AddSimulate(*guide, simulate);
  guide->add_option("direction", direction, "north, south, east or west")->required();
  guide->add_option("milliseconds", duration, "Pulse length, 1 to 65535 ms")->required();

  AdcOptions adc;
  auto* adcCmd = app.add_subcommand(
      "adc",
      "Program the analog front end: gain and offset, or the full converter parameters. The camera returns "
      "to "
      "the model's defaults at the next connection; capture --gain/--offset sets them for a capture");
  AddSimulate(*adcCmd, adc.Simulate);
  adcCmd->add_option("--gain", adc.Gain, "Gain code 0-255");
  adcCmd->add_option("--offset", adc.Offset, "Offset code 0-255");
  adcCmd->add_option("--pga-scale", adc.PgaScale, "Amplifier scale code 0-255 (default 2)");
  adcCmd->add_option("--cds", adc.Cds, "Correlated double sampling on or off (true/false)");
  adcCmd->add_option("--cds-timing", adc.CdsTiming, "CDS timing code 0-255");
  adcCmd->add_option("--rlc", adc.Rlc, "Reference level clamp on or off (true/false)");
  adcCmd->add_option("--rlc-v", adc.RlcV, "Clamp voltage code 0-255");
  adcCmd->add_option("--rlc-dac", adc.RlcDac, "Clamp reference from the DAC (true/false)");
  adcCmd->add_option("--mode3", adc.Mode3, "Converter mode 3 (true/false)");
  adcCmd->add_option("--invert", adc.Invert, "Invert the converter output (true/false)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return UsageExit;
  }

  InstallInterruptHandler();
  try {
    if (*list) {
      return RunList(simulate);
    }
    if (*info) {
      return RunInfo(simulate);
    }
    if (*cap) {
      capture.Simulate = capture.Simulate || simulate;
      return RunCapture(capture);
    }
    if (*coolCmd) {
      cool.Simulate = cool.Simulate || simulate;
      return RunCool(cool);
    }
    if (*guide) {
      return RunGuide(simulate, direction, duration);
    }
    if (*adcCmd) {
      adc.Simulate = adc.Simulate || simulate;
      return RunAdc(adc);
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "nuvik: error: %s\n", e.what());
    return UsageExit;
  } catch (const CameraError& e) {
    std::fprintf(stderr, "nuvik: camera error: %s\n", e.what());
    return CameraExit;
  } catch (const Nuvik::DriverException& e) {
    std::fprintf(stderr, "nuvik: %s: %s\n", IsArgumentMessage(e.what()) ? "error" : "camera error", e.what());
    return IsArgumentMessage(e.what()) ? UsageExit : CameraExit;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nuvik: error: %s\n", e.what());
    return CameraExit;
  }
  return UsageExit;
}
