#include <cstring>

#include <vantor/CameraProtocol.h>
#include <vantor/USBDeviceInstance.h>

#include "device/ReadoutThreadHandle.h"

namespace TarvisUSBInterface {

USBDeviceInstance::USBDeviceInstance() : USBDeviceInstance(DefaultUsbTransport()) {}

// Unconnected, idle, binning 1 x 1 and a full active-area image. The camera-side
// geometry starts as SetROI(0, 0, 752, 582) computes it, so an exposure started before
// any SetROI reads out a well-defined frame.
USBDeviceInstance::USBDeviceInstance(UsbTransport& transport)
    : ImageData(nullptr),
      CameraState(CameraStates::Idle),
      BinningX(1),
      BinningY(1),
      Reserved10{},
      ImageWidth(Protocol::ActiveWidth),
      ImageHeight(Protocol::ActiveHeight),
      ImageReady(0),
      ShowOverscan(0),
      FastReadout(0),
      LineDoubling(0),
      AbortRequested(0),
      ReservedFlag(0),
      Reserved26{},
      ExposureMs(0),
      DeviceHandle(InvalidTransportHandle),
      UsbHandle(InvalidTransportHandle),
      ReadoutThread(nullptr),
      InterfaceGuid{},
      DeviceSpeed(0),
      BulkInPipe(0),
      BulkOutPipe(0),
      Reserved63(0),
      Transport(&transport),
      ImageOwner(nullptr),
      Reserved76{},
      Reserved264(0),
      Reserved266(0),
      Reserved268{},
      Reserved273{},
      SensorX(Protocol::LeftMarginColumns),
      SensorY(Protocol::TopBandRows),
      SensorBinX(1),
      SensorBinY(1),
      RawWidth(Protocol::ActiveWidth),
      RawHeight(Protocol::ActiveHeight) {}

USBDeviceInstance::~USBDeviceInstance() {
  if (ReadoutThread && ReadoutThread->Thread.joinable()) {
    // Make the readout give up at its next failed read, and make that read fail now by
    // freeing the interface under it. UsbHandle itself is left alone while the thread
    // may still read it.
    AbortRequested.store(1, std::memory_order_release);
    if (UsbHandle != 0 && UsbHandle != InvalidTransportHandle) {
      Transport->FreeInterface(UsbHandle);
    }
    ReadoutThread->Thread.join();
    if (UsbHandle != InvalidTransportHandle) {
      UsbHandle = 0;
    }
  }
  Disconnect();
}

USBDeviceInstance& USBDeviceInstance::operator=(const USBDeviceInstance& other) {
  if (this == &other) {
    return *this;
  }
  // A readout of this instance writes into the members about to be replaced.
  if (ReadoutThread && ReadoutThread->Thread.joinable()) {
    ReadoutThread->Thread.join();
  }
  // This instance's own connection would be left open with nothing referring to it.
  if (Transport != other.Transport || DeviceHandle != other.DeviceHandle || UsbHandle != other.UsbHandle) {
    Disconnect();
  }
  ImageData = other.ImageData;
  CameraState.store(other.CameraState.load(std::memory_order_acquire), std::memory_order_release);
  BinningX = other.BinningX;
  BinningY = other.BinningY;
  std::memcpy(Reserved10, other.Reserved10, sizeof(Reserved10));
  ImageWidth = other.ImageWidth;
  ImageHeight = other.ImageHeight;
  ImageReady.store(other.ImageReady.load(std::memory_order_acquire), std::memory_order_release);
  ShowOverscan = other.ShowOverscan;
  FastReadout = other.FastReadout;
  LineDoubling = other.LineDoubling;
  AbortRequested.store(other.AbortRequested.load(std::memory_order_acquire), std::memory_order_release);
  ReservedFlag = other.ReservedFlag;
  std::memcpy(Reserved26, other.Reserved26, sizeof(Reserved26));
  ExposureMs = other.ExposureMs;
  DeviceHandle = other.DeviceHandle;
  UsbHandle = other.UsbHandle;
  InterfaceGuid = other.InterfaceGuid;
  DeviceSpeed = other.DeviceSpeed;
  BulkInPipe = other.BulkInPipe;
  BulkOutPipe = other.BulkOutPipe;
  Reserved63 = other.Reserved63;
  Transport = other.Transport;
  ImageOwner = other.ImageOwner;
  std::memcpy(Reserved76, other.Reserved76, sizeof(Reserved76));
  Reserved264 = other.Reserved264;
  Reserved266 = other.Reserved266;
  std::memcpy(Reserved268, other.Reserved268, sizeof(Reserved268));
  std::memcpy(Reserved273, other.Reserved273, sizeof(Reserved273));
  SensorX = other.SensorX;
  SensorY = other.SensorY;
  SensorBinX = other.SensorBinX;
  SensorBinY = other.SensorBinY;
  RawWidth = other.RawWidth;
  RawHeight = other.RawHeight;
  return *this;
}

bool USBDeviceInstance::GetCameraState(uint8_t* state) {
  if (state == nullptr) {
    return false;
  }
  *state = static_cast<uint8_t>(static_cast<int32_t>(CameraState.load(std::memory_order_acquire)));
  return true;
}

// The exposure request carries its duration; only AbortExposure ends one early.
bool USBDeviceInstance::StopExposure() {
  return true;
}

bool USBDeviceInstance::IsConnected() {
  if (CameraState.load(std::memory_order_acquire) == CameraStates::Downloading) {
    return true;  // the image is arriving, and commands would disturb it
  }
  double celsius = 0.0;
  return GetTemperature(&celsius);
}

}  // namespace TarvisUSBInterface
