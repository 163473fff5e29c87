// The libusb layer against an emulated usbfs device: discovery, the interface and pipe
// queries, control and bulk transfers, time-outs, unplug and freed handles.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include <simcam/UsbDescriptors.h>
#include <vantor/CameraProtocol.h>
#include <vantor/Guid.h>

#include "LibusbFixture.h"

namespace LibusbTests {
namespace {

using namespace TarvisUSBInterface;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr GUID OtherInterface = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

// A device without MS OS descriptors (USB 2.00, so no BOS), vendor:product 1234:5678.
std::vector<uint8_t> PlainDeviceDescriptors() {
  std::vector<uint8_t> d = SimulatedCamera::UsbDeviceDescriptors();
  d[2] = 0x00;  // bcdUSB 2.00
  // idVendor at bytes 8-9, idProduct at 10-11, little-endian.
  d[8] = 0x34, d[9] = 0x12, d[10] = 0x78, d[11] = 0x56;
  return d;
}

class LibusbTransportTest : public EmulatedCameraTest {
 protected:
  // Opens the emulated camera and claims its interface.
  void Connect() {
    std::vector<std::string> paths;
    ASSERT_EQ(transport->EnumerateDevices(OSR_DEVICE_INTERFACE, paths), UsbError::None);
    ASSERT_EQ(paths.size(), 1u) << transport->LastErrorText();
    ASSERT_EQ(transport->OpenDevice(paths[0], deviceHandle), UsbError::None);
    ASSERT_EQ(transport->InitializeInterface(deviceHandle, usb), UsbError::None);
  }

  UsbError Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data = nullptr,
                   uint16_t length = 0) {
    uint32_t moved = 0;
    return transport->ControlTransfer(usb, {type, request, value, index, length}, data, moved);
  }

  // Starts an exposure of `ms` at binning 2 x 2 over the full readout area: one
  // transfer of 397 x 298 samples.
  void StartExposure(uint16_t ms) {
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::SetCameraBinningRequest, 0x0202, 0), UsbError::None);
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::SetWindowStartXRequest, 0, 0), UsbError::None);
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::SetWindowEndXRequest, 396, 0), UsbError::None);
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::SetWindowStartYRequest, 0, 0), UsbError::None);
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::SetWindowEndYRequest, 297, 0), UsbError::None);
    ASSERT_EQ(Control(Protocol::HostToDevice, Protocol::StartExposureRequest, ms, 0), UsbError::None);
  }
  static constexpr uint32_t FrameBytes = 397 * 298 * 2;

  TransportHandle deviceHandle = 0;
  TransportHandle usb = 0;
};

// Catches: a camera announcing its GUID only through MS OS 2.0 descriptors is not
// found, another GUID matches it, or the path is not the stable bus-port description.
TEST_F(LibusbTransportTest, FindsTheCameraByItsMsOs20InterfaceGuidOnly) {
  std::vector<std::string> paths;
  ASSERT_EQ(transport->EnumerateDevices(OSR_DEVICE_INTERFACE, paths), UsbError::None);
  EXPECT_EQ(paths, std::vector<std::string>{"usb:1-2 1209:0001"});
  EXPECT_EQ(transport->EnumerateDevices(OtherInterface, paths), UsbError::None);
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(transport->EnumerateDevices(GUID{}, paths), UsbError::None);
  EXPECT_TRUE(paths.empty());
}

