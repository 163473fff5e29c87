#include "LibusbTransport.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "MsOsDescriptors.h"

namespace TarvisUSBInterface {
namespace {

// The interface the camera's pipes live on; claimed on InitializeInterface.
constexpr int CameraInterfaceNumber = 0;
// How long a control request may take before the layer gives up. WinUSB's default for
// the default pipe is 5 s; we keep the same so both layers behave alike.
constexpr unsigned ControlTimeoutMs = 5000;
// Discovery probes (BOS, MS OS descriptors) of devices that may not be cameras at all:
// a device that does not answer within this must not stall discovery for long.
constexpr unsigned ProbeTimeoutMs = 1000;
// Largest BOS or MS OS descriptor set we read while probing.
constexpr size_t MaxProbeLength = 4096;
// Longest single wait (µs) for libusb events; a wait ends sooner when any transfer
// completes or is cancelled (FreeInterface cancels what is pending).
constexpr long EventPollMicroseconds = 50000;
// Pause after an event round that returned at once without completing our transfer.
constexpr std::chrono::microseconds RoundPause{200};

// bmRequestType of the MS OS vendor requests: device-to-host, vendor type, recipient
// device (2.0 descriptor set) or interface (1.0 extended properties).
constexpr uint8_t VendorToHostDevice = 0xC0;
constexpr uint8_t VendorToHostInterface = 0xC1;

constexpr const char* PermissionHint =
    "Install the udev rule packaging/udev/70-vantor.rules into /etc/udev/rules.d/, reload udev with "
    "'sudo udevadm control --reload-rules && sudo udevadm trigger' and replug the camera, or check that "
    "your user is in the group that owns the device node.";

// Every libusb error code and transfer status is converted by these two functions, and
// nowhere else.
UsbError FromLibusb(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return UsbError::None;
    case LIBUSB_ERROR_TIMEOUT:
      return UsbError::Timeout;
    case LIBUSB_ERROR_PIPE:
      return UsbError::Stall;
    case LIBUSB_ERROR_NO_DEVICE:
      return UsbError::NoDevice;
    case LIBUSB_ERROR_ACCESS:
      return UsbError::Access;
    case LIBUSB_ERROR_NOT_FOUND:
      return UsbError::NotFound;
    case LIBUSB_ERROR_INVALID_PARAM:
      return UsbError::InvalidArgument;
    case LIBUSB_ERROR_BUSY:
      return UsbError::Busy;
    case LIBUSB_ERROR_OVERFLOW:
      return UsbError::Overflow;
    case LIBUSB_ERROR_NO_MEM:
      return UsbError::NoMemory;
    default:
      return UsbError::Io;
  }
}

UsbError FromTransferStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return UsbError::None;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return UsbError::Timeout;
    case LIBUSB_TRANSFER_STALL:
      return UsbError::Stall;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return UsbError::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW:
      return UsbError::Overflow;
    case LIBUSB_TRANSFER_CANCELLED:  // only FreeInterface cancels
      return UsbError::NoDevice;
    default:
      return UsbError::Io;
  }
}

uint8_t SpeedCode(int speed) {
  switch (speed) {
    case LIBUSB_SPEED_LOW:
      return LowSpeed;
    case LIBUSB_SPEED_FULL:
      return FullSpeed;
    case LIBUSB_SPEED_HIGH:
    case LIBUSB_SPEED_SUPER:
    case LIBUSB_SPEED_SUPER_PLUS:
      return HighSpeed;  // the codes stop at high speed
    default:
      return 0;  // libusb does not know
  }
}

// "usb:BUS-PORT.PORT vvvv:pppp": bus and port chain as in sysfs, which stay the same
// across replugs in the same socket, unlike the device address.
std::string DescribeDevice(libusb_device* device, const libusb_device_descriptor& descriptor) {
  uint8_t ports[8];
  const int count = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string text = "usb:" + std::to_string(libusb_get_bus_number(device)) + "-";
  if (count <= 0)
    text += "0";
  for (int i = 0; i < count; ++i) {
    if (i > 0)
      text += '.';
    text += std::to_string(ports[i]);
  }
  char ids[16];
  std::snprintf(ids, sizeof ids, " %04x:%04x", descriptor.idVendor, descriptor.idProduct);
  return text + ids;
}

