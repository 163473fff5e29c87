// Descriptor requests a host's USB stack sends on its own (GET_DESCRIPTOR and the
// vendor-type request that fetches the platform's driver-binding descriptor set).
// The camera protocol never uses these request types.
#include <simcam/Firmware.h>

namespace SimulatedCamera {

bool Firmware::HandleDescriptorRequest(const UsbSetupPacket&, uint8_t*, uint32_t& returned) {
  returned = 0;
  return false;  // no descriptors served here yet: stall
}

}  // namespace SimulatedCamera