// Catches: VANTOR_USB_IDS not consulted, parsed wrongly (case, blanks, several
// entries), or a malformed entry going unreported.
TEST_F(LibusbTransportTest, VantorUsbIdsStandsInForMissingDescriptors) {
  device.reset();
  EmulatedDeviceOptions plain;
  plain.Address = 3;
  plain.SysName = "1-4";
  plain.Descriptors = PlainDeviceDescriptors();
  device = std::make_unique<EmulatedUsbDevice>(*testbed, firmware, plain);
  transport = CreateUsbTransport("libusb");

  struct Case {
    const char* Ids;  // null: unset
    bool Found;
    const char* ErrorMentions;
  };
  const Case cases[] = {
      {nullptr, false, ""},
      {"abcd:0001", false, ""},
      {"abcd:0001, 1234:5678", true, ""},
      {"1234:5678", true, ""},
      {"1234:567g,12345:1", false, "'1234:567g'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Ids ? c.Ids : "(unset)");
    if (c.Ids) {
      setenv("VANTOR_USB_IDS", c.Ids, 1);
    } else {
      unsetenv("VANTOR_USB_IDS");
    }
    std::vector<std::string> paths;
    ASSERT_EQ(transport->EnumerateDevices(OSR_DEVICE_INTERFACE, paths), UsbError::None);
    EXPECT_EQ(paths, c.Found ? std::vector<std::string>{"usb:1-4 1234:5678"} : std::vector<std::string>{});
    EXPECT_NE(transport->LastErrorText().find(c.ErrorMentions), std::string::npos)
        << transport->LastErrorText();
  }
}

// Catches: wrong speed mapping (SuperSpeed must report high speed, 3), or interface
// and pipe queries not taken from the descriptors.
TEST_F(LibusbTransportTest, ReportsSpeedInterfaceAndPipesFromTheDescriptors) {
  const std::pair<const char*, uint8_t> speeds[] = {
      {"1.5", LowSpeed}, {"12", FullSpeed}, {"480", HighSpeed}, {"5000", HighSpeed}, {"10000", HighSpeed}};
  unsigned address = 10;
  for (const auto& [sysfsSpeed, code] : speeds) {
    SCOPED_TRACE(sysfsSpeed);
    transport.reset();
    device.reset();
    EmulatedDeviceOptions options;
    options.Address = address++;
    options.Speed = sysfsSpeed;
    device = std::make_unique<EmulatedUsbDevice>(*testbed, firmware, options);
    transport = CreateUsbTransport("libusb");
    Connect();
    uint8_t speed = 0;
    uint32_t length = 1;
    ASSERT_EQ(transport->QueryDeviceInformation(usb, DeviceSpeedInformation, &speed, length), UsbError::None);
    EXPECT_EQ(speed, code);
  }

  UsbInterfaceDescriptor interface {};
  ASSERT_EQ(transport->QueryInterfaceSettings(usb, 0, interface), UsbError::None);
  EXPECT_EQ(interface.NumEndpoints, 2);
  EXPECT_EQ(interface.InterfaceClass, 0xFF);
  EXPECT_EQ(transport->QueryInterfaceSettings(usb, 1, interface), UsbError::NotFound);
  UsbPipeInformation pipe{};
  ASSERT_EQ(transport->QueryPipe(usb, 0, 0, pipe), UsbError::None);
  EXPECT_EQ(pipe.PipeType, UsbPipeType::Bulk);
  EXPECT_EQ(pipe.PipeId, 0x81);
  EXPECT_EQ(pipe.MaximumPacketSize, 512);
  ASSERT_EQ(transport->QueryPipe(usb, 0, 1, pipe), UsbError::None);
  EXPECT_EQ(pipe.PipeType, UsbPipeType::Bulk);
  EXPECT_EQ(pipe.PipeId, 0x02);
  EXPECT_EQ(transport->QueryPipe(usb, 0, 2, pipe), UsbError::NotFound);
  EXPECT_EQ(transport->SetPipeTimeout(usb, 0x83, 100), UsbError::NotFound);
}

// Catches: a kernel driver bound to interface 0 left in place (claim fails on real
// systems) or not given back when the interface is released.
TEST_F(LibusbTransportTest, DetachesAKernelDriverAndGivesItBack) {
  transport.reset();
  device.reset();
  EmulatedDeviceOptions options;
  options.KernelDriver = "usbtest";
  device = std::make_unique<EmulatedUsbDevice>(*testbed, firmware, options);
  transport = CreateUsbTransport("libusb");
  Connect();
  EXPECT_TRUE(device->KernelDriverDetached());
  EXPECT_TRUE(device->InterfaceClaimed());
  transport->FreeInterface(usb);
  transport->CloseDevice(deviceHandle);
  EXPECT_FALSE(device->InterfaceClaimed());
  EXPECT_FALSE(device->KernelDriverDetached());
}

// Catches: the layer rewriting bmRequestType 0x60/0xE0 into the vendor values, wrong
// byte order of wValue/wIndex, a data stage on OUT requests, or a stall not reported
// as one (and poisoning later requests).
TEST_F(LibusbTransportTest, ControlRequestsReachTheCameraAsGiven) {
  Connect();
  firmware->ClearRequestLog();
  ASSERT_EQ(Control(0x60, Protocol::SetCoolingPointRequest, 0x1234, 0x0001), UsbError::None);
  uint8_t word[2] = {0xAA, 0xAA};
  firmware->ForceTemperatureRaw(262);
  uint32_t moved = 0;
  ASSERT_EQ(transport->ControlTransfer(usb, {0xE0, Protocol::GetTemperatureRequest, 0, 0, 2}, word, moved),
            UsbError::None);
  EXPECT_EQ(moved, 2u);
  EXPECT_EQ(word[0] | word[1] << 8, 262);
  EXPECT_EQ(Control(0x60, 15, 0, 0), UsbError::Stall);  // code 15 is not a request
  EXPECT_EQ(Control(0x60, Protocol::SetCoolingDutyCycleRequest, 50, 0), UsbError::None);

  const auto log = firmware->RequestLog();
  ASSERT_EQ(log.size(), 4u);
  const UsbSetupPacket expected[] = {
      {0x60, 22, 0x1234, 1, 0}, {0xE0, 23, 0, 0, 2}, {0x60, 15, 0, 0, 0}, {0x60, 30, 50, 0, 0}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(log[i].RequestType, expected[i].RequestType);
    EXPECT_EQ(log[i].Request, expected[i].Request);
    EXPECT_EQ(log[i].Value, expected[i].Value);
    EXPECT_EQ(log[i].Index, expected[i].Index);
    EXPECT_EQ(log[i].Length, expected[i].Length);
  }
}

// Catches: a bulk write not reaching the OUT pipe, or a transfer accepted on a pipe of
// the wrong direction or one the interface does not have.
TEST_F(LibusbTransportTest, BulkTransfersUseOnlyPipesOfTheirDirection) {
  Connect();
  std::vector<uint8_t> data(1024, 0x5A);
  uint32_t moved = 0;
  EXPECT_EQ(transport->WritePipe(usb, 0x02, data.data(), 1024, moved), UsbError::None);
  EXPECT_EQ(moved, 1024u);
  EXPECT_EQ(transport->WritePipe(usb, 0x81, data.data(), 1024, moved), UsbError::InvalidArgument);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(transport->ReadPipe(usb, 0x02, data.data(), 1024, moved), UsbError::InvalidArgument);
  EXPECT_EQ(transport->ReadPipe(usb, 0x83, data.data(), 1024, moved), UsbError::NotFound);
  EXPECT_EQ(transport->ReadPipe(usb, 0x81, nullptr, 1024, moved), UsbError::InvalidArgument);
}

// Catches: the per-pipe time-out not applied, or a read that times out mid-stream
// (libusb splits it into several URBs) losing the count of bytes that did arrive.
TEST_F(LibusbTransportTest, BulkTimeOutMidStreamReportsTheBytesReceived) {
  Connect();
  constexpr uint32_t Delivered = 20480;  // one whole 16 KiB URB and 4 KiB of the next
  SimulatedCamera::StreamFaults faults;
  faults.StopAfterBytes = Delivered;
  firmware->SetStreamFaults(faults);
  ASSERT_EQ(transport->SetPipeTimeout(usb, 0x81, 300), UsbError::None);
  StartExposure(0);
  std::vector<uint8_t> frame(FrameBytes);
  uint32_t received = 0;
  const auto start = Clock::now();
  EXPECT_EQ(transport->ReadPipe(usb, 0x81, frame.data(), FrameBytes, received), UsbError::Timeout);
  const auto took = Clock::now() - start;
  EXPECT_EQ(received, Delivered);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(3000));  // ended by its own time-out, not a later event
  EXPECT_GE(device->BulkInUrbsSubmitted(), 2u);
  // The pipe still works: the next read times out with nothing.
  EXPECT_EQ(transport->ReadPipe(usb, 0x81, frame.data(), FrameBytes, received), UsbError::Timeout);
  EXPECT_EQ(received, 0u);
}

