#include "EmulatedUsbDevice.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <simcam/UsbDescriptors.h>

namespace LibusbTests {
namespace {

// Parent of every emulated device in the mocked sysfs; nothing real lives there.
constexpr const char* SysfsParent = "/devices/vantor-emulated/usb1";

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

// Resolves `length` bytes at the client address stored at `offset` in `data`.
UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) {
    g_error_free(error);
    return nullptr;
  }
  return resolved;
}

}  // namespace

// A submitted URB: the caller's usbdevfs_urb and its buffer, mirrored by umockdev.
// Whatever we write into them reaches the caller when the URB is reaped.
struct EmulatedUsbDevice::Urb {
  UMockdevIoctlData* Data = nullptr;
  UMockdevIoctlData* Buffer = nullptr;
  ~Urb() {
    if (Buffer)
      g_object_unref(Buffer);
    if (Data)
      g_object_unref(Data);
  }
  usbdevfs_urb& Fields() const { return *reinterpret_cast<usbdevfs_urb*>(Data->data); }
  uint8_t* Bytes() const { return Buffer ? Buffer->data : nullptr; }
};

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() {
  g_object_unref(testbed_);
}

bool Testbed::Available() {
  // The preload library redirects /sys into the testbed; without it the marker the
  // constructor's testbed cannot be seen.
  return umockdev_in_mock_environment() && access("/sys/devices/vantor-emulated", F_OK) == 0;
}

EmulatedUsbDevice::EmulatedUsbDevice(Testbed& testbed, std::shared_ptr<SimulatedCamera::Firmware> firmware,
                                     EmulatedDeviceOptions options)
    : testbed_(testbed), firmware_(std::move(firmware)), options_(std::move(options)) {
  if (options_.Descriptors.empty())
    options_.Descriptors = SimulatedCamera::UsbDeviceDescriptors();
  sysPath_ = std::string(SysfsParent) + "/" + options_.SysName;

  // The handler goes on the node before the device exists: libusb may open the node as
  // soon as it sees the device.
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(&EmulatedUsbDevice::OnIoctl), this);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_.Get(), DeviceNode().c_str(), handler_, &error)) {
    std::string message = error ? error->message : "unknown error";
    if (error)
      g_error_free(error);
    throw std::runtime_error("umockdev_testbed_attach_ioctl: " + message);
  }

  char node[32];
  std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", options_.Bus, options_.Address);
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "E: BUSNUM=%03u\nE: DEVNUM=%03u\n", options_.Bus, options_.Address);
  // Attribute values end in a newline, as the kernel writes them ("\\n" in this format).
  const std::string description =
      "P: " + sysPath_ + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
      "E: DRIVER=usb\nE: DEVNAME=/dev/" + node + "\n" + numbers +
      "A: busnum=" + std::to_string(options_.Bus) + "\\n\nA: devnum=" + std::to_string(options_.Address) +
      "\\n\nA: bConfigurationValue=1\\n\nA: speed=" + options_.Speed +
      "\\n\nH: descriptors=" + Hex(options_.Descriptors) + "\n";
  if (!umockdev_testbed_add_from_string(testbed_.Get(), description.c_str(), &error)) {
    std::string message = error ? error->message : "unknown error";
    if (error)
      g_error_free(error);
    throw std::runtime_error("umockdev_testbed_add_from_string: " + message);
  }
  // Publishes the set-up to umockdev's worker thread in a way ThreadSanitizer can see;
  // the hand-over through GLib's main loop is invisible to it.
  constructed_.store(true, std::memory_order_release);
}

EmulatedUsbDevice::~EmulatedUsbDevice() {
  { std::lock_guard lock(mutex_); }  // orders the last ioctl before the tear-down
  umockdev_testbed_remove_device(testbed_.Get(), ("/sys" + sysPath_).c_str());
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(testbed_.Get(), DeviceNode().c_str(), &error);
  if (error)
    g_error_free(error);
  g_object_unref(handler_);
}

std::string EmulatedUsbDevice::DeviceNode() const {
  char node[40];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", options_.Bus, options_.Address);
  return node;
}

std::string EmulatedUsbDevice::ExpectedPath() const {
  char ids[16];
  std::snprintf(ids, sizeof ids, " %04x:%04x", options_.Descriptors[8] | options_.Descriptors[9] << 8,
                options_.Descriptors[10] | options_.Descriptors[11] << 8);
  return "usb:" + options_.SysName + ids;
}

