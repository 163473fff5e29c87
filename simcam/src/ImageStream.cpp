// The camera's image path: an exposure integrates in real time, then the window is read
// out through the sensor model and streamed over the bulk IN pipe. With vertical
// binning 1 the camera reads two interlaced fields, first the window's rows of even
// camera row number, then the odd ones; with vertical binning 2 or more it sends the
// rows in order as one transfer. Each field (and each injected chunk) ends the bulk
// transfer with a short packet, so a read never spans two of them.
//
// Delivery is computed from time, without a thread: from the end of the exposure the
// bytes arrive at the link's rate in 512-byte packets (all at once at rate 0).

#include "ImageStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <simcam/StarField.h>
#include "SensorModel.h"

namespace SimulatedCamera {

namespace {

constexpr uint64_t PacketBytes = 512;
constexpr uint32_t ActiveWidth = 752;
constexpr uint32_t ActiveHeight = 582;

}  // namespace

struct ImageStream::Impl {
  FirmwareConfig Config;
  StreamFaults Faults;
  std::shared_ptr<Scene> CurrentScene;
  uint64_t ExposureCount = 0;

  // The exposure in progress.
  bool Started = false;
  bool Aborted = false;
  ExposureSettings Settings;
  StreamFaults StreamFaultsInEffect;
  Clock::time_point ReadyTime;
  double Rate = 0.0;
  std::unique_ptr<SensorModel> Sensor;  // created when the first byte is due
  uint32_t Width = 0, Height = 0;
  bool TwoFields = false;
  uint32_t EvenRows = 0;  // window rows of even camera row number
  uint64_t RowBytes = 0;
  uint64_t FirstTransferBytes = 0;
  uint64_t TotalBytes = 0;
  uint64_t Limit = 0;  // bytes this stream will ever send
  uint64_t Sent = 0;
  bool UnplugDue = false;
  bool TransferEnded = false;
  std::mt19937_64 ChunkRandom;
  uint64_t ChunkEnd = 0;
  int64_t CachedRow = -1;
  std::vector<uint8_t> RowBuffer;

  // Bytes that have arrived by `now`, before any fault limit.
  uint64_t Arrived(Clock::time_point now) const {
    if (now < ReadyTime)
      return 0;
    if (Rate <= 0.0)
      return TotalBytes;
    const double seconds = std::chrono::duration<double>(now - ReadyTime).count();
    const double packets = std::floor(seconds * Rate / PacketBytes);
    if (packets * PacketBytes >= static_cast<double>(TotalBytes))
      return TotalBytes;
    return static_cast<uint64_t>(packets) * PacketBytes;
  }

  uint64_t Deliverable(Clock::time_point now) const { return std::min(Arrived(now), Limit); }

  // Window row carried by stream row `streamRow`.
  uint32_t WindowRow(uint32_t streamRow) const {
    if (!TwoFields)
      return streamRow;
    const uint32_t evenStart = Settings.StartY & 1u;  // first window row of even camera row
    if (streamRow < EvenRows)
      return 2 * streamRow + evenStart;
    return 2 * (streamRow - EvenRows) + (1u - evenStart);
  }

  void EnsureSensor() {
    if (Sensor)
      return;
    std::vector<float> rate(size_t{ActiveWidth} * ActiveHeight, 0.0f);
    SceneView view;
    view.OffsetX = Settings.GuideOffsetX;
    view.OffsetY = Settings.GuideOffsetY;
    view.Color = Config.IsColor();
    if (CurrentScene)
      CurrentScene->Render(rate.data(), ActiveWidth, ActiveHeight, view);
    Sensor = std::make_unique<SensorModel>(Settings, Config.Seed, ExposureCount, std::move(rate));
  }

