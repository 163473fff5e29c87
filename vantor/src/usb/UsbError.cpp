#include <vantor/UsbTransport.h>

namespace TarvisUSBInterface {

const char* UsbErrorName(UsbError error) {
  switch (error) {
    case UsbError::None:
      return "None";
    case UsbError::Timeout:
      return "Timeout";
    case UsbError::Stall:
      return "Stall";
    case UsbError::NoDevice:
      return "NoDevice";
    case UsbError::Access:
      return "Access";
    case UsbError::NotFound:
      return "NotFound";
    case UsbError::InvalidArgument:
      return "InvalidArgument";
    case UsbError::Busy:
      return "Busy";
    case UsbError::Overflow:
      return "Overflow";
    case UsbError::NoMemory:
      return "NoMemory";
    case UsbError::Io:
      return "Io";
  }
  return "Unknown";
}

}  // namespace TarvisUSBInterface