bool EmulatedUsbDevice::KernelDriverDetached() const {
  std::lock_guard lock(mutex_);
  return driverDetached_;
}

bool EmulatedUsbDevice::InterfaceClaimed() const {
  std::lock_guard lock(mutex_);
  return claimed_;
}

uint64_t EmulatedUsbDevice::BulkInUrbsSubmitted() const {
  std::lock_guard lock(mutex_);
  return bulkInSubmitted_;
}

int EmulatedUsbDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  return static_cast<EmulatedUsbDevice*>(self)->HandleIoctl(client) ? TRUE : FALSE;
}

// Moves what the camera has sent into the waiting bulk IN URBs, oldest first. A URB
// is done when full, or when the camera ended one of its transfers (a short packet);
// a URB that has received whole packets only keeps waiting, as on real hardware.
void EmulatedUsbDevice::ServiceBulkIn() {
  while (!pendingIn_.empty()) {
    Urb& urb = *pendingIn_.front();
    usbdevfs_urb& fields = urb.Fields();
    const uint32_t room = static_cast<uint32_t>(fields.buffer_length - fields.actual_length);
    bool transferEnded = false;
    const uint32_t got =
        room > 0 ? firmware_->ReadBulkIn(urb.Bytes() + fields.actual_length, room, &transferEnded) : 0;
    fields.actual_length += static_cast<int>(got);
    const bool full = fields.actual_length == fields.buffer_length;
    const bool shortPacket =
        got > 0 && (transferEnded || fields.actual_length % SimulatedCamera::BulkMaxPacketSize != 0);
    if (!full && !shortPacket)
      return;
    fields.status = 0;
    done_.push_back(std::move(pendingIn_.front()));
    pendingIn_.erase(pendingIn_.begin());
  }
}

