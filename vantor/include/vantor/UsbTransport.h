#pragma once

// The USB layer that a device instance talks through. Every platform call of the
// driver goes through this interface, so the same device logic runs over the
// in-process simulated camera, libusb and WinUSB.
//
// Ownership: a layer is owned by whoever created it (a std::unique_ptr from
// CreateUsbTransport, or the process-wide default layer). Device instances borrow
// it by reference and must not outlive it.
//
// Errors: each backend converts its platform's error codes into UsbError once, at
// its own boundary; nothing above this interface sees a platform error code.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <vantor/Export.h>
#include <vantor/Guid.h>

namespace TarvisUSBInterface {

// Opaque handle values handed out by a layer. A layer never hands out 0 or
// InvalidTransportHandle, and it fails (never crashes) on any value it did not
// hand out or has already released.
using TransportHandle = std::uintptr_t;
inline constexpr TransportHandle InvalidTransportHandle = ~TransportHandle{0};

enum class UsbError : uint8_t {
  None = 0,
  Timeout,          // the pipe's transfer time-out passed
  Stall,            // the device stalled the request (unknown or malformed request)
  NoDevice,         // the device is gone (unplugged), or the handle was released
  Access,           // the operating system denied access to the device node
  NotFound,         // no such device, path, pipe or interface
  InvalidArgument,  // a handle, pipe ID or length the layer cannot use
  Busy,             // the interface is claimed by someone else
  Overflow,         // the device sent more than the buffer holds
  NoMemory,
  Io,  // any other transfer or platform failure
};

VANTOR_API const char* UsbErrorName(UsbError error);

// The standard 8-byte setup packet; Length is wLength and also the data stage size.
struct UsbSetupPacket {
  uint8_t RequestType;
  uint8_t Request;
  uint16_t Value;
  uint16_t Index;
  uint16_t Length;
};

enum class UsbPipeType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct UsbPipeInformation {
  UsbPipeType PipeType;
  uint8_t PipeId;  // endpoint address; bit 7 set means IN
  uint16_t MaximumPacketSize;
  uint8_t Interval;
};

struct UsbInterfaceDescriptor {
  uint8_t InterfaceNumber;
  uint8_t AlternateSetting;
  uint8_t NumEndpoints;
  uint8_t InterfaceClass;
  uint8_t InterfaceSubClass;
  uint8_t InterfaceProtocol;
};

// Information types of QueryDeviceInformation.
inline constexpr uint32_t DeviceSpeedInformation = 1;
// Speed codes it reports.
inline constexpr uint8_t LowSpeed = 1;
inline constexpr uint8_t FullSpeed = 2;
inline constexpr uint8_t HighSpeed = 3;

class VANTOR_API UsbTransport {
 public:
  virtual ~UsbTransport() = default;

  // Short name of the layer ("sim", "libusb", "winusb").
  virtual std::string_view Name() const = 0;

  // Lists, in enumeration order, one device path for every present device that
  // exposes `interfaceClass`. Blocks while descriptors are read. Host thread.
  // Returns None with an empty list when no device matches.
  virtual UsbError EnumerateDevices(const GUID& interfaceClass, std::vector<std::string>& devicePaths) = 0;

  // Opens the device at `devicePath` for reading and writing. Blocks briefly.
  // Host thread. On success stores a new handle in `device`.
  virtual UsbError OpenDevice(const std::string& devicePath, TransportHandle& device) = 0;

  // Binds the generic USB interface to an open device and claims its first
  // interface. Host thread. On success stores the interface handle in `usbInterface`;
  // every query and transfer below takes that handle.
  virtual UsbError InitializeInterface(TransportHandle device, TransportHandle& usbInterface) = 0;

  // Device information query; type DeviceSpeedInformation writes one speed byte.
  // `length` is the buffer size on entry and the bytes written on return. Non-blocking.
  virtual UsbError QueryDeviceInformation(TransportHandle usbInterface, uint32_t informationType,
                                          void* buffer, uint32_t& length) = 0;

  // The interface descriptor of `alternateSetting`. Non-blocking.
  virtual UsbError QueryInterfaceSettings(TransportHandle usbInterface, uint8_t alternateSetting,
                                          UsbInterfaceDescriptor& descriptor) = 0;

  // Pipe `pipeIndex` (0 .. NumEndpoints - 1) of `alternateSetting`. Non-blocking.
  virtual UsbError QueryPipe(TransportHandle usbInterface, uint8_t alternateSetting, uint8_t pipeIndex,
                             UsbPipeInformation& pipe) = 0;

  // Sets the transfer time-out of one pipe; every later ReadPipe/WritePipe on that
  // pipe gives up after it. 0 means wait forever. Non-blocking, any thread.
  virtual UsbError SetPipeTimeout(TransportHandle usbInterface, uint8_t pipeId, uint32_t milliseconds) = 0;

  // One control transfer on the default pipe: the setup packet, then a data stage of
  // setup.Length bytes from or into `data` (direction from bit 7 of RequestType).
  // Blocks until the device answers or the layer's control time-out passes. Safe on
  // the host thread while a ReadPipe is pending on the same handle on another thread.
  // `transferred` receives the data-stage bytes moved.
  virtual UsbError ControlTransfer(TransportHandle usbInterface, const UsbSetupPacket& setup, uint8_t* data,
                                   uint32_t& transferred) = 0;

  // Bulk read of up to `length` bytes from IN pipe `pipeId`. Blocks until `length`
  // bytes arrived, the device ended the transfer with a short packet (success with
  // fewer bytes), or the pipe's time-out passed (Timeout, with `transferred` holding
  // the bytes that did arrive). Readout thread; runs alongside ControlTransfer.
  // Returns promptly with NoDevice once the device is unplugged or the handle freed.
  virtual UsbError ReadPipe(TransportHandle usbInterface, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                            uint32_t& transferred) = 0;

  // Bulk write of `length` bytes to OUT pipe `pipeId`; same blocking rules as ReadPipe.
  virtual UsbError WritePipe(TransportHandle usbInterface, uint8_t pipeId, const uint8_t* buffer,
                             uint32_t length, uint32_t& transferred) = 0;

  // Releases an interface handle; a transfer pending on it fails with NoDevice.
  // Unknown values (0, InvalidTransportHandle, already freed) are ignored. Host thread.
  virtual void FreeInterface(TransportHandle usbInterface) = 0;

  // Closes a device handle; unknown values are ignored. Host thread.
  virtual void CloseDevice(TransportHandle device) = 0;

  // A sentence for the user about the last discovery or open failure (for example
  // missing permissions and what to do about them); empty when there is none.
  virtual std::string LastErrorText() const { return {}; }
};

// Creates a layer by name: "sim" (the simulated camera) or "libusb" where built.
// Returns null for an unknown or unavailable name.
VANTOR_API std::unique_ptr<UsbTransport> CreateUsbTransport(std::string_view name);

// The process's default layer, created on first use and kept for the life of the
// process. VANTOR_USB chooses it ("sim", "libusb"); without it the platform's real
// USB layer is used. Thread-safe.
VANTOR_API UsbTransport& DefaultUsbTransport();

}  // namespace TarvisUSBInterface
