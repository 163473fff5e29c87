// Connects to the first camera on the default USB layer (VANTOR_USB) and prints its
// model, firmware, sensor temperature and cooler state.
#include <cstdio>
#include <string>

#include <vantor/USBDeviceInstance.h>

using namespace TarvisUSBInterface;

int main() {
  UsbTransport& layer = DefaultUsbTransport();
  USBDeviceInstance camera(layer);
  if (!camera.FindAndConnect(OSR_DEVICE_INTERFACE)) {
    // The layer "none" stands in for one that could not be created; why was printed then.
    std::string why = layer.Name() == "none" ? std::string() : layer.LastErrorText();
    std::fprintf(stderr, "No camera found on the '%.*s' USB layer.%s%s\n",
                 static_cast<int>(layer.Name().size()), layer.Name().data(), why.empty() ? "" : " ",
                 why.c_str());
    return 1;
  }

  char model = 0;
  char firmware = 0;
  double sensor = 0.0;
  double setPoint = 0.0;
  bool coolerOn = false;
  bool ok = camera.GetModel(&model) && camera.GetFirmware(&firmware) && camera.GetTemperature(&sensor) &&
            camera.GetCoolingPoint(&setPoint) && camera.IsCoolerOn(&coolerOn);
  uint16_t duty = camera.GetCoolingDutyCycle();
  camera.Disconnect();
  if (!ok) {
    std::fprintf(stderr, "The camera did not answer its status requests.\n");
    return 1;
  }

  auto firmwareByte = static_cast<unsigned char>(firmware);
  std::printf("Model code:         %u\n", static_cast<unsigned char>(model));
  std::printf("Firmware:           %u.%02u\n", firmwareByte / 100, firmwareByte % 100);
  std::printf("Sensor temperature: %.2f C\n", sensor);
  std::printf("Cooler:             %s (set point %.2f C, duty %u of 50)\n", coolerOn ? "on" : "off", setPoint,
              static_cast<unsigned>(duty));
  return 0;
}
