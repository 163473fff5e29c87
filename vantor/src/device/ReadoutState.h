#pragma once

// The readout record shared by every device instance of the process: the requested
// window as SetROI adjusted it, the overscan switches, and the buffers of the running
// readout. One camera per process is the supported use; a second instance reading out
// at the same time waits for the buffers instead of sharing them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include <vantor/Export.h>

namespace TarvisUSBInterface {

struct ReadoutStateRecord {
  // Written by SetROI on the host thread; nothing reads them back but SetROI.
  std::atomic<uint32_t> RoiX{0}, RoiY{0}, RoiWidth{0}, RoiHeight{0};

  // Overscan switches from SetOverscanProperties. UseVerticalOverscan requests overscan
  // mode (through the four-argument SetROI) and turns the row correction on;
  // UseHorizontalOverscan and SpareOverscanSwitch are stored and change no image.
  std::atomic<bool> UseVerticalOverscan{false};
  std::atomic<bool> UseHorizontalOverscan{false};
  std::atomic<bool> SpareOverscanSwitch{false};
  // The current geometry includes the overscan areas, so the readout crops the frame
  // through the bias pass. Set by SetROI.
  std::atomic<bool> OverscanActive{false};

  // Held by a readout thread from its first allocation to its end; guards the buffers.
  std::mutex BufferLock;
  // Transfer buffers: live for one readout, released when it ends.
  std::unique_ptr<uint8_t[]> FirstFieldBuffer;
  uint32_t FirstFieldBytes = 0;
  std::unique_ptr<uint8_t[]> SecondFieldBuffer;
  uint32_t SecondFieldBytes = 0;
  // Per-row bias of the last overscan readout, RawHeight entries; kept until the next
  // readout replaces it.
  std::unique_ptr<float[]> RowBias;
};

// The process's record, zero when the library is loaded. Exported (though not part of
// the public headers) so that white-box tests can inspect it.
VANTOR_API ReadoutStateRecord& ReadoutState();

}  // namespace TarvisUSBInterface
