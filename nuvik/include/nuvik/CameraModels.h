#pragma once

// Capability records of the supported camera models. A record is filled by its
// model class's constructor and never changes afterwards.

#include <cstdint>
#include <string>

#include <nuvik/Export.h>

namespace Nuvik {

class NUVIK_API CameraSpecs {
 public:
  CameraSpecs() = default;

  int16_t MaxBinX = 0;
  int16_t MaxBinY = 0;
  float PixelSizeX = 0.0f;  // micrometres
  float PixelSizeY = 0.0f;
  bool CanSetTemperature = false;
  bool CanGetCoolerPower = false;
  int32_t MaxADU = 0;
  double FullWellCapacity = 0.0;  // electrons
  double ElectronsPerADU = 0.0;
  std::string Description;
  bool CanAsymmetricBin = false;
  int32_t CameraXSize = 0;  // unbinned pixels
  int32_t CameraYSize = 0;
  bool IsColor = false;
  char Model = 0;  // code the camera reports; 0 where the record has none
  int16_t DefaultGain = 0;
  int16_t DefaultOffset = 0;
};

class NUVIK_API CCDGuide : public CameraSpecs {
 public:
  CCDGuide();
};
class NUVIK_API DeepSkyMono : public CameraSpecs {
 public:
  DeepSkyMono();
};
class NUVIK_API DeepSkyColor : public CameraSpecs {
 public:
  DeepSkyColor();
};
class NUVIK_API SondaMono : public CameraSpecs {
 public:
  SondaMono();
};
class NUVIK_API SondaColor : public CameraSpecs {
 public:
  SondaColor();
};

}  // namespace Nuvik
