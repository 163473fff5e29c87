#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <vantor/USBDeviceInstance.h>

namespace TarvisUSBInterface {
namespace {

// Transfer time-out of every bulk IN pipe. The readout thread re-checks its time limit
// and abort flag between reads, so this bounds how long it can miss either.
constexpr uint32_t BulkInTimeoutMs = 2000;

// The camera exposes one interface. Discovery asks device i for interface member i, so
// the walk finds member 0 of the first device and stops at the second device.
constexpr std::size_t InterfacesPerDevice = 1;

bool IsZero(const GUID& guid) {
  return guid == GUID{};
}

bool IsOpen(TransportHandle handle) {
  return handle != 0 && handle != InvalidTransportHandle;
}

// Finds the device path to open: the walk over the present devices of the interface
// class, printing each path it reads. Empty when there is none or enumeration failed.
std::string DiscoverDevicePath(UsbTransport& transport, const GUID& interfaceGuid) {
  std::vector<std::string> paths;
  if (transport.EnumerateDevices(interfaceGuid, paths) != UsbError::None) {
    return {};
  }
  std::string held;
  for (std::size_t i = 0; i < paths.size() && i < InterfacesPerDevice; ++i) {
    held = paths[i];
    std::printf("Device path:  %s\n", held.c_str());
  }
  std::fflush(stdout);
  return held;
}

}  // namespace

bool USBDeviceInstance::FindAndConnect(GUID interfaceGuid) {
  InterfaceGuid = interfaceGuid;
  if (IsZero(InterfaceGuid)) {
    return false;
  }
  // Connecting again replaces the earlier connection; its handles would otherwise stay
  // open with nothing referring to them, and keep the interface claimed.
  if (IsOpen(DeviceHandle) || IsOpen(UsbHandle)) {
    Disconnect();
  }

  std::string path = DiscoverDevicePath(*Transport, InterfaceGuid);
  if (path.empty()) {
    return false;
  }
  TransportHandle device = InvalidTransportHandle;
  if (Transport->OpenDevice(path, device) != UsbError::None) {
    DeviceHandle = InvalidTransportHandle;
    return false;
  }
  DeviceHandle = device;

  TransportHandle usbInterface = InvalidTransportHandle;
  if (Transport->InitializeInterface(DeviceHandle, usbInterface) != UsbError::None) {
    return false;
  }
  // Atomic: a readout thread of the earlier connection may still be reading it.
  std::atomic_ref<TransportHandle>(UsbHandle).store(usbInterface, std::memory_order_release);

  uint8_t speed = 0;
  uint32_t speedLength = sizeof(speed);
  if (Transport->QueryDeviceInformation(UsbHandle, DeviceSpeedInformation, &speed, speedLength) !=
      UsbError::None) {
    return false;
  }
  DeviceSpeed = speed;

  // Pipe enumeration. Only the last pipe query decides the result: a failed query of an
  // earlier pipe is passed over.
  UsbInterfaceDescriptor descriptor{};
  if (Transport->QueryInterfaceSettings(UsbHandle, 0, descriptor) != UsbError::None) {
    return false;
  }
  bool lastQueryOk = true;
  for (int index = 0; index < descriptor.NumEndpoints; ++index) {
    UsbPipeInformation pipe{};
    lastQueryOk = Transport->QueryPipe(UsbHandle, 0, static_cast<uint8_t>(index), pipe) == UsbError::None;
    if (!lastQueryOk) {
      continue;
    }
    switch (pipe.PipeType) {
      case UsbPipeType::Control:
        std::printf("Endpoint index: %d Pipe type: Control Pipe ID: %d.\n", index, pipe.PipeId);
        break;
      case UsbPipeType::Isochronous:
        std::printf("Endpoint index: %d Pipe type: Isochronous Pipe ID: %d.\n", index, pipe.PipeId);
        break;
      case UsbPipeType::Bulk:
        std::printf("Endpoint index: %d Pipe type: Bulk Pipe ID: %c.\n", index, pipe.PipeId);
        if ((pipe.PipeId & 0x80) != 0) {
          std::atomic_ref<uint8_t>(BulkInPipe).store(pipe.PipeId, std::memory_order_release);
          // The result is ignored: reads then follow the layer's default time-out.
          Transport->SetPipeTimeout(UsbHandle, pipe.PipeId, BulkInTimeoutMs);
        } else {
          BulkOutPipe = pipe.PipeId;
        }
        break;
      case UsbPipeType::Interrupt:
        std::printf("Endpoint index: %d Pipe type: Interrupt Pipe ID: %d.\n", index, pipe.PipeId);
        break;
    }
  }
  std::fflush(stdout);
  if (!lastQueryOk) {
    return false;
  }

  return SetCameraBinning(1, 1);
}

void USBDeviceInstance::Disconnect() {
  // The device handle is closed before the interface is freed.
  if (DeviceHandle != 0) {
    Transport->CloseDevice(DeviceHandle);
  }
  if (UsbHandle != 0) {
    Transport->FreeInterface(UsbHandle);
  }
  DeviceHandle = 0;
  // Disconnect does not wait for a running readout; its next read fails on handle 0.
  std::atomic_ref<TransportHandle>(UsbHandle).store(0, std::memory_order_release);
}

bool USBDeviceInstance::SendDeviceRequest(uint8_t requestType, uint8_t request, uint16_t value,
                                          uint16_t index, uint8_t* data, uint16_t length) {
  if (UsbHandle == InvalidTransportHandle) {
    return false;
  }
  UsbSetupPacket setup{requestType, request, value, index, length};
  // A short answer still counts as success; callers preset their buffers.
  uint32_t transferred = 0;
  return Transport->ControlTransfer(UsbHandle, setup, data, transferred) == UsbError::None;
}

bool USBDeviceInstance::Send(void* buffer, uint32_t* length) {
  if (length == nullptr) {
    return false;
  }
  uint32_t requested = *length;
  if (UsbHandle == InvalidTransportHandle) {
    return false;
  }
  *length = 0;
  return Transport->WritePipe(UsbHandle, BulkOutPipe, static_cast<const uint8_t*>(buffer), requested,
                              *length) == UsbError::None;
}

bool USBDeviceInstance::Receive(void* buffer, uint32_t* length) {
  if (length == nullptr) {
    return false;
  }
  uint32_t requested = *length;
  // The readout thread reads here while the host may disconnect or reconnect.
  const TransportHandle usbHandle =
      std::atomic_ref<TransportHandle>(UsbHandle).load(std::memory_order_acquire);
  if (usbHandle == InvalidTransportHandle) {
    return false;
  }
  const uint8_t pipe = std::atomic_ref<uint8_t>(BulkInPipe).load(std::memory_order_acquire);
  *length = 0;
  return Transport->ReadPipe(usbHandle, pipe, static_cast<uint8_t*>(buffer), requested, *length) ==
         UsbError::None;
}

// Selector 1 is the bulk IN pipe; the camera has no other pipe to read from.
bool USBDeviceInstance::Receive(void* buffer, uint32_t* length, uint8_t pipeSelector) {
  if (pipeSelector != 1) {
    return false;
  }
  return Receive(buffer, length);
}

bool USBDeviceInstance::GetDeviceInformation(uint32_t informationType, void* buffer, uint32_t* length) {
  if (length == nullptr) {
    return false;
  }
  return Transport->QueryDeviceInformation(UsbHandle, informationType, buffer, *length) == UsbError::None;
}

}  // namespace TarvisUSBInterface
