#include "Camera.h"

#include <nuvik/CameraModels.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "Arguments.h"

namespace NuvikCli {

CameraSession::CameraSession(bool simulate) {
  if (simulate) {
    ownedTransport_ = TarvisUSBInterface::CreateUsbTransport("sim");
    if (!ownedTransport_) {
      throw CameraError("the simulated camera is not available in this build");
    }
    transport_ = ownedTransport_.get();
    driver_ = std::make_unique<Nuvik::LowLevelDriver>(*transport_);
  } else {
    transport_ = &TarvisUSBInterface::DefaultUsbTransport();
    driver_ = std::make_unique<Nuvik::LowLevelDriver>();
  }
}

CameraSession::~CameraSession() = default;

namespace {

// The device library reports discovery (device path, pipes) on standard output. The
// tool's standard output is for its own results, one line per saved frame, so those
// lines are dropped while connecting.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) {
      ::dup2(null, STDOUT_FILENO);
    }
    if (null >= 0) {
      ::close(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      ::dup2(saved_, STDOUT_FILENO);
      ::close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace

void CameraSession::Connect() {
  {
    QuietStdout quiet;
    driver_->Connect();
  }
  if (!driver_->IsConnected()) {
    throw CameraError(NoCameraMessage(*transport_));
  }
}

std::string NoCameraMessage(TarvisUSBInterface::UsbTransport& transport) {
  std::string text = "no camera found";
  const std::string detail = transport.LastErrorText();
  if (!detail.empty()) {
    text += "\n" + detail;
  }
  if (transport.Name() != "sim") {
    text +=
        "\nLikely causes:\n"
        "  - permissions: your user may not open the camera's USB device. Put your camera's\n"
        "    vendor:product into the udev rule packaging/udev/70-vantor.rules, install it with\n"
        "    sudo install -m 644 packaging/udev/70-vantor.rules /etc/udev/rules.d/ and\n"
        "    sudo udevadm control --reload-rules && sudo udevadm trigger, then replug the camera.\n"
        "  - unknown vendor:product: a camera with other USB IDs is not recognised; name them with\n"
        "    VANTOR_USB_IDS=vvvv:pppp (hexadecimal, as lsusb shows them).\n"
        "  - cable or power: check that the camera is powered and that lsusb lists it.\n"
        "Use --simulate to try nuvik on the simulated camera.";
  }
  return text;
}

ConverterDefaults DefaultConverter(const std::string& description) {
  // Connect picks the record by model code and programs its defaults; find the same
  // record by its description. Unknown codes are driven as the Sonda mono.
  const Nuvik::CameraSpecs records[] = {Nuvik::DeepSkyMono(), Nuvik::DeepSkyColor(), Nuvik::SondaMono(),
                                        Nuvik::SondaColor()};
  for (const auto& r : records) {
    if (r.Description == description) {
      return {r.DefaultGain, r.DefaultOffset};
    }
  }
  const Nuvik::SondaMono fallback;
  return {fallback.DefaultGain, fallback.DefaultOffset};
}

}  // namespace NuvikCli
