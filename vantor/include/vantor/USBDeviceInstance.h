#pragma once

// One camera on the USB bus: its connection, readout geometry, exposure state and
// finished image. The facade reads ImageData, ImageWidth, ImageHeight, ImageReady and
// SensorX and writes ShowOverscan directly, so both libraries compile against this one
// declaration. Members are in the order, and of the widths, of the camera driver's
// binary layout; on a 32-bit target they sit at the offsets noted beside them.
//
// Threads: the host thread calls the methods; each StartExposure runs one readout
// thread. CameraState, ImageReady and AbortRequested are the members both touch; the
// readout thread publishes a finished image with release stores (CameraState = Idle,
// then ImageReady = 1) and readers load them with acquire order.
//
// Ownership: the instance owns ImageData, its connection handles and its readout
// thread; it borrows its USB layer, which must outlive it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <vantor/Export.h>
#include <vantor/Guid.h>
#include <vantor/UsbTransport.h>

namespace TarvisUSBInterface {

// State codes held in CameraState. 1 and 3 are never used.
enum class CameraStates : int32_t {
  Idle = 0,
  Exposing = 2,
  Downloading = 4,
  Error = 5,
};

// Converter (analog front end) configuration, passed by value. Each converter request
// reads only its own bytes.
struct ADCConfig {
  uint8_t Gain;        // SetADCGainRequest wValue high byte
  uint8_t Offset;      // SetADCGainRequest wValue low byte
  uint8_t PgaScale;    // SetADCGainRequest wIndex
  bool OutputInvert;   // SetADCAdvConfigRequest wValue high byte
  bool Mode3;          // SetADCAdvConfigRequest wValue low byte
  bool CdsEnable;      // SetADCCDSRequest wValue high byte
  uint8_t CdsTimming;  // SetADCCDSRequest wValue low byte
  bool RlcEnable;      // SetADCRLCRequest wValue high byte
  bool RlcDac;         // SetADCRLCRequest wValue low byte: host's clamp DAC value was nonzero
  uint8_t RlcV;        // SetADCRLCRequest wIndex
};
static_assert(sizeof(ADCConfig) == 10, "ADCConfig is a 10-byte record");

// Owns the readout thread of the last exposure; defined inside the library.
struct ReadoutThreadHandle;

class VANTOR_API USBDeviceInstance {
 public:
  // Uses the process's default USB layer (see DefaultUsbTransport). Sends nothing.
  USBDeviceInstance();
  // Binds the instance to `transport`, which must outlive it. Sends nothing.
  explicit USBDeviceInstance(UsbTransport& transport);
  // Joins a running readout thread and releases the connection and the image.
  ~USBDeviceInstance();

  USBDeviceInstance(const USBDeviceInstance&) = delete;
  // Takes over the other instance's connection handles, pipes, geometry, state and
  // image (shared, so whichever instance releases it last frees it). The readout
  // thread stays with the instance that started it.
  USBDeviceInstance& operator=(const USBDeviceInstance& other);

  // Lifecycle and state.
  bool GetCameraState(uint8_t* state);
  bool StopExposure();
  bool IsConnected();

  // Connection and transfers.
  bool FindAndConnect(GUID interfaceGuid);
  void Disconnect();
  bool SendDeviceRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                         uint16_t length);
  bool Send(void* buffer, uint32_t* length);
  bool Receive(void* buffer, uint32_t* length);
  bool Receive(void* buffer, uint32_t* length, uint8_t pipeSelector);
  bool GetDeviceInformation(uint32_t informationType, void* buffer, uint32_t* length);

  // Readout geometry.
  void SetROI(uint32_t x, uint32_t y, uint32_t width, uint32_t height);
  void SetROI(uint32_t x, uint32_t y, uint32_t width, uint32_t height, bool overscan, bool fastReadout,
              int32_t binX, int32_t binY);
  bool SetBinning(uint8_t x, uint8_t y);
  uint8_t GetBinningX();
  uint8_t GetBinningY();
  void SetFastReadout(bool fast);
  void SetOverscanProperties(bool useVertical, bool useHorizontal, bool spare);

  // Exposure.
  bool StartExposure(uint32_t durationMs);
  bool AbortExposure();