// Catches: a control request blocked (or failing) while the readout thread waits in a
// bulk read on the same handle, or the pending read disturbed by it.
TEST_F(LibusbTransportTest, ControlRequestsProceedWhileABulkReadWaits) {
  Connect();
  ASSERT_EQ(transport->SetPipeTimeout(usb, 0x81, 4000), UsbError::None);
  StartExposure(2500);
  std::vector<uint8_t> frame(FrameBytes);
  auto read = std::async(std::launch::async, [&] {
    uint32_t received = 0;
    const UsbError error = transport->ReadPipe(usb, 0x81, frame.data(), FrameBytes, received);
    return std::make_pair(error, received);
  });
  std::this_thread::sleep_for(milliseconds(100));
  for (int i = 0; i < 3; ++i) {
    uint8_t word[2] = {};
    uint32_t moved = 0;
    EXPECT_EQ(transport->ControlTransfer(usb, {0xE0, Protocol::GetTemperatureRequest, 0, 0, 2}, word, moved),
              UsbError::None);
    EXPECT_EQ(moved, 2u);
  }
  EXPECT_EQ(read.wait_for(milliseconds(0)), std::future_status::timeout) << "the read ended before the image";
  const auto [error, received] = read.get();
  EXPECT_EQ(error, UsbError::None);
  EXPECT_EQ(received, FrameBytes);
}

