#pragma once

// A model of the camera's firmware. It sees exactly what the wire carries (setup
// packets, data stages, bulk reads) and answers as the camera would. It knows nothing
// about how requests reach it: the in-process SimTransport calls it directly, and the
// libusb tests put it behind an emulated usbfs device.
//
// Thread-safety: every method may be called from any thread. Control requests from the
// host thread run while a bulk read waits on the readout thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vantor/UsbTransport.h>

namespace SimulatedCamera {

using TarvisUSBInterface::UsbSetupPacket;

class ImageStream;
class Scene;

// Endpoints of the camera's single interface.
inline constexpr uint8_t BulkInEndpoint = 0x81;
inline constexpr uint8_t BulkOutEndpoint = 0x02;

struct FirmwareConfig {
  uint8_t ModelCode = 1;       // 1 and 2: Q7 mono/colour; 101 and 102: Sonda mono/colour
  uint8_t FirmwareByte = 105;  // version x 100
  double AmbientCelsius = 20.0;
  uint64_t Seed = 1;  // seeds the sensor noise and the scene
  // Bulk IN rate of the link in bytes per second; 0 delivers instantly (tests).
  double LinkBytesPerSecond = 40e6;
  // Cooler: how fast the sensor moves towards its target, and how far below ambient
  // the cooler can pull it at full duty.
  double CoolingRateCelsiusPerSecond = 0.5;
  double MaxCoolingDepthCelsius = 30.0;

  // Defaults overridden by VANTOR_SIM_MODEL and VANTOR_SIM_FIRMWARE (any byte value).
  static FirmwareConfig FromEnvironment();
  // True for the colour models (2 and 102), whose sensor carries a Bayer mosaic.
  bool IsColor() const { return ModelCode == 2 || ModelCode == 102; }
};

// Faults of the image stream, for tests of the readout path.
struct StreamFaults {
  bool NeverSend = false;                    // integrate, then send nothing
  std::optional<uint64_t> StopAfterBytes;    // stream stops for good after this many bytes
  bool FirstFieldOnly = false;               // two-field readout sends only the first field
  uint32_t RandomChunkMax = 0;               // nonzero: data arrives in random chunks up to this size
  std::optional<uint64_t> UnplugAfterBytes;  // the device disappears after this many bytes
  std::optional<double> LinkBytesPerSecond;  // a slow (or different) link for this stream
};

// What the camera holds, for tests to inspect.
struct FirmwareState {
  uint8_t ModelCode;
  uint8_t FirmwareByte;
  uint16_t RawSetPoint;
  bool CoolerOn;
  uint8_t PidErrorGain, PidDifferentialGain, PidTimeFactor;
  uint8_t DutyCycle;  // 0-50 as reported
  uint8_t AdcGain, AdcOffset, AdcPgaScale;
  bool AdcCdsEnable;
  uint8_t AdcCdsTiming;
  bool AdcRlcEnable, AdcRlcDac;
  uint8_t AdcRlcV;
  bool AdcOutputInvert, AdcMode3;
  uint8_t BinX, BinY;
  uint16_t WindowStartX, WindowEndX, WindowStartY, WindowEndY;
  bool ProgrammingMode;
  double SensorCelsius;
  bool Guiding;
  double GuideOffsetX, GuideOffsetY;  // field shift from guide pulses, active-area pixels
  bool Exposing;                      // an exposure is integrating or its image is still being sent
};

class Firmware {
 public:
  explicit Firmware(FirmwareConfig config = FirmwareConfig::FromEnvironment());
  ~Firmware();
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  const FirmwareConfig& Config() const { return config_; }

  // One control transfer as it arrives on the wire. For device-to-host requests writes
  // up to setup.Length bytes into `data` and sets `returned`. Returns false to stall:
  // unknown code, wrong request type, a data-stage length the request does not take,
  // or an injected fault. Never blocks for long.
  bool HandleControl(const UsbSetupPacket& setup, uint8_t* data, uint32_t& returned);

  // Bulk IN: copies up to `capacity` bytes the camera has already sent. Non-blocking;
  // returns the count copied (0 when nothing is waiting). `transferEnded`, when given,
  // is set when the copy ended one of the camera's bulk transfers (a short packet).
  uint32_t ReadBulkIn(uint8_t* buffer, uint32_t capacity, bool* transferEnded = nullptr);
  // Blocks until bulk IN data is waiting, the device is unplugged, or `deadline`.
  // Returns true when data is waiting.
  bool WaitForBulkIn(std::chrono::steady_clock::time_point deadline);
  // Bulk OUT: the camera defines no OUT protocol; data is accepted and dropped.
  uint32_t WriteBulkOut(const uint8_t* buffer, uint32_t length);

  bool IsUnplugged() const;

  // --- Test hooks ---
  std::vector<UsbSetupPacket> RequestLog() const;  // every setup packet received, in order (last 2^20)
  void ClearRequestLog();
  void FailRequest(uint8_t code);   // stall every later request with this code
  void FailNthControl(uint64_t n);  // stall the n-th control transfer from now (1 = next)
  void ClearFaults();
  void RefuseAbort(bool refuse);  // stall AbortExposureRequest
  void Unplug();                  // every later transfer fails; waits wake at once
  void SetStreamFaults(const StreamFaults& faults);
  void ForceTemperatureRaw(std::optional<uint16_t> raw);  // pin the reported sensor word
  void SetScene(std::shared_ptr<Scene> scene);            // replaces the default scene
  FirmwareState State() const;

 private:
  FirmwareConfig config_;
  mutable std::mutex mutex_;
  // The rest of the firmware's state lives in the implementation.
  struct Registers;
  std::unique_ptr<Registers> registers_;

  // Standard (0x80) and vendor-type (0xC0) IN requests: the descriptors a USB host
  // stack reads. Called under mutex_. Returns false to stall.
  bool HandleDescriptorRequest(const UsbSetupPacket& setup, uint8_t* data, uint32_t& returned);
  std::unique_ptr<ImageStream> stream_;
};

}  // namespace SimulatedCamera