  // Bias correction helper: ascending in-place sort.
  void ArraySort(float* const values, int32_t count);

  // Camera commands.
  bool GetTemperature(double* celsius);
  bool GetCoolingPoint(double* celsius);
  bool SetCoolingPoint(bool coolerOn, float celsius);
  bool IsCoolerOn(bool* on);
  bool IsCoolingOn();
  bool GetTemperatureDuty(uint8_t* duty);
  uint16_t GetCoolingDutyCycle();
  void SetCoolingDutyCycle(uint16_t duty);
  bool SetTemperaturePIDGain(uint8_t errorGain, uint8_t differentialGain, uint8_t timeFactor);
  bool PulseGuide(uint8_t direction, uint16_t duration);
  bool IsPulseGuiding(bool* guiding);
  bool GetModel(char* model);
  bool GetFirmware(char* firmware);
  bool SetADCGain(ADCConfig config);
  bool SetADCCDS(ADCConfig config);
  bool SetADCRLC(ADCConfig config);
  bool SetADCADVCONFIG(ADCConfig config);
  void EnterProgrammingMode();
  bool StartBoot();

  // --- Data members, in layout order. ---
  float* ImageData;                       // +0   finished image, ImageWidth x ImageHeight, row-major
  std::atomic<CameraStates> CameraState;  // +4
  uint8_t BinningX;                       // +8   requested binning
  uint8_t BinningY;                       // +9
  uint8_t Reserved10[2];                  // +10
  uint32_t ImageWidth;                    // +12  delivered image size
  uint32_t ImageHeight;                   // +16
  std::atomic<uint8_t> ImageReady;        // +20  1 once ImageData holds a complete image
  uint8_t ShowOverscan;                   // +21  deliver the whole readout area
  uint8_t FastReadout;                    // +22
  uint8_t LineDoubling;                   // +23  fast readout whose rows are rebuilt
  std::atomic<uint8_t> AbortRequested;    // +24
  uint8_t ReservedFlag;                   // +25
  uint8_t Reserved26[2];                  // +26
  uint32_t ExposureMs;                    // +28
  TransportHandle DeviceHandle;           // +32  opened device path
  TransportHandle UsbHandle;              // +36  interface handle every transfer uses
  std::unique_ptr<ReadoutThreadHandle> ReadoutThread;  // +40  last readout thread started
  GUID InterfaceGuid;                                  // +44
  uint8_t DeviceSpeed;                                 // +60  1 low, 2 full, 3 high speed
  uint8_t BulkInPipe;                                  // +61  bit 7 set
  uint8_t BulkOutPipe;                                 // +62  bit 7 clear
  uint8_t Reserved63;                                  // +63
  // The rest of the reserved block carries what the original layout left to the
  // platform: the USB layer this instance talks through and the owner of ImageData.
  UsbTransport* Transport;              // +64  borrowed
  std::shared_ptr<float[]> ImageOwner;  // +68  owns the buffer ImageData points to
  uint8_t Reserved76[188];              // +76
  uint16_t Reserved264;                 // +264
  uint16_t Reserved266;                 // +266
  uint8_t Reserved268[5];               // +268
  uint8_t Reserved273[3];               // +273
  uint32_t SensorX;                     // +276 camera window, binned camera coordinates
  uint32_t SensorY;                     // +280
  uint32_t SensorBinX;                  // +284 binning sent to the camera
  uint32_t SensorBinY;                  // +288
  uint32_t RawWidth;                    // +292 frame the camera delivers, overscan included
  uint32_t RawHeight;                   // +296

 private:
  friend struct DeviceTestAccess;  // white-box tests of the private commands

  bool SetCameraBinning(uint8_t x, uint8_t y);
  bool GetCameraBinning(uint8_t* x, uint8_t* y);
  bool SetCameraROI(uint16_t x, uint16_t y, uint16_t width, uint16_t height);
  void CalculateImageSize(bool unused);
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit layout the facade and older hosts rely on.
static_assert(sizeof(USBDeviceInstance) == 300, "USBDeviceInstance must be 300 bytes on a 32-bit target");
#endif

}  // namespace TarvisUSBInterface
