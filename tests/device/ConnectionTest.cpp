// Discovery, connection, pipe enumeration with its console lines, disconnect and the
// transfer primitives.
#include <optional>

#include "DeviceFixture.h"

namespace TarvisUSBInterface {
namespace {

using SimulatedCamera::SimDevicePath;

// A layer over the simulated camera whose enumeration and pipes a test can script, and
// which counts the calls that reach it.
class ScriptedTransport final : public UsbTransport {
 public:
  explicit ScriptedTransport(UsbTransport& inner) : inner_(inner) {}

  std::optional<std::vector<std::string>> Paths;                        // replaces the camera's list
  std::optional<std::vector<std::optional<UsbPipeInformation>>> Pipes;  // nullopt entry: query fails
  std::vector<std::pair<uint8_t, uint32_t>> Timeouts;
  std::vector<std::string> Opened;
  int Enumerations = 0;
  int Transfers = 0;

  std::string_view Name() const override { return "scripted"; }
  UsbError EnumerateDevices(const GUID& guid, std::vector<std::string>& paths) override {
    ++Enumerations;
    if (Paths) {
      paths = *Paths;
      return UsbError::None;
    }
    return inner_.EnumerateDevices(guid, paths);
  }
  UsbError OpenDevice(const std::string& path, TransportHandle& device) override {
    Opened.push_back(path);
    return inner_.OpenDevice(path, device);
  }
  UsbError InitializeInterface(TransportHandle device, TransportHandle& usbInterface) override {
    return inner_.InitializeInterface(device, usbInterface);
  }
  UsbError QueryDeviceInformation(TransportHandle h, uint32_t type, void* buffer, uint32_t& length) override {
    return inner_.QueryDeviceInformation(h, type, buffer, length);
  }
  UsbError QueryInterfaceSettings(TransportHandle h, uint8_t alt, UsbInterfaceDescriptor& d) override {
    UsbError error = inner_.QueryInterfaceSettings(h, alt, d);
    if (Pipes) {
      d.NumEndpoints = static_cast<uint8_t>(Pipes->size());
    }
    return error;
  }
  UsbError QueryPipe(TransportHandle h, uint8_t alt, uint8_t index, UsbPipeInformation& pipe) override {
    if (!Pipes) {
      return inner_.QueryPipe(h, alt, index, pipe);
    }
    if (!(*Pipes)[index]) {
      return UsbError::Io;
    }
    pipe = *(*Pipes)[index];
    return UsbError::None;
  }
  UsbError SetPipeTimeout(TransportHandle h, uint8_t pipeId, uint32_t ms) override {
    Timeouts.emplace_back(pipeId, ms);
    return inner_.SetPipeTimeout(h, pipeId, ms);
  }
  UsbError ControlTransfer(TransportHandle h, const UsbSetupPacket& setup, uint8_t* data,
                           uint32_t& transferred) override {
    ++Transfers;
    return inner_.ControlTransfer(h, setup, data, transferred);
  }
  UsbError ReadPipe(TransportHandle h, uint8_t pipe, uint8_t* buffer, uint32_t length,
                    uint32_t& transferred) override {
    ++Transfers;
    return inner_.ReadPipe(h, pipe, buffer, length, transferred);
  }
  UsbError WritePipe(TransportHandle h, uint8_t pipe, const uint8_t* buffer, uint32_t length,
                     uint32_t& transferred) override {
    ++Transfers;
    return inner_.WritePipe(h, pipe, buffer, length, transferred);
  }
  void FreeInterface(TransportHandle h) override { inner_.FreeInterface(h); }
  void CloseDevice(TransportHandle h) override { inner_.CloseDevice(h); }

 private:
  UsbTransport& inner_;
};

class ScriptedConnection : public ::testing::Test {
 protected:
  bool Connect(std::string* console = nullptr) {
    testing::internal::CaptureStdout();
    bool connected = device.FindAndConnect(OSR_DEVICE_INTERFACE);
    std::string out = testing::internal::GetCapturedStdout();
    if (console != nullptr) {
      *console = out;
    }
    return connected;
  }

