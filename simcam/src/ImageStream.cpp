// Placeholder image path that never sends data; replaced by the real sensor model.
#include "ImageStream.h"

namespace SimulatedCamera {

struct ImageStream::Impl {};

ImageStream::ImageStream(const FirmwareConfig&) : impl_(std::make_unique<Impl>()) {}
ImageStream::~ImageStream() = default;
void ImageStream::Start(const ExposureSettings&, Clock::time_point) {}
void ImageStream::Abort() {}
bool ImageStream::Active(Clock::time_point) const { return false; }
uint32_t ImageStream::Read(uint8_t*, uint32_t, Clock::time_point) { return 0; }
std::optional<Clock::time_point> ImageStream::NextDataTime(Clock::time_point) const { return std::nullopt; }
bool ImageStream::UnplugDue() const { return false; }
void ImageStream::SetFaults(const StreamFaults&) {}
void ImageStream::SetScene(std::shared_ptr<Scene>) {}

}  // namespace SimulatedCamera
