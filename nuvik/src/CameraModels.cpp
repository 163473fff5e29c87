#include <nuvik/CameraModels.h>

namespace Nuvik {
namespace {

// Every model carries the same sensor, converter and binning; only the name, the
// model code, the colour mosaic and the cooler features differ.
void FillCommon(CameraSpecs& specs) {
  specs.MaxBinX = 2;
  specs.MaxBinY = 2;
  specs.PixelSizeX = 8.6f;
  specs.PixelSizeY = 8.3f;
  specs.MaxADU = 65535;
  specs.FullWellCapacity = 50000.0;
  // The conversion factor was stored as a 32-bit float; hosts see its widened value.
  specs.ElectronsPerADU = static_cast<double>(0.789f);
  specs.CanAsymmetricBin = true;
  specs.CameraXSize = 752;
  specs.CameraYSize = 582;
  specs.DefaultGain = 185;
  specs.DefaultOffset = 127;
}

void FillModel(CameraSpecs& specs, const char* description, char model, bool color, bool cooled) {
  FillCommon(specs);
  specs.Description = description;
  specs.Model = model;
  specs.IsColor = color;
  specs.CanSetTemperature = cooled;
  specs.CanGetCoolerPower = cooled;
}

}  // namespace

CCDGuide::CCDGuide() {
  FillModel(*this, "Guide Camera", 0, false, false);
}
DeepSkyMono::DeepSkyMono() {
  FillModel(*this, "Velmar Q7 Deep Sky Monochromatic Camera", 1, false, true);
}
DeepSkyColor::DeepSkyColor() {
  FillModel(*this, "Velmar Q7 Deep Sky Color Camera", 2, true, true);
}
SondaMono::SondaMono() {
  FillModel(*this, "Brask Sonda Monochromatic Camera", 101, false, true);
}
SondaColor::SondaColor() {
  FillModel(*this, "Brask Sonda Color Camera", 102, true, true);
}

}  // namespace Nuvik