  std::shared_ptr<SimulatedCamera::Firmware> firmware =
      std::make_shared<SimulatedCamera::Firmware>(TestCameraConfig());
  std::unique_ptr<UsbTransport> sim = SimulatedCamera::CreateSimTransport(firmware);
  ScriptedTransport layer{*sim};
  USBDeviceInstance device{layer};
};

UsbPipeInformation Pipe(UsbPipeType type, uint8_t id) {
  return UsbPipeInformation{type, id, 64, 0};
}

// Catches any deviation from the console texts, the pipe IDs, the speed, the binning
// request that ends the connection, or a time-out on a pipe other than bulk IN.
TEST_F(ScriptedConnection, ConnectsToTheSimulatedCameraWithItsConsoleLines) {
  std::string console;
  ASSERT_TRUE(Connect(&console));
  EXPECT_EQ(console, std::string("Device path:  ") + SimDevicePath +
                         "\nEndpoint index: 0 Pipe type: Bulk Pipe ID: \x81.\n"
                         "Endpoint index: 1 Pipe type: Bulk Pipe ID: \x02.\n");
  EXPECT_EQ(device.BulkInPipe, 0x81);
  EXPECT_EQ(device.BulkOutPipe, 0x02);
  EXPECT_EQ(device.DeviceSpeed, HighSpeed);
  EXPECT_EQ(device.InterfaceGuid, OSR_DEVICE_INTERFACE);
  EXPECT_EQ(layer.Timeouts, (std::vector<std::pair<uint8_t, uint32_t>>{{0x81, 2000}}));
  EXPECT_EQ(firmware->RequestLog(),
            (std::vector<UsbSetupPacket>{
                {Protocol::HostToDevice, Protocol::SetCameraBinningRequest, 0x0101, 0, 0}}));
  EXPECT_EQ(device.SensorBinX, 1u);
  EXPECT_EQ(device.SensorBinY, 1u);
}

// Catches a wrong line for any pipe type, a time-out missing on a second IN pipe, and a
// pipe ID other than the last one listed kept for a direction.
TEST_F(ScriptedConnection, ListsEveryPipeTypeAndKeepsTheLastBulkPipes) {
  layer.Pipes = std::vector<std::optional<UsbPipeInformation>>{
      Pipe(UsbPipeType::Control, 0), Pipe(UsbPipeType::Isochronous, 0x83), Pipe(UsbPipeType::Bulk, 0x86),
      Pipe(UsbPipeType::Bulk, 0x05), Pipe(UsbPipeType::Interrupt, 0x84),   Pipe(UsbPipeType::Bulk, 0x81),
      Pipe(UsbPipeType::Bulk, 0x02),
  };
  std::string console;
  ASSERT_TRUE(Connect(&console));
  EXPECT_EQ(console, std::string("Device path:  ") + SimDevicePath +
                         "\nEndpoint index: 0 Pipe type: Control Pipe ID: 0.\n"
                         "Endpoint index: 1 Pipe type: Isochronous Pipe ID: 131.\n"
                         "Endpoint index: 2 Pipe type: Bulk Pipe ID: \x86.\n"
                         "Endpoint index: 3 Pipe type: Bulk Pipe ID: \x05.\n"
                         "Endpoint index: 4 Pipe type: Interrupt Pipe ID: 132.\n"
                         "Endpoint index: 5 Pipe type: Bulk Pipe ID: \x81.\n"
                         "Endpoint index: 6 Pipe type: Bulk Pipe ID: \x02.\n");
  EXPECT_EQ(device.BulkInPipe, 0x81);
  EXPECT_EQ(device.BulkOutPipe, 0x02);
  EXPECT_EQ(layer.Timeouts, (std::vector<std::pair<uint8_t, uint32_t>>{{0x86, 2000}, {0x81, 2000}}));
}

// Catches the rule "only the last pipe query decides" applied the wrong way round.
TEST_F(ScriptedConnection, OnlyAFailedLastPipeQueryFailsTheConnection) {
  layer.Pipes = std::vector<std::optional<UsbPipeInformation>>{std::nullopt, Pipe(UsbPipeType::Bulk, 0x81),
                                                               Pipe(UsbPipeType::Bulk, 0x02)};
  EXPECT_TRUE(Connect());
  device.Disconnect();

  layer.Pipes = std::vector<std::optional<UsbPipeInformation>>{Pipe(UsbPipeType::Bulk, 0x81),
                                                               Pipe(UsbPipeType::Bulk, 0x02), std::nullopt};
  EXPECT_FALSE(Connect());
  EXPECT_EQ(device.BulkInPipe, 0x81);
  EXPECT_NE(device.UsbHandle, 0u) << "what the failed connection opened stays with the instance";
}

// Catches opening the last camera found instead of the first, and a walk that goes on
// past the second device.
TEST_F(ScriptedConnection, OpensTheFirstOfSeveralCameras) {
  layer.Paths = std::vector<std::string>{SimDevicePath, "sim:1 second", "sim:2 third"};
  std::string console;
  ASSERT_TRUE(Connect(&console));
  EXPECT_EQ(layer.Opened, std::vector<std::string>{SimDevicePath});
  EXPECT_EQ(console.find("second"), std::string::npos);
}

// Catches enumeration with the zero GUID and handles touched by a failed discovery.
TEST_F(ScriptedConnection, FailedDiscoveryLeavesTheHandles) {
  EXPECT_FALSE(device.FindAndConnect(GUID{}));
  EXPECT_EQ(layer.Enumerations, 0);
  EXPECT_EQ(device.DeviceHandle, InvalidTransportHandle);

  layer.Paths = std::vector<std::string>{};
  EXPECT_FALSE(Connect());
  EXPECT_EQ(device.DeviceHandle, InvalidTransportHandle);
  EXPECT_EQ(device.UsbHandle, InvalidTransportHandle);

  layer.Paths = std::vector<std::string>{"sim:9 no such device"};
  EXPECT_FALSE(Connect());
  EXPECT_EQ(device.DeviceHandle, InvalidTransportHandle) << "a failed open stores the invalid value";
}

// Catches transfers that reach the layer with the never-connected handle value.
TEST_F(ScriptedConnection, NeverConnectedInstanceCallsNoTransfer) {
  uint8_t byte = 0;
  uint32_t length = 4;
  EXPECT_FALSE(device.SendDeviceRequest(Protocol::DeviceToHost, Protocol::GetModelRequest, 0, 0, &byte, 1));
  EXPECT_FALSE(device.Receive(&byte, &length));
  EXPECT_EQ(length, 4u);
  EXPECT_FALSE(device.Send(&byte, &length));
  EXPECT_FALSE(device.IsConnected());
  EXPECT_EQ(layer.Transfers, 0);
  EXPECT_TRUE(firmware->RequestLog().empty());
}

// Catches a connection made during a download that skips the binning guard.
TEST_F(ScriptedConnection, ConnectingWhileDownloadingFailsAtTheBinningRequest) {
  device.CameraState.store(CameraStates::Downloading);
  EXPECT_FALSE(Connect());
  EXPECT_NE(device.DeviceHandle, InvalidTransportHandle);
  EXPECT_EQ(device.BulkInPipe, 0x81);
  EXPECT_TRUE(firmware->RequestLog().empty());
}

// Catches a reconnect that leaks the earlier handles (the interface stays claimed, so
// the new connection would fail), or keeps them usable.
TEST_F(ConnectedCameraTest, ReconnectingReleasesTheEarlierConnection) {
  TransportHandle oldDevice = device.DeviceHandle;
  TransportHandle oldInterface = device.UsbHandle;
  ASSERT_TRUE(Connect());
  EXPECT_NE(device.UsbHandle, oldInterface);
  EXPECT_NE(device.DeviceHandle, oldDevice);
  EXPECT_EQ(SimulatedCamera::SimOpenHandleCount(*transport), 2u);
  UsbSetupPacket model{Protocol::DeviceToHost, Protocol::GetModelRequest, 0, 0, 1};
  uint8_t byte = 0;
  uint32_t transferred = 0;
  EXPECT_EQ(transport->ControlTransfer(oldInterface, model, &byte, transferred), UsbError::NoDevice);
  char code = 0;
  EXPECT_TRUE(device.GetModel(&code));
}

// Catches handles left open or set to anything but 0, a second Disconnect that
// releases again, and a transfer after Disconnect that the layer does not fail.
TEST_F(ConnectedCameraTest, DisconnectReleasesBothHandlesOnce) {
  device.Disconnect();
  EXPECT_EQ(device.DeviceHandle, 0u);
  EXPECT_EQ(device.UsbHandle, 0u);
  EXPECT_EQ(SimulatedCamera::SimOpenHandleCount(*transport), 0u);
  device.Disconnect();
  EXPECT_EQ(device.DeviceHandle, 0u);
  EXPECT_EQ(device.UsbHandle, 0u);

  uint8_t byte = 0;
  EXPECT_FALSE(device.SendDeviceRequest(Protocol::DeviceToHost, Protocol::GetModelRequest, 0, 0, &byte, 1));
  EXPECT_FALSE(device.IsConnected());

  ASSERT_TRUE(Connect()) << "connecting again after Disconnect works";
  EXPECT_TRUE(device.IsConnected());
}

// Catches a never-connected Disconnect that does not end at 0.
TEST_F(SimulatedCameraTest, DisconnectOnANeverConnectedInstance) {
  device.Disconnect();
  EXPECT_EQ(device.DeviceHandle, 0u);
  EXPECT_EQ(device.UsbHandle, 0u);
}

// Catches the bulk primitives' length rules: set to 0 before the read, untouched for a
// selector other than 1; and the write and device-information paths.
TEST_F(ConnectedCameraTest, BulkTransfersAndDeviceInformation) {
  uint8_t buffer[16] = {};
  uint32_t length = 16;
  EXPECT_FALSE(device.Receive(buffer, &length, 2));
  EXPECT_EQ(length, 16u);

  length = 8;
  EXPECT_TRUE(device.Send(buffer, &length));
  EXPECT_EQ(length, 8u);

  uint8_t speed = 0;
  uint32_t speedLength = 1;
  EXPECT_TRUE(device.GetDeviceInformation(DeviceSpeedInformation, &speed, &speedLength));
  EXPECT_EQ(speed, HighSpeed);

  firmware->Unplug();
  length = 16;
  EXPECT_FALSE(device.Receive(buffer, &length, 1));
  EXPECT_EQ(length, 0u);
}

// Catches an unplugged camera that still enumerates or answers.
TEST_F(ConnectedCameraTest, UnpluggedCameraFailsEverything) {
  firmware->Unplug();
  EXPECT_FALSE(device.IsConnected());
  char model = 0;
  EXPECT_FALSE(device.GetModel(&model));
  USBDeviceInstance other(*transport);
  EXPECT_FALSE(Connect());
  EXPECT_FALSE(other.FindAndConnect(OSR_DEVICE_INTERFACE));
}

}  // namespace
}  // namespace TarvisUSBInterface
