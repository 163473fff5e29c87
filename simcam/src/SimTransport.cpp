#include <simcam/SimTransport.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace SimulatedCamera {
namespace {

using TarvisUSBInterface::GUID;
using TarvisUSBInterface::InvalidTransportHandle;
using TarvisUSBInterface::OSR_DEVICE_INTERFACE;
using TarvisUSBInterface::TransportHandle;
using TarvisUSBInterface::UsbError;
using TarvisUSBInterface::UsbInterfaceDescriptor;
using TarvisUSBInterface::UsbPipeInformation;
using TarvisUSBInterface::UsbPipeType;
using TarvisUSBInterface::UsbSetupPacket;
using TarvisUSBInterface::UsbTransport;

// High-speed bulk endpoints carry 512-byte packets.
constexpr uint16_t BulkPacketSize = 512;
// A bulk transfer waiting for data looks this often whether its handle was freed.
constexpr auto ReleaseCheckInterval = std::chrono::milliseconds(20);

// One claimed interface. Shared with transfers in flight, so freeing the handle while
// a read waits on another thread is safe: the read sees Released and returns.
struct InterfaceState {
  std::atomic<bool> Released{false};
  std::atomic<uint32_t> InTimeoutMs{0};  // 0: wait forever, as the platform default
  std::atomic<uint32_t> OutTimeoutMs{0};
};

class SimTransport final : public UsbTransport {
 public:
  explicit SimTransport(std::shared_ptr<Firmware> firmware) : firmware_(std::move(firmware)) {}

  std::string_view Name() const override { return "sim"; }

  // Non-blocking; host thread. One device path while the camera is plugged in.
  UsbError EnumerateDevices(const GUID& interfaceClass, std::vector<std::string>& devicePaths) override {
    devicePaths.clear();
    if (interfaceClass == OSR_DEVICE_INTERFACE && !firmware_->IsUnplugged()) {
      devicePaths.emplace_back(SimDevicePath);
    }
    return UsbError::None;
  }

  // Non-blocking; host thread. Several device handles may be open at once.
  UsbError OpenDevice(const std::string& devicePath, TransportHandle& device) override {
    if (devicePath != SimDevicePath) {
      return UsbError::NotFound;
    }
    if (firmware_->IsUnplugged()) {
      return UsbError::NoDevice;
    }
    std::lock_guard lock(mutex_);
    device = NewHandle();
    devices_.insert(device);
    return UsbError::None;
  }

  // Non-blocking; host thread. The interface can be claimed once at a time, as the
  // platform's generic driver allows: Busy while another handle holds it.
  UsbError InitializeInterface(TransportHandle device, TransportHandle& usbInterface) override {
    std::lock_guard lock(mutex_);
    if (devices_.count(device) == 0) {
      return BadHandle(device);
    }
    if (firmware_->IsUnplugged()) {
      return UsbError::NoDevice;
    }
    if (!interfaces_.empty()) {
      return UsbError::Busy;
    }
    usbInterface = NewHandle();
    interfaces_.emplace(usbInterface, std::make_shared<InterfaceState>());
    return UsbError::None;
  }

  // Non-blocking; any thread. Type DeviceSpeedInformation: one byte, high speed.
  UsbError QueryDeviceInformation(TransportHandle usbInterface, uint32_t informationType, void* buffer,
                                  uint32_t& length) override {
    UsbError error = Check(usbInterface);
    if (error != UsbError::None) {
      return error;
    }
    if (informationType != TarvisUSBInterface::DeviceSpeedInformation || buffer == nullptr || length < 1) {
      return UsbError::InvalidArgument;
    }
    *static_cast<uint8_t*>(buffer) = TarvisUSBInterface::HighSpeed;
    length = 1;
    return UsbError::None;
  }

  // Non-blocking; any thread. Alternate setting 0 with two bulk endpoints.
  UsbError QueryInterfaceSettings(TransportHandle usbInterface, uint8_t alternateSetting,
                                  UsbInterfaceDescriptor& descriptor) override {
    UsbError error = Check(usbInterface);
    if (error != UsbError::None) {
      return error;
    }
    if (alternateSetting != 0) {
      return UsbError::NotFound;
    }
    descriptor = UsbInterfaceDescriptor{0, 0, 2, 0xFF, 0, 0};
    return UsbError::None;
  }

  // Non-blocking; any thread. Pipe 0 is bulk IN, pipe 1 bulk OUT.
  UsbError QueryPipe(TransportHandle usbInterface, uint8_t alternateSetting, uint8_t pipeIndex,
                     UsbPipeInformation& pipe) override {
    UsbError error = Check(usbInterface);
    if (error != UsbError::None) {
      return error;
    }
    if (alternateSetting != 0 || pipeIndex > 1) {
      return UsbError::NotFound;
    }
    pipe = UsbPipeInformation{UsbPipeType::Bulk, pipeIndex == 0 ? BulkInEndpoint : BulkOutEndpoint,
                              BulkPacketSize, 0};
    return UsbError::None;
  }

  // Non-blocking; any thread.
  UsbError SetPipeTimeout(TransportHandle usbInterface, uint8_t pipeId, uint32_t milliseconds) override {
    std::shared_ptr<InterfaceState> state;
    UsbError error = Find(usbInterface, state);
    if (error != UsbError::None) {
      return error;
    }
    if (pipeId == BulkInEndpoint) {
      state->InTimeoutMs = milliseconds;
    } else if (pipeId == BulkOutEndpoint) {
      state->OutTimeoutMs = milliseconds;
    } else {
      return UsbError::InvalidArgument;
    }
    return UsbError::None;
  }

