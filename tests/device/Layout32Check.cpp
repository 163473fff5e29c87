// Compiled (not run) for a 32-bit target: the facade and hosts built for the camera's
// original platform address these members at fixed offsets, so the declaration must
// keep them there. A failed static_assert fails the test.

#include <cstddef>

#include <vantor/USBDeviceInstance.h>

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

using TarvisUSBInterface::USBDeviceInstance;

static_assert(sizeof(void*) == 4, "compile this check with -m32");
static_assert(sizeof(USBDeviceInstance) == 300);
static_assert(offsetof(USBDeviceInstance, ImageData) == 0);
static_assert(offsetof(USBDeviceInstance, CameraState) == 4);
static_assert(offsetof(USBDeviceInstance, BinningX) == 8);
static_assert(offsetof(USBDeviceInstance, BinningY) == 9);
static_assert(offsetof(USBDeviceInstance, ImageWidth) == 12);
static_assert(offsetof(USBDeviceInstance, ImageHeight) == 16);
static_assert(offsetof(USBDeviceInstance, ImageReady) == 20);
static_assert(offsetof(USBDeviceInstance, ShowOverscan) == 21);
static_assert(offsetof(USBDeviceInstance, FastReadout) == 22);
static_assert(offsetof(USBDeviceInstance, LineDoubling) == 23);
static_assert(offsetof(USBDeviceInstance, AbortRequested) == 24);
static_assert(offsetof(USBDeviceInstance, ExposureMs) == 28);
static_assert(offsetof(USBDeviceInstance, DeviceHandle) == 32);
static_assert(offsetof(USBDeviceInstance, UsbHandle) == 36);
static_assert(offsetof(USBDeviceInstance, ReadoutThread) == 40);
static_assert(offsetof(USBDeviceInstance, InterfaceGuid) == 44);
static_assert(offsetof(USBDeviceInstance, DeviceSpeed) == 60);
static_assert(offsetof(USBDeviceInstance, BulkInPipe) == 61);
static_assert(offsetof(USBDeviceInstance, BulkOutPipe) == 62);
static_assert(offsetof(USBDeviceInstance, SensorX) == 276);
static_assert(offsetof(USBDeviceInstance, SensorY) == 280);
static_assert(offsetof(USBDeviceInstance, SensorBinX) == 284);
static_assert(offsetof(USBDeviceInstance, SensorBinY) == 288);
static_assert(offsetof(USBDeviceInstance, RawWidth) == 292);
static_assert(offsetof(USBDeviceInstance, RawHeight) == 296);
