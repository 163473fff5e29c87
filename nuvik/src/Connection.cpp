// Construction, connection, camera state and the capability record.

#include <nuvik/LowLevelDriver.h>
#include <vantor/USBDeviceInstance.h>

#include "Messages.h"

namespace Nuvik {

using TarvisUSBInterface::ADCConfig;
using TarvisUSBInterface::USBDeviceInstance;

LowLevelDriver::LowLevelDriver() : Device(std::make_unique<USBDeviceInstance>()) {}

LowLevelDriver::LowLevelDriver(TarvisUSBInterface::UsbTransport& transport)
    : Device(std::make_unique<USBDeviceInstance>(transport)) {}

// The device instance's destructor joins a running readout thread and closes the
// connection, so nothing outlives the driver.
LowLevelDriver::~LowLevelDriver() = default;

namespace {

// The camera reports its model as one byte, read as signed. Unknown codes are driven
// as the Sonda monochrome camera, the most common of the family.
std::unique_ptr<CameraSpecs> SpecsForModel(char code) {
  switch (static_cast<int8_t>(code)) {
    case 1:
      return std::make_unique<DeepSkyMono>();
    case 2:
      return std::make_unique<DeepSkyColor>();
    case 101:
      return std::make_unique<SondaMono>();
    case 102:
      return std::make_unique<SondaColor>();
    default:
      return std::make_unique<SondaMono>();
  }
}

}  // namespace

// Failures are reported only through IsConnected afterwards.
void LowLevelDriver::Connect() {
  if (!Device->FindAndConnect(TarvisUSBInterface::OSR_DEVICE_INTERFACE)) {
    return;
  }
  char model = 0;
  if (!Device->GetModel(&model)) {
    // Without a model the record cannot be chosen; leave everything as it was.
    Device->Disconnect();
    return;
  }
  Specs = SpecsForModel(model);

  ADCConfig config{};
  config.Gain = static_cast<uint8_t>(Specs->DefaultGain);
  config.Offset = static_cast<uint8_t>(Specs->DefaultOffset);
  config.PgaScale = 2;
  Device->SetADCGain(config);

  Width = Specs->CameraXSize;
  Height = Specs->CameraYSize;
  // Give the device the full-frame window now, so that an exposure started before any
  // subframe or binning call reads a defined window.
  UpdateROI();
}

bool LowLevelDriver::IsConnected() {
  return Device->IsConnected();
}

void LowLevelDriver::Disconnect() {
  Device->Disconnect();
}

CameraStates LowLevelDriver::GetCameraState() {
  uint8_t state = 0;
  Device->GetCameraState(&state);
  return static_cast<CameraStates>(state);
}

// No operation stores a message, so this always throws; kept for hosts that call it.
std::string LowLevelDriver::GetLastError() {
  if (LastError.empty()) {
    throw DriverException(Messages::NoErrorMessage);
  }
  return LastError;
}

const CameraSpecs& LowLevelDriver::RequireSpecs() const {
  if (!Specs) {
    throw DriverException(Messages::NoCameraModel);
  }
  return *Specs;
}

int32_t LowLevelDriver::GetCameraXSize() {
  return RequireSpecs().CameraXSize;
}
int32_t LowLevelDriver::GetCameraYSize() {
  return RequireSpecs().CameraYSize;
}
bool LowLevelDriver::CanAsymmetricBin() {
  return RequireSpecs().CanAsymmetricBin;
}
bool LowLevelDriver::CanGetCoolerPower() {
  return RequireSpecs().CanGetCoolerPower;
}
bool LowLevelDriver::CanSetTemperature() {
  return RequireSpecs().CanSetTemperature;
}
std::string LowLevelDriver::GetDescription() {
  return RequireSpecs().Description;
}
double LowLevelDriver::GetElectronsPerADU() {
  return RequireSpecs().ElectronsPerADU;
}
double LowLevelDriver::GetFullWellCapacity() {
  return RequireSpecs().FullWellCapacity;
}
bool LowLevelDriver::IsColor() {
  return RequireSpecs().IsColor;
}
int32_t LowLevelDriver::GetMaxADU() {
  return RequireSpecs().MaxADU;
}
int16_t LowLevelDriver::GetMaxBinX() {
  return RequireSpecs().MaxBinX;
}
int16_t LowLevelDriver::GetMaxBinY() {
  return RequireSpecs().MaxBinY;
}
float LowLevelDriver::GetPixelSizeX() {
  return RequireSpecs().PixelSizeX;
}
float LowLevelDriver::GetPixelSizeY() {
  return RequireSpecs().PixelSizeY;
}

}  // namespace Nuvik
