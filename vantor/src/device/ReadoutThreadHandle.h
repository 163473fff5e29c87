#pragma once

#include <thread>

#include <vantor/USBDeviceInstance.h>

namespace TarvisUSBInterface {

// The readout thread of one exposure. Joined before another readout starts and when
// the instance is destroyed, so no two readouts overlap and none outlives its instance.
struct ReadoutThreadHandle {
  std::thread Thread;
};

}  // namespace TarvisUSBInterface
