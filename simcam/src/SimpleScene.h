#pragma once

// The default sky of the simulated camera: a faint sky background with a gentle
// gradient and a dozen stars of different brightness and colour at seeded positions.
// Simple on purpose; it exists so that images have structure to check.

#include <cstdint>
#include <memory>

#include <simcam/Scene.h>

namespace SimulatedCamera {

std::shared_ptr<Scene> MakeSimpleScene(uint64_t seed);

}  // namespace SimulatedCamera
