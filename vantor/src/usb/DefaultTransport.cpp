#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <simcam/SimTransport.h>
#include <vantor/UsbTransport.h>

#include "usb/libusb/LibusbTransport.h"

namespace TarvisUSBInterface {
namespace {

// The layer used when the requested one cannot be created: it finds no device, so
// FindAndConnect fails cleanly instead of the process crashing.
class NoDeviceTransport final : public UsbTransport {
 public:
  explicit NoDeviceTransport(std::string reason) : reason_(std::move(reason)) {}

  std::string_view Name() const override { return "none"; }
  // Non-blocking; any thread; always None with an empty list.
  UsbError EnumerateDevices(const GUID&, std::vector<std::string>& devicePaths) override {
    devicePaths.clear();
    return UsbError::None;
  }
  // Every other call fails: there is nothing to open or talk to.
  UsbError OpenDevice(const std::string&, TransportHandle&) override { return UsbError::NotFound; }
  UsbError InitializeInterface(TransportHandle, TransportHandle&) override {
    return UsbError::InvalidArgument;
  }
  UsbError QueryDeviceInformation(TransportHandle, uint32_t, void*, uint32_t&) override {
    return UsbError::InvalidArgument;
  }
  UsbError QueryInterfaceSettings(TransportHandle, uint8_t, UsbInterfaceDescriptor&) override {
    return UsbError::InvalidArgument;
  }
  UsbError QueryPipe(TransportHandle, uint8_t, uint8_t, UsbPipeInformation&) override {
    return UsbError::InvalidArgument;
  }
  UsbError SetPipeTimeout(TransportHandle, uint8_t, uint32_t) override { return UsbError::InvalidArgument; }
  UsbError ControlTransfer(TransportHandle, const UsbSetupPacket&, uint8_t*, uint32_t& transferred) override {
    transferred = 0;
    return UsbError::InvalidArgument;
  }
  UsbError ReadPipe(TransportHandle, uint8_t, uint8_t*, uint32_t, uint32_t& transferred) override {
    transferred = 0;
    return UsbError::InvalidArgument;
  }
  UsbError WritePipe(TransportHandle, uint8_t, const uint8_t*, uint32_t, uint32_t& transferred) override {
    transferred = 0;
    return UsbError::InvalidArgument;
  }
  void FreeInterface(TransportHandle) override {}
  void CloseDevice(TransportHandle) override {}
  std::string LastErrorText() const override { return reason_; }

 private:
  std::string reason_;
};

// The platform's real USB layer.
constexpr std::string_view PlatformLayer = "libusb";

}  // namespace

std::unique_ptr<UsbTransport> CreateUsbTransport(std::string_view name) {
  if (name == "sim") {
    return SimulatedCamera::CreateSimTransport(
        std::make_shared<SimulatedCamera::Firmware>(SimulatedCamera::FirmwareConfig::FromEnvironment()));
  }
  if (name == "libusb") {
    return CreateLibusbTransport();
  }
  return nullptr;
}

UsbTransport& DefaultUsbTransport() {
  // Created once and never destroyed: device instances may be released by static
  // destructors after this function's statics would be gone.
  static UsbTransport* const layer = [] {
    const char* requested = std::getenv("VANTOR_USB");
    std::string name = (requested != nullptr && *requested != '\0') ? requested : std::string(PlatformLayer);
    std::unique_ptr<UsbTransport> created;
    std::string reason;
    if (name != "sim" && name != "libusb") {
      reason = "VANTOR_USB='" + name + "' names no USB layer (use sim or libusb); no camera can be found";
    } else {
      created = CreateUsbTransport(name);
      if (!created) {
        reason = "the USB layer '" + name + "' is not available on this machine; no camera can be found";
      }
    }
    if (!created) {
      std::fprintf(stderr, "vantor: %s\n", reason.c_str());
      created = std::make_unique<NoDeviceTransport>(reason);
    }
    return created.release();
  }();
  return *layer;
}

}  // namespace TarvisUSBInterface