uint16_t Le16(const uint8_t* b) {
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}
uint32_t Le32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

// The interface GUIDs an opened device announces through MS OS 2.0 descriptors, or
// failing those MS OS 1.0 ones. Blocking, bounded by ProbeTimeoutMs per request.
std::vector<GUID> AnnouncedInterfaceGuids(libusb_device_handle* handle,
                                          const libusb_device_descriptor& descriptor) {
  std::vector<uint8_t> buffer(MaxProbeLength);
  if (descriptor.bcdUSB >= 0x0201) {  // BOS descriptors exist from USB 2.01 on
    int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    MsOs::BosDescriptorType << 8, 0, buffer.data(), 5, ProbeTimeoutMs);
    if (r == 5) {
      const uint16_t total = std::min<uint16_t>(Le16(&buffer[2]), MaxProbeLength);
      r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  MsOs::BosDescriptorType << 8, 0, buffer.data(), total, ProbeTimeoutMs);
      if (auto platform =
              r > 0 ? MsOs::FindMsOs20Platform({buffer.data(), static_cast<size_t>(r)}) : std::nullopt) {
        const uint16_t length = std::min<uint16_t>(platform->SetLength, MaxProbeLength);
        r = libusb_control_transfer(handle, VendorToHostDevice, platform->VendorCode, 0,
                                    MsOs::MsOs20DescriptorIndex, buffer.data(), length, ProbeTimeoutMs);
        if (r > 0) {
          auto guids = MsOs::InterfaceGuidsFromMsOs20Set({buffer.data(), static_cast<size_t>(r)},
                                                         CameraInterfaceNumber);
          if (!guids.empty())
            return guids;
        }
      }
    }
  }
  int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                  LIBUSB_DT_STRING << 8 | MsOs::MsOs10StringIndex, 0, buffer.data(), 18,
                                  ProbeTimeoutMs);
  auto vendorCode =
      r > 0 ? MsOs::VendorCodeFromMsOs10String({buffer.data(), static_cast<size_t>(r)}) : std::nullopt;
  if (!vendorCode)
    return {};
  // Extended properties are an interface request; some devices answer it only as a
  // device request, so try both.
  for (uint8_t requestType : {VendorToHostInterface, VendorToHostDevice}) {
    r = libusb_control_transfer(handle, requestType, *vendorCode, CameraInterfaceNumber,
                                MsOs::MsOs10ExtendedPropertiesIndex, buffer.data(), 10, ProbeTimeoutMs);
    if (r != 10)
      continue;
    const uint16_t total = static_cast<uint16_t>(std::min<uint32_t>(Le32(buffer.data()), MaxProbeLength));
    r = libusb_control_transfer(handle, requestType, *vendorCode, CameraInterfaceNumber,
                                MsOs::MsOs10ExtendedPropertiesIndex, buffer.data(), total, ProbeTimeoutMs);
    if (r > 0)
      return MsOs::InterfaceGuidsFromMsOs10Properties({buffer.data(), static_cast<size_t>(r)});
  }
  return {};
}

bool IsZero(const GUID& guid) {
  return guid == GUID{};
}

struct DeviceEntry {
  libusb_device_handle* Handle = nullptr;
  std::string Path;
  // Set once a transfer saw the device gone; later transfers fail without libusb.
  std::atomic<bool> Gone{false};

  explicit DeviceEntry(libusb_device_handle* handle, std::string path)
      : Handle(handle), Path(std::move(path)) {}
  ~DeviceEntry() { libusb_close(Handle); }
  DeviceEntry(const DeviceEntry&) = delete;
  DeviceEntry& operator=(const DeviceEntry&) = delete;
};

