#include <nuvik/LowLevelDriver.h>

#include <stdexcept>

namespace Nuvik {

ImageArray::ImageArray(int32_t width, int32_t height) : width_(width), height_(height) {
  if (width < 0 || height < 0) {
    throw std::invalid_argument("ImageArray dimensions must not be negative");
  }
  data_.assign(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
}

}  // namespace Nuvik