bool EmulatedUsbDevice::HandleIoctl(UMockdevIoctlClient* client) {
  (void)constructed_.load(std::memory_order_acquire);
  std::lock_guard lock(mutex_);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  bool unplugged = firmware_->IsUnplugged();
  auto complete = [client](long result, int error) { umockdev_ioctl_client_complete(client, result, error); };

  if (unplugged) {
    // The kernel fails every URB in flight with -ENODEV and refuses new work.
    for (auto& urb : pendingIn_) {
      urb->Fields().status = -ENODEV;
      done_.push_back(std::move(urb));
    }
    pendingIn_.clear();
    if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB &&
        request != USBDEVFS_RELEASEINTERFACE) {
      complete(-1, ENODEV);
      return true;
    }
  }

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = Resolve(arg, 0, sizeof(uint32_t));
      if (!caps) {
        complete(-1, EFAULT);
        return true;
      }
      // No scatter-gather: libusb splits long bulk reads into 16 KiB URBs, the case
      // that needs the most care on its side.
      *reinterpret_cast<uint32_t*>(caps->data) = USBDEVFS_CAP_ZERO_PACKET;
      g_object_unref(caps);
      complete(0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      claimed_ = request == USBDEVFS_CLAIMINTERFACE;
      complete(0, 0);
      return true;
    }
    case USBDEVFS_GETDRIVER: {
      UMockdevIoctlData* data = Resolve(arg, 0, sizeof(usbdevfs_getdriver));
      if (!data) {
        complete(-1, EFAULT);
        return true;
      }
      auto& query = *reinterpret_cast<usbdevfs_getdriver*>(data->data);
      const bool bound = query.interface == 0 && !options_.KernelDriver.empty() && !driverDetached_;
      if (bound) {
        std::snprintf(query.driver, sizeof query.driver, "%s", options_.KernelDriver.c_str());
      }
      g_object_unref(data);
      complete(bound ? 0 : -1, bound ? 0 : ENODATA);
      return true;
    }
    case USBDEVFS_IOCTL: {
      UMockdevIoctlData* data = Resolve(arg, 0, sizeof(usbdevfs_ioctl));
      if (!data) {
        complete(-1, EFAULT);
        return true;
      }
      const auto& command = *reinterpret_cast<usbdevfs_ioctl*>(data->data);
      const bool bound = !options_.KernelDriver.empty() && !driverDetached_;
      int error = ENOTTY;
      if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
        error = bound ? 0 : ENODATA;
        driverDetached_ = driverDetached_ || bound;
      } else if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
        error = 0;
        driverDetached_ = false;
      }
      g_object_unref(data);
      complete(error ? -1 : 0, error);
      return true;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
      complete(0, 0);
      return true;
    case USBDEVFS_SUBMITURB: {
      auto urb = std::make_unique<Urb>();
      urb->Data = Resolve(arg, 0, sizeof(usbdevfs_urb));
      if (!urb->Data) {
        complete(-1, EFAULT);
        return true;
      }
      usbdevfs_urb& fields = urb->Fields();
      if (fields.buffer_length > 0) {
        urb->Buffer =
            Resolve(urb->Data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(fields.buffer_length));
        if (!urb->Buffer) {
          complete(-1, EFAULT);
          return true;
        }
      }
      fields.actual_length = 0;
      fields.status = 0;
      if (fields.type == USBDEVFS_URB_TYPE_CONTROL && fields.endpoint == 0 && fields.buffer_length >= 8) {
        // The setup packet, then the data stage; actual_length excludes the setup.
        const uint8_t* s = urb->Bytes();
        const TarvisUSBInterface::UsbSetupPacket setup{s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                                                       static_cast<uint16_t>(s[4] | s[5] << 8),
                                                       static_cast<uint16_t>(s[6] | s[7] << 8)};
        if (8 + setup.Length > fields.buffer_length) {
          complete(-1, EINVAL);
          return true;
        }
        uint32_t returned = 0;
        const bool accepted = firmware_->HandleControl(setup, urb->Bytes() + 8, returned);
        fields.status = accepted ? 0 : -EPIPE;
        fields.actual_length =
            accepted ? static_cast<int>((setup.RequestType & 0x80) ? returned : setup.Length) : 0;
        done_.push_back(std::move(urb));
      } else if (fields.type == USBDEVFS_URB_TYPE_BULK &&
                 fields.endpoint == SimulatedCamera::BulkInEndpoint) {
        ++bulkInSubmitted_;
        pendingIn_.push_back(std::move(urb));
      } else if (fields.type == USBDEVFS_URB_TYPE_BULK &&
                 fields.endpoint == SimulatedCamera::BulkOutEndpoint) {
        fields.actual_length = static_cast<int>(
            firmware_->WriteBulkOut(urb->Bytes(), static_cast<uint32_t>(fields.buffer_length)));
        done_.push_back(std::move(urb));
      } else {
        complete(-1, EINVAL);
        return true;
      }
      complete(0, 0);
      return true;
    }
    case USBDEVFS_DISCARDURB: {
      // The argument is the URB's address in the caller.
      // umockdev hands it over as the raw argument value.
      uintptr_t address = 0;
      if (arg->data_len >= static_cast<int>(sizeof address))
        std::memcpy(&address, arg->data, sizeof address);
      for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
        if ((*it)->Data->client_addr == address) {
          (*it)->Fields().status = -ENOENT;  // keeps what it received so far
          done_.push_back(std::move(*it));
          pendingIn_.erase(it);
          complete(0, 0);
          return true;
        }
      }
      complete(-1, EINVAL);  // already finished: the caller reaps it normally
      return true;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      if (!unplugged)
        ServiceBulkIn();
      if (!unplugged && firmware_->IsUnplugged()) {  // the stream's unplug fault fired
        unplugged = true;
        for (auto& urb : pendingIn_) {
          urb->Fields().status = -ENODEV;
          done_.push_back(std::move(urb));
        }
        pendingIn_.clear();
      }
      if (done_.empty()) {
        complete(-1, unplugged ? ENODEV : EAGAIN);
        return true;
      }
      std::unique_ptr<Urb> urb = std::move(done_.front());
      done_.erase(done_.begin());
      UMockdevIoctlData* slot = Resolve(arg, 0, sizeof(void*));
      if (!slot) {
        complete(-1, EFAULT);
        return true;
      }
      umockdev_ioctl_data_set_ptr(slot, 0, urb->Data);
      g_object_unref(slot);
      complete(0, 0);
      return true;
    }
    default:
      complete(-1, ENOTTY);
      return true;
  }
}

}  // namespace LibusbTests