  void CopyStream(uint8_t* buffer, uint64_t count) {
    EnsureSensor();
    while (count > 0) {
      const auto row = static_cast<int64_t>(Sent / RowBytes);
      if (row != CachedRow) {
        Sensor->RenderRow(WindowRow(static_cast<uint32_t>(row)), RowBuffer.data());
        CachedRow = row;
      }
      const uint64_t offset = Sent % RowBytes;
      const uint64_t n = std::min(count, RowBytes - offset);
      std::memcpy(buffer, RowBuffer.data() + offset, n);
      buffer += n;
      Sent += n;
      count -= n;
    }
  }
};

ImageStream::ImageStream(const FirmwareConfig& config) : impl_(std::make_unique<Impl>()) {
  impl_->Config = config;
  impl_->CurrentScene = std::make_shared<StarField>(StarFieldOptions{.Seed = config.Seed});
}

ImageStream::~ImageStream() = default;

void ImageStream::Start(const ExposureSettings& settings, Clock::time_point now) {
  Impl& s = *impl_;
  s.Started = true;
  s.Aborted = false;
  s.Settings = settings;
  s.StreamFaultsInEffect = s.Faults;
  ++s.ExposureCount;
  s.ReadyTime = now + std::chrono::milliseconds(settings.ExposureMs);
  s.Rate = s.Faults.LinkBytesPerSecond.value_or(s.Config.LinkBytesPerSecond);
  s.Sensor.reset();
  s.Width = settings.EndX >= settings.StartX ? settings.EndX - settings.StartX + 1u : 0;
  s.Height = settings.EndY >= settings.StartY ? settings.EndY - settings.StartY + 1u : 0;
  s.TwoFields = settings.BinY == 1;
  s.EvenRows = (settings.StartY & 1u) ? s.Height / 2 : (s.Height + 1) / 2;
  s.RowBytes = 2ull * s.Width;
  s.TotalBytes = s.RowBytes * s.Height;
  s.FirstTransferBytes = s.TwoFields ? s.RowBytes * s.EvenRows : s.TotalBytes;
  s.Limit = s.TotalBytes;
  const StreamFaults& f = s.Faults;
  if (f.NeverSend)
    s.Limit = 0;
  if (f.StopAfterBytes)
    s.Limit = std::min(s.Limit, *f.StopAfterBytes);
  if (f.UnplugAfterBytes)
    s.Limit = std::min(s.Limit, *f.UnplugAfterBytes);
  if (f.FirstFieldOnly && s.TwoFields)
    s.Limit = std::min(s.Limit, s.FirstTransferBytes);
  s.Sent = 0;
  s.UnplugDue = false;
  s.ChunkRandom.seed(s.Config.Seed ^ (s.ExposureCount * 0x9E3779B97F4A7C15ull));
  s.ChunkEnd = 0;
  s.CachedRow = -1;
  s.RowBuffer.assign(s.RowBytes, 0);
}

void ImageStream::Abort() {
  impl_->Aborted = true;
}

bool ImageStream::Active(Clock::time_point now) const {
  const Impl& s = *impl_;
  if (!s.Started || s.Aborted)
    return false;
  return now < s.ReadyTime || s.Sent < s.Limit;
}

uint32_t ImageStream::Read(uint8_t* buffer, uint32_t capacity, Clock::time_point now) {
  Impl& s = *impl_;
  if (!s.Started || s.Aborted || s.UnplugDue)
    return 0;
  uint64_t n = s.Deliverable(now) > s.Sent ? s.Deliverable(now) - s.Sent : 0;
  // A read ends where the camera ended a transfer: the first field, or an injected chunk.
  if (s.Sent < s.FirstTransferBytes)
    n = std::min(n, s.FirstTransferBytes - s.Sent);
  if (s.StreamFaultsInEffect.RandomChunkMax > 0) {
    while (s.ChunkEnd <= s.Sent)
      s.ChunkEnd += 1 + s.ChunkRandom() % s.StreamFaultsInEffect.RandomChunkMax;
    n = std::min(n, s.ChunkEnd - s.Sent);
  }
  n = std::min<uint64_t>(n, capacity);
  if (n == 0)
    return 0;
  s.CopyStream(buffer, n);
  s.TransferEnded = (s.TwoFields && s.Sent == s.FirstTransferBytes) || s.Sent == s.TotalBytes ||
                    (s.StreamFaultsInEffect.RandomChunkMax > 0 && s.Sent == s.ChunkEnd);
  if (s.StreamFaultsInEffect.UnplugAfterBytes && s.Sent >= *s.StreamFaultsInEffect.UnplugAfterBytes) {
    s.UnplugDue = true;
  }
  return static_cast<uint32_t>(n);
}

std::optional<Clock::time_point> ImageStream::NextDataTime(Clock::time_point now) const {
  const Impl& s = *impl_;
  if (!s.Started || s.Aborted || s.UnplugDue || s.Sent >= s.Limit)
    return std::nullopt;
  if (s.Deliverable(now) > s.Sent)
    return now;
  if (s.Rate <= 0.0)
    return s.ReadyTime;
  // The packet holding the next byte.
  const uint64_t packets = s.Sent / PacketBytes + 1;
  const double seconds = static_cast<double>(packets * PacketBytes) / s.Rate;
  const auto due = s.ReadyTime + std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
  return std::max(due, now);
}

bool ImageStream::TransferEnded() const {
  return impl_->TransferEnded;
}

bool ImageStream::UnplugDue() const {
  return impl_->UnplugDue;
}

void ImageStream::SetFaults(const StreamFaults& faults) {
  impl_->Faults = faults;
}

void ImageStream::SetScene(std::shared_ptr<Scene> scene) {
  impl_->CurrentScene =
      scene ? std::move(scene) : std::make_shared<StarField>(StarFieldOptions{.Seed = impl_->Config.Seed});
}

}  // namespace SimulatedCamera