  // Returns at once with the firmware's answer; any thread, also while a read waits.
  UsbError ControlTransfer(TransportHandle usbInterface, const UsbSetupPacket& setup, uint8_t* data,
                           uint32_t& transferred) override {
    transferred = 0;
    UsbError error = Check(usbInterface);
    if (error != UsbError::None) {
      return error;
    }
    if (setup.Length > 0 && data == nullptr) {
      return UsbError::InvalidArgument;
    }
    uint32_t returned = 0;
    if (!firmware_->HandleControl(setup, data, returned)) {
      return firmware_->IsUnplugged() ? UsbError::NoDevice : UsbError::Stall;
    }
    transferred = (setup.RequestType & 0x80) != 0 ? returned : setup.Length;
    return UsbError::None;
  }

  // Blocks until `length` bytes arrived (None), the pipe's time-out passed (Timeout,
  // with the partial count), or the device or handle went away (NoDevice).
  UsbError ReadPipe(TransportHandle usbInterface, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                    uint32_t& transferred) override {
    transferred = 0;
    std::shared_ptr<InterfaceState> state;
    UsbError error = Find(usbInterface, state);
    if (error != UsbError::None) {
      return error;
    }
    if (pipeId != BulkInEndpoint || (buffer == nullptr && length > 0)) {
      return UsbError::InvalidArgument;
    }
    uint32_t timeout = state->InTimeoutMs;
    auto deadline =
        timeout == 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);
    while (true) {
      if (state->Released || firmware_->IsUnplugged()) {
        return UsbError::NoDevice;
      }
      bool transferEnded = false;
      transferred += firmware_->ReadBulkIn(buffer + transferred, length - transferred, &transferEnded);
      // The camera ended its transfer with a short packet: the read completes short.
      if (transferred == length || transferEnded) {
        return UsbError::None;
      }
      auto now = Clock::now();
      if (now >= deadline) {
        return firmware_->IsUnplugged() ? UsbError::NoDevice : UsbError::Timeout;
      }
      firmware_->WaitForBulkIn(std::min(deadline, now + ReleaseCheckInterval));
    }
  }

  // The camera takes whatever is written at once; non-blocking; any thread.
  UsbError WritePipe(TransportHandle usbInterface, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                     uint32_t& transferred) override {
    transferred = 0;
    std::shared_ptr<InterfaceState> state;
    UsbError error = Find(usbInterface, state);
    if (error != UsbError::None) {
      return error;
    }
    if (pipeId != BulkOutEndpoint || (buffer == nullptr && length > 0)) {
      return UsbError::InvalidArgument;
    }
    if (firmware_->IsUnplugged()) {
      return UsbError::NoDevice;
    }
    transferred = firmware_->WriteBulkOut(buffer, length);
    return UsbError::None;
  }

  // Host thread. A read pending on the handle returns NoDevice within ReleaseCheckInterval.
  void FreeInterface(TransportHandle usbInterface) override {
    std::lock_guard lock(mutex_);
    auto it = interfaces_.find(usbInterface);
    if (it != interfaces_.end()) {
      it->second->Released = true;
      interfaces_.erase(it);
    }
  }

  // Host thread.
  void CloseDevice(TransportHandle device) override {
    std::lock_guard lock(mutex_);
    devices_.erase(device);
  }

  std::size_t OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size() + interfaces_.size();
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Handle values count up and are never reused, so a stale handle can never reach
  // a connection opened later.
  TransportHandle NewHandle() { return nextHandle_++; }

  static UsbError BadHandle(TransportHandle handle) {
    return handle == 0 || handle == InvalidTransportHandle ? UsbError::InvalidArgument : UsbError::NoDevice;
  }

  UsbError Find(TransportHandle usbInterface, std::shared_ptr<InterfaceState>& state) const {
    std::lock_guard lock(mutex_);
    auto it = interfaces_.find(usbInterface);
    if (it == interfaces_.end()) {
      return BadHandle(usbInterface);
    }
    state = it->second;
    return UsbError::None;
  }

  UsbError Check(TransportHandle usbInterface) const {
    std::shared_ptr<InterfaceState> state;
    UsbError error = Find(usbInterface, state);
    if (error == UsbError::None && firmware_->IsUnplugged()) {
      return UsbError::NoDevice;
    }
    return error;
  }

  std::shared_ptr<Firmware> firmware_;
  mutable std::mutex mutex_;
  TransportHandle nextHandle_ = 0x51;
  std::set<TransportHandle> devices_;
  std::map<TransportHandle, std::shared_ptr<InterfaceState>> interfaces_;
};

}  // namespace

std::unique_ptr<UsbTransport> CreateSimTransport(std::shared_ptr<Firmware> firmware) {
  return std::make_unique<SimTransport>(std::move(firmware));
}

std::size_t SimOpenHandleCount(const UsbTransport& transport) {
  auto* sim = dynamic_cast<const SimTransport*>(&transport);
  return sim != nullptr ? sim->OpenHandleCount() : 0;
}

}  // namespace SimulatedCamera
