#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <simcam/Firmware.h>

namespace SimulatedCamera {
namespace {

// Reads a byte (0-255, decimal) from the environment variable `name` into `value`. An
// unset variable leaves the default; a bad one is reported and ignored.
void ReadByte(const char* name, uint8_t& value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') {
    return;
  }
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < 0 || parsed > 255) {
    std::fprintf(stderr, "simulated camera: ignoring %s='%s' (expected a number from 0 to 255); using %u\n",
                 name, text, static_cast<unsigned>(value));
    return;
  }
  value = static_cast<uint8_t>(parsed);
}

}  // namespace

FirmwareConfig FirmwareConfig::FromEnvironment() {
  FirmwareConfig config;
  ReadByte("VANTOR_SIM_MODEL", config.ModelCode);
  ReadByte("VANTOR_SIM_FIRMWARE", config.FirmwareByte);
  return config;
}

}  // namespace SimulatedCamera
