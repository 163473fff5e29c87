#pragma once

// The camera's image path: integration, readout of the window through the sensor
// model, and delivery of the samples over the bulk IN pipe at the link's rate.
// Called by Firmware under its lock, so it needs no locking of its own.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include <simcam/Firmware.h>
#include <simcam/Scene.h>

namespace SimulatedCamera {

using Clock = std::chrono::steady_clock;

// What the firmware's registers hold when an exposure starts.
struct ExposureSettings {
  uint32_t ExposureMs = 0;  // 24 bits as received
  uint8_t BinX = 1, BinY = 1;
  // Window in binned camera coordinates, inclusive, as the window requests set it.
  uint16_t StartX = 0, EndX = 0, StartY = 0, EndY = 0;
  uint8_t AdcGain = 185, AdcOffset = 127, AdcPgaScale = 2;
  double SensorCelsius = 20.0;
  // Field shift from guide pulses, in active-area pixels.
  double GuideOffsetX = 0.0, GuideOffsetY = 0.0;
};

class ImageStream {
 public:
  explicit ImageStream(const FirmwareConfig& config);
  ~ImageStream();

  // Begins integrating at `now`; the image follows when the exposure time has passed.
  // Replaces any exposure in progress.
  void Start(const ExposureSettings& settings, Clock::time_point now);
  // Ends the exposure in progress; nothing more is sent.
  void Abort();
  // True while integrating or while image data remains to be sent.
  bool Active(Clock::time_point now) const;

  // Copies up to `capacity` bytes that have arrived by `now`. Returns the count. A read
  // never spans two of the camera's bulk transfers (the fields, or injected chunks).
  uint32_t Read(uint8_t* buffer, uint32_t capacity, Clock::time_point now);
  // True when the last Read ended exactly at the end of a bulk transfer, which the
  // camera closes with a short packet: a pending host read completes there.
  bool TransferEnded() const;
  // When the next byte will have arrived; nullopt when nothing more will come.
  std::optional<Clock::time_point> NextDataTime(Clock::time_point now) const;

  // True once an injected unplug fault has fired; the firmware then unplugs.
  bool UnplugDue() const;

  void SetFaults(const StreamFaults& faults);
  void SetScene(std::shared_ptr<Scene> scene);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace SimulatedCamera
