#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <nuvik/CameraModels.h>

namespace {

using Nuvik::CameraSpecs;

struct ModelCase {
  const char* Name;
  std::function<std::unique_ptr<CameraSpecs>()> Make;
  const char* Description;
  char Model;
  bool IsColor;
  bool Cooled;
};
void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.Name;
}

class ModelRecord : public ::testing::TestWithParam<ModelCase> {};

// Catches a model record with a wrong name, code, colour flag or cooler feature, or a
// shared value (geometry, converter, binning) that drifted in one model.
TEST_P(ModelRecord, HoldsItsOwnAndTheSharedValues) {
  const ModelCase& expected = GetParam();
  const std::unique_ptr<CameraSpecs> specs = expected.Make();
  EXPECT_EQ(specs->Description, expected.Description);
  EXPECT_EQ(specs->Model, expected.Model);
  EXPECT_EQ(specs->IsColor, expected.IsColor);
  EXPECT_EQ(specs->CanSetTemperature, expected.Cooled);
  EXPECT_EQ(specs->CanGetCoolerPower, expected.Cooled);

  EXPECT_EQ(specs->MaxBinX, 2);
  EXPECT_EQ(specs->MaxBinY, 2);
  EXPECT_EQ(static_cast<double>(specs->PixelSizeX), 8.600000381469727);
  EXPECT_EQ(static_cast<double>(specs->PixelSizeY), 8.300000190734863);
  EXPECT_EQ(specs->MaxADU, 65535);
  EXPECT_EQ(specs->FullWellCapacity, 50000.0);
  EXPECT_EQ(specs->ElectronsPerADU, 0.7889999747276306);
  EXPECT_TRUE(specs->CanAsymmetricBin);
  EXPECT_EQ(specs->CameraXSize, 752);
  EXPECT_EQ(specs->CameraYSize, 582);
  EXPECT_EQ(specs->DefaultGain, 185);
  EXPECT_EQ(specs->DefaultOffset, 127);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, ModelRecord,
    ::testing::Values(ModelCase{"CCDGuide", [] { return std::make_unique<Nuvik::CCDGuide>(); },
                                "Guide Camera", 0, false, false},
                      ModelCase{"DeepSkyMono", [] { return std::make_unique<Nuvik::DeepSkyMono>(); },
                                "Velmar Q7 Deep Sky Monochromatic Camera", 1, false, true},
                      ModelCase{"DeepSkyColor", [] { return std::make_unique<Nuvik::DeepSkyColor>(); },
                                "Velmar Q7 Deep Sky Color Camera", 2, true, true},
                      ModelCase{"SondaMono", [] { return std::make_unique<Nuvik::SondaMono>(); },
                                "Brask Sonda Monochromatic Camera", 101, false, true},
                      ModelCase{"SondaColor", [] { return std::make_unique<Nuvik::SondaColor>(); },
                                "Brask Sonda Color Camera", 102, true, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Catches a base record that is not empty: hosts may build one and fill it themselves.
TEST(CameraSpecs, BareRecordIsEmpty) {
  const CameraSpecs specs;
  EXPECT_EQ(specs.MaxBinX, 0);
  EXPECT_EQ(specs.MaxBinY, 0);
  EXPECT_EQ(specs.PixelSizeX, 0.0f);
  EXPECT_EQ(specs.PixelSizeY, 0.0f);
  EXPECT_FALSE(specs.CanSetTemperature);
  EXPECT_FALSE(specs.CanGetCoolerPower);
  EXPECT_EQ(specs.MaxADU, 0);
  EXPECT_EQ(specs.FullWellCapacity, 0.0);
  EXPECT_EQ(specs.ElectronsPerADU, 0.0);
  EXPECT_TRUE(specs.Description.empty());
  EXPECT_FALSE(specs.CanAsymmetricBin);
  EXPECT_EQ(specs.CameraXSize, 0);
  EXPECT_EQ(specs.CameraYSize, 0);
  EXPECT_FALSE(specs.IsColor);
  EXPECT_EQ(specs.Model, 0);
  EXPECT_EQ(specs.DefaultGain, 0);
  EXPECT_EQ(specs.DefaultOffset, 0);
}

}  // namespace
