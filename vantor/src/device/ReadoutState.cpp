#include "ReadoutState.h"

namespace TarvisUSBInterface {

ReadoutStateRecord& ReadoutState() {
  static ReadoutStateRecord record;
  return record;
}

}  // namespace TarvisUSBInterface
