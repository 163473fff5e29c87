// Exposure and readout: StartExposure tells the camera the binning, the window and the
// exposure time and starts the readout thread, which receives the image over the bulk
// IN pipe, assembles it and publishes it.

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "FrameAssembly.h"
#include "OverscanBias.h"
#include "ReadoutState.h"
#include "ReadoutThreadHandle.h"

namespace TarvisUSBInterface {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// The camera sends its image within the exposure time plus these margins (milliseconds).
constexpr uint64_t FirstTransferMarginMs = 4500;
constexpr uint64_t SecondFieldMarginMs = 5500;
// Below this exposure time the second field gets its own clock from the end of the first.
constexpr uint32_t SecondFieldClockRestartMs = 2500;
// StartExposure waits at most this long for a running download to finish.
constexpr auto DownloadWaitBudget = Milliseconds(4500);
constexpr auto DownloadWaitFirstSleep = Milliseconds(10);
constexpr auto DownloadWaitPoll = Milliseconds(100);
// A failed read that returns at once (a device gone, a handle released) is retried no
// faster than this, so the thread does not spin until its time-out.
constexpr auto FailedReadRetryInterval = Milliseconds(50);
// Largest buffer the readout allocates: a transfer length must fit the 32-bit count of
// a bulk read, and anything near it is a window no camera of this family can send.
constexpr uint64_t MaxBufferBytes = 0xFFFFFFFFull;

struct Transfer {
  uint8_t* Buffer;
  uint32_t Bytes;
};

enum class TransferResult { Complete, Failed };

// Receives one transfer into `transfer`, asking each time for all the bytes still
// missing. A read that moved bytes (even one that then timed out) counts as progress:
// its bytes are kept and, for the first transfer, the state becomes Downloading. A read
// that moved nothing ends the readout when the time limit has passed or the host aborted.
TransferResult ReceiveTransfer(USBDeviceInstance& device, Transfer transfer, Clock::time_point start,
                               uint64_t limitMs, bool firstTransfer) {
  uint32_t position = 0;
  while (position < transfer.Bytes) {
    const uint32_t requested = transfer.Bytes - position;
    uint32_t length = requested;
    const auto readStart = Clock::now();
    const bool ok = device.Receive(transfer.Buffer + position, &length);
    // A refused read leaves the length as it was, and a read that moved every byte asked
    // for succeeds; so a failed read reporting the whole request moved nothing.
    if (!ok && length >= requested) {
      length = 0;
    }
    length = std::min(length, requested);
    if (length > 0) {
      position += length;
      if (firstTransfer)
        device.CameraState.store(CameraStates::Downloading, std::memory_order_release);
      continue;
    }
    const auto now = Clock::now();
    const auto elapsed = std::chrono::duration_cast<Milliseconds>(now - start).count();
    if (static_cast<uint64_t>(elapsed) > limitMs ||
        device.AbortRequested.load(std::memory_order_acquire) != 0) {
      return TransferResult::Failed;
    }
    if (!ok && now - readStart < FailedReadRetryInterval) {
      std::this_thread::sleep_for(FailedReadRetryInterval - (now - readStart));
    }
  }
  return TransferResult::Complete;
}

// Allocates an uninitialised array, or returns null when it cannot be had.
template <typename T>
std::unique_ptr<T[]> TryAllocate(uint64_t count) {
  if (count * sizeof(T) > MaxBufferBytes)
    return nullptr;
  try {
    return std::make_unique_for_overwrite<T[]>(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void ReadoutThreadProc(USBDeviceInstance* device, ReadoutGeometry geometry, uint32_t exposureMs) {
  ReadoutStateRecord& state = ReadoutState();
  std::lock_guard<std::mutex> bufferLock(state.BufferLock);
  device->ImageReady.store(0, std::memory_order_release);

  auto fail = [&] {
    device->CameraState.store(CameraStates::Error, std::memory_order_release);
    state.FirstFieldBuffer.reset();
    state.SecondFieldBuffer.reset();
  };

  // Buffers for this geometry. Any that cannot be allocated ends the readout in Error
  // before anything is written.
  const TransferSizes sizes = ComputeTransferSizes(geometry);
  const uint64_t imagePixels = uint64_t{geometry.ImageWidth} * geometry.ImageHeight;
  std::shared_ptr<float[]> image;
  if (imagePixels * sizeof(float) <= MaxBufferBytes) {
    try {
      image = std::make_shared_for_overwrite<float[]>(static_cast<size_t>(imagePixels));
    } catch (const std::bad_alloc&) {
    }
  }
  state.RowBias = TryAllocate<float>(geometry.RawHeight);
  state.FirstFieldBuffer = TryAllocate<uint8_t>(sizes.FirstFieldBytes);
  state.SecondFieldBuffer = geometry.TwoFields() ? TryAllocate<uint8_t>(sizes.SecondFieldBytes) : nullptr;
  if (!image || !state.RowBias || !state.FirstFieldBuffer ||
      (geometry.TwoFields() && !state.SecondFieldBuffer)) {
    // No image: ImageData stays null, as StartExposure left it.
    fail();
    return;
  }
  device->ImageOwner = std::move(image);
  device->ImageData = device->ImageOwner.get();
  state.FirstFieldBytes = static_cast<uint32_t>(sizes.FirstFieldBytes);
  state.SecondFieldBytes = static_cast<uint32_t>(sizes.SecondFieldBytes);

  auto start = Clock::now();
  if (ReceiveTransfer(*device, {state.FirstFieldBuffer.get(), state.FirstFieldBytes}, start,
                      exposureMs + FirstTransferMarginMs, true) != TransferResult::Complete) {
    fail();
    return;
  }
  if (geometry.TwoFields()) {
    if (exposureMs < SecondFieldClockRestartMs)
      start = Clock::now();
    if (ReceiveTransfer(*device, {state.SecondFieldBuffer.get(), state.SecondFieldBytes}, start,
                        exposureMs + SecondFieldMarginMs, false) != TransferResult::Complete) {
      fail();
      return;
    }
  }

  AssembleImage(geometry, state.FirstFieldBuffer.get(), state.SecondFieldBuffer.get(), device->ImageData,
                state.RowBias.get());

  state.FirstFieldBuffer.reset();
  state.SecondFieldBuffer.reset();
  // Publish: the image is complete before either store becomes visible.
  device->CameraState.store(CameraStates::Idle, std::memory_order_release);
  device->ImageReady.store(1, std::memory_order_release);
}

// Raises the readout thread above the host's threads where the platform lets us; without
// the privilege the thread runs at normal priority.
void RaisePriority(std::thread& thread) {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  (void)pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param);
}

}  // namespace

bool USBDeviceInstance::StartExposure(uint32_t durationMs) {
  // The camera takes 24 bits of milliseconds; a longer time cannot be told to it.
  if (durationMs > Protocol::MaxExposureMs)
    return false;

  // A download in progress ends within its time-out; wait for it, within a budget.
  if (CameraState.load(std::memory_order_acquire) == CameraStates::Downloading) {
    const auto deadline = Clock::now() + DownloadWaitBudget;
    std::this_thread::sleep_for(DownloadWaitFirstSleep);
    while (CameraState.load(std::memory_order_acquire) == CameraStates::Downloading) {
      if (Clock::now() >= deadline)
        return false;
      std::this_thread::sleep_for(DownloadWaitPoll);
    }
  }
  // An earlier readout thread may still wait for data (after an abort, or an exposure
  // still running): it ends by itself within its time-out, and never overlaps the next.
  if (ReadoutThread && ReadoutThread->Thread.joinable())
    ReadoutThread->Thread.join();

  const ReadoutStateRecord& state = ReadoutState();
  ReadoutGeometry geometry;
  geometry.SensorY = SensorY;
  geometry.SensorBinX = SensorBinX;
  geometry.SensorBinY = SensorBinY;
  geometry.RawWidth = RawWidth;
  geometry.RawHeight = RawHeight;
  geometry.ImageWidth = ImageWidth;
  geometry.ImageHeight = ImageHeight;
  geometry.FastReadout = FastReadout != 0;
  geometry.LineDoubling = LineDoubling != 0;
  geometry.OverscanActive = state.OverscanActive.load(std::memory_order_relaxed);
  geometry.UseVerticalOverscan = state.UseVerticalOverscan.load(std::memory_order_relaxed);
  // The camera is told the low bytes; a binning of 0 would leave nothing to read.
  if ((geometry.SensorBinX & 0xFF) == 0 || (geometry.SensorBinY & 0xFF) == 0)
    return false;
  geometry.SensorBinX &= 0xFF;
  geometry.SensorBinY &= 0xFF;

  // Keep the previous image until the camera has accepted the new exposure, so a refused
  // start leaves everything as it was.
  const CameraStates previousState = CameraState.load(std::memory_order_acquire);
  const uint8_t previousReady = ImageReady.load(std::memory_order_acquire);
  std::shared_ptr<float[]> previousImage = std::move(ImageOwner);
  float* const previousData = ImageData;
  const uint32_t previousExposureMs = ExposureMs;
  ImageOwner.reset();
  ImageData = nullptr;
  ExposureMs = durationMs;
  ImageReady.store(0, std::memory_order_release);
  CameraState.store(CameraStates::Exposing, std::memory_order_release);

  const bool accepted = SetCameraBinning(static_cast<uint8_t>(geometry.SensorBinX),
                                         static_cast<uint8_t>(geometry.SensorBinY)) &&
                        SetCameraROI(static_cast<uint16_t>(SensorX), static_cast<uint16_t>(SensorY),
                                     static_cast<uint16_t>(RawWidth), static_cast<uint16_t>(RawHeight)) &&
                        SendDeviceRequest(Protocol::HostToDevice, Protocol::StartExposureRequest,
                                          static_cast<uint16_t>(durationMs & 0xFFFF),
                                          static_cast<uint16_t>((durationMs >> 16) & 0xFF), nullptr, 0);
  auto restore = [&] {
    ImageOwner = std::move(previousImage);
    ImageData = previousData;
    ExposureMs = previousExposureMs;
    CameraState.store(previousState, std::memory_order_release);
    ImageReady.store(previousReady, std::memory_order_release);
  };
  if (!accepted) {
    restore();
    return false;
  }
  previousImage.reset();

  AbortRequested.store(0, std::memory_order_release);
  if (!ReadoutThread)
    ReadoutThread = std::make_unique<ReadoutThreadHandle>();
  try {
    ReadoutThread->Thread = std::thread(ReadoutThreadProc, this, geometry, durationMs);
  } catch (const std::system_error&) {
    // The camera exposes, but nothing will read the image.
    CameraState.store(CameraStates::Error, std::memory_order_release);
    return false;
  }
  RaisePriority(ReadoutThread->Thread);
  return true;
}

bool USBDeviceInstance::AbortExposure() {
  // Only an exposure whose image has not started to arrive can be aborted.
  if (CameraState.load(std::memory_order_acquire) != CameraStates::Exposing)
    return false;
  if (SendDeviceRequest(Protocol::HostToDevice, Protocol::AbortExposureRequest, 0, 0, nullptr, 0)) {
    // Idle unless the image started to arrive meanwhile; then the download keeps its
    // state and, with the camera no longer sending, ends at its next failed read.
    CameraStates expected = CameraStates::Exposing;
    CameraState.compare_exchange_strong(expected, CameraStates::Idle, std::memory_order_acq_rel);
    // After the state: the readout's Error follows the Idle.
    AbortRequested.store(1, std::memory_order_release);
  }
  return true;
}

void USBDeviceInstance::ArraySort(float* const values, int32_t count) {
  SortAscending(values, count);
}

}  // namespace TarvisUSBInterface
