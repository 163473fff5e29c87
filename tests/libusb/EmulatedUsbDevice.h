#pragma once

// An emulated usbfs device for tests of the libusb layer. umockdev (running as the
// preload library) presents a sysfs entry and a device node under /dev/bus/usb; every
// usbfs ioctl libusb issues on that node arrives here and is answered by a simulated
// camera firmware, so libusb runs unmodified against the same firmware model as the
// in-process tests.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <simcam/Firmware.h>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace LibusbTests {

// The mocked /sys and /dev. Exactly one per test process and created before any libusb
// context, so libusb's device scan sees the mocked tree.
class Testbed {
 public:
  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  // False when the process does not run with umockdev's preload library.
  static bool Available();
  UMockdevTestbed* Get() const { return testbed_; }

 private:
  UMockdevTestbed* testbed_;
};

struct EmulatedDeviceOptions {
  unsigned Bus = 1;
  unsigned Address = 2;
  std::string SysName = "1-2";       // sysfs name: bus 1, port 2
  std::string Speed = "480";         // sysfs speed attribute in Mbit/s
  std::vector<uint8_t> Descriptors;  // empty: the simulated camera's own
  std::string KernelDriver;          // a driver bound to interface 0 ("" for none)
};

class EmulatedUsbDevice {
 public:
  EmulatedUsbDevice(Testbed& testbed, std::shared_ptr<SimulatedCamera::Firmware> firmware,
                    EmulatedDeviceOptions options = {});
  // Removes the device from the mocked tree.
  ~EmulatedUsbDevice();
  EmulatedUsbDevice(const EmulatedUsbDevice&) = delete;
  EmulatedUsbDevice& operator=(const EmulatedUsbDevice&) = delete;

  std::string DeviceNode() const;
  // "usb:BUS-PORT vvvv:pppp" as the layer should describe this device.
  std::string ExpectedPath() const;
  bool KernelDriverDetached() const;
  bool InterfaceClaimed() const;
  // Bulk IN URBs submitted so far (libusb splits long reads into several).
  uint64_t BulkInUrbsSubmitted() const;

 private:
  struct Urb;
  static int OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
  bool HandleIoctl(UMockdevIoctlClient* client);
  void ServiceBulkIn();

  Testbed& testbed_;
  std::shared_ptr<SimulatedCamera::Firmware> firmware_;
  EmulatedDeviceOptions options_;
  std::string sysPath_;
  UMockdevIoctlBase* handler_ = nullptr;

  std::atomic<bool> constructed_{false};
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Urb>> pendingIn_;  // bulk IN URBs waiting for data, in order
  std::vector<std::unique_ptr<Urb>> done_;       // finished URBs waiting to be reaped
  bool driverDetached_ = false;
  bool claimed_ = false;
  uint64_t bulkInSubmitted_ = 0;
};

}  // namespace LibusbTests
