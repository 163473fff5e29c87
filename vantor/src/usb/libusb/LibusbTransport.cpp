// Stand-in until the libusb layer lands: reports the layer as unavailable.
#include "usb/libusb/LibusbTransport.h"

namespace TarvisUSBInterface {

std::unique_ptr<UsbTransport> CreateLibusbTransport() {
  return nullptr;
}

}  // namespace TarvisUSBInterface