// Catches: a read that hangs (the pipe waits forever here) or crashes when the device
// disappears, or later transfers that go back to libusb instead of failing at once.
TEST_F(LibusbTransportTest, UnplugFailsThePendingReadAndEveryLaterTransfer) {
  Connect();
  ASSERT_EQ(transport->SetPipeTimeout(usb, 0x81, 0), UsbError::None);  // wait forever
  std::vector<uint8_t> buffer(4096);
  auto read = std::async(std::launch::async, [&] {
    uint32_t received = 0;
    return transport->ReadPipe(usb, 0x81, buffer.data(), 4096, received);
  });
  std::this_thread::sleep_for(milliseconds(100));
  firmware->Unplug();
  ASSERT_EQ(read.wait_for(milliseconds(2000)), std::future_status::ready);
  EXPECT_EQ(read.get(), UsbError::NoDevice);

  const auto start = Clock::now();
  uint8_t byte = 0;
  EXPECT_EQ(Control(0xE0, Protocol::GetModelRequest, 0, 0, &byte, 1), UsbError::NoDevice);
  uint32_t received = 0;
  EXPECT_EQ(transport->ReadPipe(usb, 0x81, buffer.data(), 4096, received), UsbError::NoDevice);
  EXPECT_LT(Clock::now() - start, milliseconds(100));
  transport->FreeInterface(usb);
  transport->CloseDevice(deviceHandle);
}