struct AltSetting {
  UsbInterfaceDescriptor Descriptor;
  std::vector<UsbPipeInformation> Pipes;
};

// A claimed interface. Transfers hold a reference while they run, so freeing the
// handle on the host thread never pulls the libusb handle from under a pending read:
// the interface is released and the device closed when the last user lets go.
struct InterfaceEntry {
  std::shared_ptr<DeviceEntry> Device;
  std::vector<AltSetting> AltSettings;
  uint8_t Speed = 0;
  // Per-pipe transfer time-outs in ms, indexed by PipeSlot; 0 waits forever.
  std::array<std::atomic<uint32_t>, 32> PipeTimeoutMs{};

  std::mutex InFlightMutex;
  std::vector<libusb_transfer*> InFlight;  // guarded by InFlightMutex
  bool Released = false;                   // guarded by InFlightMutex

  ~InterfaceEntry() {
    // Gives the interface back; libusb re-attaches a kernel driver it detached.
    libusb_release_interface(Device->Handle, CameraInterfaceNumber);
  }

  static size_t PipeSlot(uint8_t pipeId) { return (pipeId & 0x0F) | ((pipeId & 0x80) ? 16 : 0); }

  const UsbPipeInformation* FindPipe(uint8_t pipeId) const {
    if (AltSettings.empty())
      return nullptr;
    for (const auto& pipe : AltSettings.front().Pipes) {
      if (pipe.PipeId == pipeId)
        return &pipe;
    }
    return nullptr;
  }
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  std::atomic_ref<int>(*static_cast<int*>(transfer->user_data)).store(1, std::memory_order_release);
}

class LibusbTransport final : public UsbTransport {
 public:
  explicit LibusbTransport(libusb_context* context) : context_(context) {}

  ~LibusbTransport() override {
    {
      std::lock_guard lock(tableMutex_);
      interfaces_.clear();
      devices_.clear();
    }
    libusb_exit(context_);
  }

  std::string_view Name() const override { return "libusb"; }

