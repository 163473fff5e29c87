// Takes one exposure through LowLevelDriver on the default USB layer (VANTOR_USB) and
// prints the model, the firmware version and a summary of the image.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <nuvik/LowLevelDriver.h>

int main(int argc, char** argv) {
  const int32_t durationMs = argc > 1 ? std::atoi(argv[1]) : 100;
  try {
    Nuvik::LowLevelDriver driver;
    driver.Connect();
    if (!driver.IsConnected()) {
      std::fprintf(stderr, "No camera found.\n");
      return 1;
    }
    std::printf("Camera:   %s, firmware %s\n", driver.GetDescription().c_str(),
                driver.GetFirmware().value_or("unknown").c_str());
    std::printf("Sensor:   %.2f C\n", driver.GetTemperature());

    driver.StartExposure(durationMs);
    // Exposure time plus the slowest readout the camera allows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs + 10000);
    while (!driver.IsImageReady()) {
      if (driver.GetCameraState() == Nuvik::CameraStates::Error ||
          std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "The readout failed.\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    const Nuvik::ImageArray image = driver.GetImage();
    const int32_t* first = image.Data();
    const int32_t* last = first + static_cast<size_t>(image.Width()) * image.Height();
    const auto [low, high] = std::minmax_element(first, last);
    double sum = 0.0;
    for (const int32_t* p = first; p != last; ++p) {
      sum += *p;
    }
    std::printf("Image:    %d x %d after %d ms, min %d, max %d, mean %.1f ADU\n", image.Width(),
                image.Height(), durationMs, *low, *high, sum / static_cast<double>(last - first));
    return 0;
  } catch (const Nuvik::DriverException& e) {
    std::fprintf(stderr, "Driver error: %s\n", e.what());
    return 1;
  }
}