// Catches: freeing an interface under a pending read crashing or leaving the read to
// wait out its time-out, and freed or never-issued handles not failing cleanly.
TEST_F(LibusbTransportTest, FreeingTheInterfaceEndsAPendingReadAndStaleHandlesFail) {
  Connect();
  ASSERT_EQ(transport->SetPipeTimeout(usb, 0x81, 0), UsbError::None);
  std::vector<uint8_t> buffer(4096);
  auto read = std::async(std::launch::async, [&] {
    uint32_t received = 0;
    return transport->ReadPipe(usb, 0x81, buffer.data(), 4096, received);
  });
  std::this_thread::sleep_for(milliseconds(100));
  transport->CloseDevice(deviceHandle);  // the order the device instance uses
  transport->FreeInterface(usb);
  ASSERT_EQ(read.wait_for(milliseconds(2000)), std::future_status::ready);
  EXPECT_EQ(read.get(), UsbError::NoDevice);
  EXPECT_FALSE(device->InterfaceClaimed());

  for (TransportHandle stale : {usb, TransportHandle{0}, InvalidTransportHandle, TransportHandle{12345}}) {
    SCOPED_TRACE(stale);
    uint8_t byte = 0;
    uint32_t moved = 0;
    EXPECT_NE(transport->ControlTransfer(stale, {0xE0, Protocol::GetModelRequest, 0, 0, 1}, &byte, moved),
              UsbError::None);
    EXPECT_NE(transport->ReadPipe(stale, 0x81, buffer.data(), 16, moved), UsbError::None);
    UsbInterfaceDescriptor interface {};
    EXPECT_NE(transport->QueryInterfaceSettings(stale, 0, interface), UsbError::None);
    transport->FreeInterface(stale);
    transport->CloseDevice(stale);
  }
  // The device can be opened and claimed again.
  Connect();
}

}  // namespace
}  // namespace LibusbTests

namespace LibusbTests {
namespace {

// Runs `body` in a child process that has dropped root to the unprivileged user
// 65534, and returns what it wrote to the pipe, or nullopt if it did not exit cleanly.
std::optional<std::string> RunUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0)
    return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0)
      _exit(2);
    const std::string text = body();
    const ssize_t written = write(fds[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  close(fds[1]);
  std::string text;
  char chunk[512];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return text;
}

// Catches: a device node the user may not open reported as "no camera" without saying
// what to do, or the open's Access error lost.
TEST_F(LibusbTransportTest, PermissionDeniedTellsTheUserAboutTheUdevRule) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot follow a fork of this multi-threaded process; "
                  "the test runs in the normal and AddressSanitizer builds";
#endif
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to create an unprivileged child";
  }
  transport.reset();
  // Everyone may use the mocked tree (umockdev keeps its event sockets at its top), but
  // only root may open the device node.
  const std::filesystem::path root = std::getenv("UMOCKDEV_DIR");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_directory() && !entry.is_symlink()) {
      ASSERT_EQ(chmod(entry.path().c_str(), 0755), 0);
    } else if (entry.is_socket()) {
      ASSERT_EQ(chmod(entry.path().c_str(), 0777), 0);
    }
  }
  ASSERT_EQ(chmod(root.c_str(), 01777), 0);
  ASSERT_EQ(chmod(device->DeviceNode().c_str(), 0600), 0);  // through the preload's redirection

  const auto text = RunUnprivileged([&] {
    auto layer = CreateUsbTransport("libusb");
    if (!layer)
      return std::string("no layer");
    std::vector<std::string> paths;
    layer->EnumerateDevices(OSR_DEVICE_INTERFACE, paths);
    std::string result = std::to_string(paths.size()) + "|" + layer->LastErrorText() + "|";
    TransportHandle handle = 0;
    result += UsbErrorName(layer->OpenDevice(device->ExpectedPath(), handle));
    return result + "|" + layer->LastErrorText();
  });
  ASSERT_TRUE(text.has_value());
  SCOPED_TRACE(*text);
  EXPECT_EQ(text->rfind("0|No camera found; 1 USB device(s) could not be opened", 0), 0u);
  EXPECT_NE(text->find("|" + std::string(UsbErrorName(UsbError::Access)) + "|Permission denied opening " +
                       device->ExpectedPath()),
            std::string::npos);
  EXPECT_NE(text->find("packaging/udev/70-vantor.rules"), std::string::npos);
  EXPECT_NE(text->find("udevadm control --reload-rules"), std::string::npos);
}

}  // namespace
}  // namespace LibusbTests
