#pragma once

// Opening the camera for one command: the simulated camera when asked for, the
// process's USB layer otherwise; and turning a failed connection into a message that
// tells the user what to check.

#include <memory>
#include <string>

#include <nuvik/LowLevelDriver.h>
#include <vantor/UsbTransport.h>

namespace NuvikCli {

class CameraSession {
 public:
  // Chooses the USB layer; talks to no camera yet.
  explicit CameraSession(bool simulate);
  ~CameraSession();

  TarvisUSBInterface::UsbTransport& Transport() { return *transport_; }
  Nuvik::LowLevelDriver& Driver() { return *driver_; }

  // Connects to the first camera. Throws CameraError with the likely causes when none
  // answers.
  void Connect();

 private:
  std::unique_ptr<TarvisUSBInterface::UsbTransport> ownedTransport_;  // the simulated camera
  TarvisUSBInterface::UsbTransport* transport_ = nullptr;
  // Declared after the layer it borrows, so it is destroyed first.
  std::unique_ptr<Nuvik::LowLevelDriver> driver_;
};

// "No camera found." and, for a real USB layer, what usually causes it.
std::string NoCameraMessage(TarvisUSBInterface::UsbTransport& transport);

// The converter gain and offset that Connect programs for this model.
struct ConverterDefaults {
  int32_t Gain;
  int32_t Offset;
};
ConverterDefaults DefaultConverter(const std::string& description);

}  // namespace NuvikCli