  // Host thread; blocks while the descriptors of candidate devices are read. A device
  // matches when VANTOR_USB_IDS lists its vendor:product pair or its MS OS descriptors
  // announce `interfaceClass` for interface 0. Hubs are never probed.
  UsbError EnumerateDevices(const GUID& interfaceClass, std::vector<std::string>& devicePaths) override {
    devicePaths.clear();
    SetLastErrorText({});
    if (IsZero(interfaceClass))
      return UsbError::None;
    const char* idsText = std::getenv("VANTOR_USB_IDS");
    const MsOs::UsbIdList ids = MsOs::ParseUsbIdList(idsText ? idsText : "");

    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0)
      return FromLibusb(static_cast<int>(count));
    size_t denied = 0;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS)
        continue;
      if (descriptor.bDeviceClass == LIBUSB_CLASS_HUB)
        continue;
      bool matches = false;
      for (const auto& id : ids.Ids) {
        matches = matches || (id.VendorId == descriptor.idVendor && id.ProductId == descriptor.idProduct);
      }
      if (!matches) {
        libusb_device_handle* handle = nullptr;
        const int r = libusb_open(list[i], &handle);
        if (r == LIBUSB_ERROR_ACCESS)
          ++denied;
        if (r != LIBUSB_SUCCESS)
          continue;
        for (const auto& guid : AnnouncedInterfaceGuids(handle, descriptor)) {
          matches = matches || guid == interfaceClass;
        }
        libusb_close(handle);
      }
      if (matches)
        devicePaths.push_back(DescribeDevice(list[i], descriptor));
    }
    libusb_free_device_list(list, 1);

    if (devicePaths.empty()) {
      std::string text;
      if (denied > 0) {
        text = "No camera found; " + std::to_string(denied) +
               " USB device(s) could not be opened to read their descriptors (permission denied). " +
               PermissionHint;
      }
      for (const auto& rejected : ids.Rejected) {
        text += (text.empty() ? "" : " ") + std::string("VANTOR_USB_IDS entry '") + rejected +
                "' is not vendor:product in hexadecimal (for example 1234:5678) and was ignored.";
      }
      SetLastErrorText(std::move(text));
    }
    return UsbError::None;
  }

  // Host thread; blocks briefly. Finds the device by its description again (the list
  // may have changed since enumeration) and opens it.
  UsbError OpenDevice(const std::string& devicePath, TransportHandle& device) override {
    SetLastErrorText({});
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0)
      return FromLibusb(static_cast<int>(count));
    libusb_device_handle* handle = nullptr;
    int r = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS)
        continue;
      if (DescribeDevice(list[i], descriptor) == devicePath) {
        r = libusb_open(list[i], &handle);
        break;
      }
    }
    libusb_free_device_list(list, 1);
    if (r == LIBUSB_ERROR_ACCESS) {
      SetLastErrorText("Permission denied opening " + devicePath + ". " + PermissionHint);
    }
    if (r != LIBUSB_SUCCESS)
      return FromLibusb(r);
    auto entry = std::make_shared<DeviceEntry>(handle, devicePath);
    std::lock_guard lock(tableMutex_);
    device = nextHandle_++;
    devices_.emplace(device, std::move(entry));
    return UsbError::None;
  }

  // Host thread. Claims interface 0, detaching a kernel driver bound to it (libusb
  // re-attaches it on release), and reads the interface's endpoint layout once so the
  // queries below need no I/O.
  UsbError InitializeInterface(TransportHandle device, TransportHandle& usbInterface) override {
    std::shared_ptr<DeviceEntry> entry = FindDevice(device);
    if (!entry)
      return UsbError::InvalidArgument;
    if (entry->Gone.load(std::memory_order_acquire))
      return UsbError::NoDevice;
    libusb_set_auto_detach_kernel_driver(entry->Handle, 1);  // not supported everywhere; fine
    int r = libusb_claim_interface(entry->Handle, CameraInterfaceNumber);
    if (r == LIBUSB_ERROR_BUSY) {
      SetLastErrorText(entry->Path + " is in use by another program.");
    }
    if (r != LIBUSB_SUCCESS)
      return Fail(*entry, r);

    auto usb = std::make_shared<InterfaceEntry>();
    usb->Device = entry;  // from here on, usb's destructor releases the interface
    libusb_device* dev = libusb_get_device(entry->Handle);
    usb->Speed = SpeedCode(libusb_get_device_speed(dev));
    libusb_config_descriptor* config = nullptr;
    r = libusb_get_active_config_descriptor(dev, &config);
    if (r != LIBUSB_SUCCESS)
      return Fail(*entry, r);
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
      const libusb_interface& iface = config->interface[i];
      for (int a = 0; a < iface.num_altsetting; ++a) {
        const libusb_interface_descriptor& d = iface.altsetting[a];
        if (d.bInterfaceNumber != CameraInterfaceNumber)
          continue;
        AltSetting alt{{d.bInterfaceNumber, d.bAlternateSetting, d.bNumEndpoints, d.bInterfaceClass,
                        d.bInterfaceSubClass, d.bInterfaceProtocol},
                       {}};
        for (uint8_t e = 0; e < d.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = d.endpoint[e];
          alt.Pipes.push_back({static_cast<UsbPipeType>(ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK),
                               ep.bEndpointAddress, static_cast<uint16_t>(ep.wMaxPacketSize & 0x7FF),
                               ep.bInterval});
        }
        usb->AltSettings.push_back(std::move(alt));
      }
    }
    libusb_free_config_descriptor(config);
    std::sort(usb->AltSettings.begin(), usb->AltSettings.end(), [](const AltSetting& a, const AltSetting& b) {
      return a.Descriptor.AlternateSetting < b.Descriptor.AlternateSetting;
    });
    if (usb->AltSettings.empty() || usb->AltSettings.front().Descriptor.AlternateSetting != 0) {
      return UsbError::NotFound;
    }
    std::lock_guard lock(tableMutex_);
    usbInterface = nextHandle_++;
    interfaces_.emplace(usbInterface, std::move(usb));
    return UsbError::None;
  }

  // Non-blocking, any thread. DeviceSpeedInformation: 1 low, 2 full, 3 high speed and
  // faster; 0 if libusb cannot tell.
  UsbError QueryDeviceInformation(TransportHandle usbInterface, uint32_t informationType, void* buffer,
                                  uint32_t& length) override {
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::InvalidArgument;
    if (informationType != DeviceSpeedInformation || buffer == nullptr || length < 1) {
      return UsbError::InvalidArgument;
    }
    *static_cast<uint8_t*>(buffer) = usb->Speed;
    length = 1;
    return UsbError::None;
  }

  // Non-blocking, any thread; from the descriptors read when the interface was claimed.
  UsbError QueryInterfaceSettings(TransportHandle usbInterface, uint8_t alternateSetting,
                                  UsbInterfaceDescriptor& descriptor) override {
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::InvalidArgument;
    for (const auto& alt : usb->AltSettings) {
      if (alt.Descriptor.AlternateSetting == alternateSetting) {
        descriptor = alt.Descriptor;
        return UsbError::None;
      }
    }
    return UsbError::NotFound;
  }

  // Non-blocking, any thread.
  UsbError QueryPipe(TransportHandle usbInterface, uint8_t alternateSetting, uint8_t pipeIndex,
                     UsbPipeInformation& pipe) override {
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::InvalidArgument;
    for (const auto& alt : usb->AltSettings) {
      if (alt.Descriptor.AlternateSetting != alternateSetting)
        continue;
      if (pipeIndex >= alt.Pipes.size())
        return UsbError::NotFound;
      pipe = alt.Pipes[pipeIndex];
      return UsbError::None;
    }
    return UsbError::NotFound;
  }

  // Non-blocking, any thread. The time-out is the layer's own record, applied to every
  // later transfer on the pipe (libusb has no per-pipe setting).
  UsbError SetPipeTimeout(TransportHandle usbInterface, uint8_t pipeId, uint32_t milliseconds) override {
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::InvalidArgument;
    if (!usb->FindPipe(pipeId))
      return UsbError::NotFound;
    usb->PipeTimeoutMs[InterfaceEntry::PipeSlot(pipeId)].store(milliseconds, std::memory_order_relaxed);
    return UsbError::None;
  }

  // Blocks up to ControlTimeoutMs. The setup packet goes out exactly as given
  // (bmRequestType 0x60 and 0xE0 included). Safe alongside a pending ReadPipe.
  UsbError ControlTransfer(TransportHandle usbInterface, const UsbSetupPacket& setup, uint8_t* data,
                           uint32_t& transferred) override {
    transferred = 0;
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::NoDevice;
    if (setup.Length > 0 && data == nullptr)
      return UsbError::InvalidArgument;
    const bool in = (setup.RequestType & LIBUSB_ENDPOINT_IN) != 0;
    // Small requests (all the camera's) use the stack; descriptor-sized ones the heap.
    std::array<uint8_t, LIBUSB_CONTROL_SETUP_SIZE + 64> small;
    std::vector<uint8_t> large;
    uint8_t* buffer = small.data();
    if (setup.Length > small.size() - LIBUSB_CONTROL_SETUP_SIZE) {
      large.resize(LIBUSB_CONTROL_SETUP_SIZE + setup.Length);
      buffer = large.data();
    }
    libusb_fill_control_setup(buffer, setup.RequestType, setup.Request, setup.Value, setup.Index,
                              setup.Length);
    if (!in && setup.Length > 0)
      std::memcpy(buffer + LIBUSB_CONTROL_SETUP_SIZE, data, setup.Length);

    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer)
      return UsbError::NoMemory;
    libusb_fill_control_transfer(transfer, usb->Device->Handle, buffer, OnTransferDone, nullptr,
                                 ControlTimeoutMs);
    uint32_t moved = 0;
    const UsbError error = Execute(*usb, transfer, moved);
    moved = std::min<uint32_t>(moved, setup.Length);
    if (in && moved > 0)
      std::memcpy(data, buffer + LIBUSB_CONTROL_SETUP_SIZE, moved);
    transferred = moved;
    return error;
  }

  // Readout thread. Blocks until `length` bytes, a short packet, the pipe's time-out
  // (Timeout with the bytes that did arrive), unplug or FreeInterface (NoDevice).
  UsbError ReadPipe(TransportHandle usbInterface, uint8_t pipeId, uint8_t* buffer, uint32_t length,
                    uint32_t& transferred) override {
    return Bulk(usbInterface, pipeId, true, buffer, length, transferred);
  }

  // Any thread. Same rules as ReadPipe for an OUT pipe.
  UsbError WritePipe(TransportHandle usbInterface, uint8_t pipeId, const uint8_t* buffer, uint32_t length,
                     uint32_t& transferred) override {
    // libusb takes a non-const buffer for both directions; it only reads an OUT one.
    return Bulk(usbInterface, pipeId, false, const_cast<uint8_t*>(buffer), length, transferred);
  }

  // Host thread. Cancels what is pending on the handle (those transfers end with
  // NoDevice); the interface is released once they have returned.
  void FreeInterface(TransportHandle usbInterface) override {
    std::shared_ptr<InterfaceEntry> usb;
    {
      std::lock_guard lock(tableMutex_);
      auto it = interfaces_.find(usbInterface);
      if (it == interfaces_.end())
        return;
      usb = std::move(it->second);
      interfaces_.erase(it);
    }
    std::lock_guard lock(usb->InFlightMutex);
    usb->Released = true;
    for (libusb_transfer* transfer : usb->InFlight)
      libusb_cancel_transfer(transfer);
  }

  // Host thread. The libusb handle is closed once no interface of it is in use.
  void CloseDevice(TransportHandle device) override {
    std::lock_guard lock(tableMutex_);
    devices_.erase(device);
  }

  std::string LastErrorText() const override {
    std::lock_guard lock(tableMutex_);
    return lastErrorText_;
  }

 private:
  std::shared_ptr<DeviceEntry> FindDevice(TransportHandle handle) const {
    std::lock_guard lock(tableMutex_);
    auto it = devices_.find(handle);
    return it == devices_.end() ? nullptr : it->second;
  }

  std::shared_ptr<InterfaceEntry> FindInterface(TransportHandle handle) const {
    std::lock_guard lock(tableMutex_);
    auto it = interfaces_.find(handle);
    return it == interfaces_.end() ? nullptr : it->second;
  }

  void SetLastErrorText(std::string text) {
    std::lock_guard lock(tableMutex_);
    lastErrorText_ = std::move(text);
  }

  static UsbError Fail(DeviceEntry& device, int code) {
    if (code == LIBUSB_ERROR_NO_DEVICE)
      device.Gone.store(true, std::memory_order_release);
    return FromLibusb(code);
  }

  UsbError Bulk(TransportHandle usbInterface, uint8_t pipeId, bool in, uint8_t* buffer, uint32_t length,
                uint32_t& transferred) {
    transferred = 0;
    auto usb = FindInterface(usbInterface);
    if (!usb)
      return UsbError::NoDevice;
    const UsbPipeInformation* pipe = usb->FindPipe(pipeId);
    if (!pipe)
      return UsbError::NotFound;
    const bool pipeIn = (pipeId & LIBUSB_ENDPOINT_IN) != 0;
    if (pipeIn != in || (pipe->PipeType != UsbPipeType::Bulk && pipe->PipeType != UsbPipeType::Interrupt) ||
        length > static_cast<uint32_t>(std::numeric_limits<int>::max()) ||
        (length > 0 && buffer == nullptr)) {
      return UsbError::InvalidArgument;
    }
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer)
      return UsbError::NoMemory;
    const unsigned timeout =
        usb->PipeTimeoutMs[InterfaceEntry::PipeSlot(pipeId)].load(std::memory_order_relaxed);
    if (pipe->PipeType == UsbPipeType::Bulk) {
      libusb_fill_bulk_transfer(transfer, usb->Device->Handle, pipeId, buffer, static_cast<int>(length),
                                OnTransferDone, nullptr, timeout);
    } else {
      libusb_fill_interrupt_transfer(transfer, usb->Device->Handle, pipeId, buffer, static_cast<int>(length),
                                     OnTransferDone, nullptr, timeout);
    }
    return Execute(*usb, transfer, transferred);
  }

  // Submits `transfer`, waits for it and frees it. The wait handles libusb events on
  // this thread; other threads waiting at the same time are woken by libusb as their
  // own transfers complete, so a control request and a pending bulk read proceed
  // side by side. `moved` receives the data bytes moved, also on failure.
  UsbError Execute(InterfaceEntry& usb, libusb_transfer* transfer, uint32_t& moved) {
    int completed = 0;
    transfer->user_data = &completed;
    moved = 0;
    {
      std::lock_guard lock(usb.InFlightMutex);
      int r = LIBUSB_ERROR_NO_DEVICE;
      if (!usb.Released && !usb.Device->Gone.load(std::memory_order_acquire))
        r = libusb_submit_transfer(transfer);
      if (r != LIBUSB_SUCCESS) {
        libusb_free_transfer(transfer);
        return Fail(*usb.Device, r);
      }
      usb.InFlight.push_back(transfer);
    }
    std::atomic_ref<int> done(completed);
    while (!done.load(std::memory_order_acquire)) {
      timeval interval{0, EventPollMicroseconds};
      const auto roundStart = std::chrono::steady_clock::now();
      const int r = libusb_handle_events_timeout_completed(context_, &interval, &completed);
      if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED) {
        // Event handling itself failed: give the transfer up; its completion (as
        // cancelled) is still collected by the next rounds.
        libusb_cancel_transfer(transfer);
      }
      // A round that ends at once without our completion handled someone else's event,
      // or met a device node that polls ready while nothing is there (as emulated nodes
      // do). A short pause then keeps this thread from spinning and from re-taking
      // libusb's locks before a thread waiting for them (a control request from the
      // host thread) is scheduled.
      if (!done.load(std::memory_order_acquire) &&
          std::chrono::steady_clock::now() - roundStart < std::chrono::milliseconds(1)) {
        std::this_thread::sleep_for(RoundPause);
      }
    }
    {
      std::lock_guard lock(usb.InFlightMutex);
      std::erase(usb.InFlight, transfer);
    }
    const libusb_transfer_status status = transfer->status;
    moved = static_cast<uint32_t>(std::max(transfer->actual_length, 0));
    libusb_free_transfer(transfer);
    if (status == LIBUSB_TRANSFER_NO_DEVICE)
      usb.Device->Gone.store(true, std::memory_order_release);
    return FromTransferStatus(status);
  }

  libusb_context* context_;
  mutable std::mutex tableMutex_;   // guards the tables, nextHandle_ and lastErrorText_
  TransportHandle nextHandle_ = 1;  // never 0 or InvalidTransportHandle
  std::map<TransportHandle, std::shared_ptr<DeviceEntry>> devices_;
  std::map<TransportHandle, std::shared_ptr<InterfaceEntry>> interfaces_;
  std::string lastErrorText_;
};

}  // namespace

std::unique_ptr<UsbTransport> CreateLibusbTransport() {
  // A context of our own: the process-wide default context belongs to whoever else in
  // the host process uses libusb.
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS)
    return nullptr;
  return std::make_unique<LibusbTransport>(context);
}

}  // namespace TarvisUSBInterface
