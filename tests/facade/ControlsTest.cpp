#include "FacadeFixture.h"

#include <cmath>
#include <locale>
#include <optional>

#include <vantor/CameraProtocol.h>

namespace {

using namespace FacadeTesting;
using namespace TarvisUSBInterface::Protocol;

// Temperature of a failed raw read: raw word 0.
constexpr double FailedRead = -25.641025641025642;

struct SetPointCase {
  double Celsius;
  bool CoolerOn;
  uint16_t Raw;
};
void PrintTo(const SetPointCase& c, std::ostream* os) {
  *os << c.Celsius << (c.CoolerOn ? " on" : " off");
}

class SetPoint : public FacadeTest, public ::testing::WithParamInterface<SetPointCase> {};

// Catches a set point sent with the wrong raw word or without the cooler flag the
// camera reports, and a result that does not come from the camera.
TEST_P(SetPoint, SentWithTheCoolerFlag) {
  const SetPointCase& c = GetParam();
  Connect();
  Driver->SetCoolerOn(c.CoolerOn);
  Firmware->ClearRequestLog();
  EXPECT_TRUE(Driver->SetSetPointTemperature(c.Celsius));
  const auto sent = Sent(SetCoolingPointRequest);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Value, c.Raw);
  EXPECT_EQ(sent[0].Index, c.CoolerOn ? 1 : 0);
  EXPECT_EQ(Driver->IsCoolerOn(), c.CoolerOn);
}

INSTANTIATE_TEST_SUITE_P(Values, SetPoint,
                         ::testing::Values(SetPointCase{-10.0, true, 89}, SetPointCase{-10.0, false, 89},
                                           SetPointCase{20.0, true, 262}, SetPointCase{30.0, false, 320},
                                           SetPointCase{-30.0, true, 1}),
                         [](const auto& info) {
                           const int celsius = static_cast<int>(info.param.Celsius);
                           return (celsius < 0 ? "Minus" + std::to_string(-celsius)
                                               : std::to_string(celsius)) +
                                  (info.param.CoolerOn ? "On" : "Off");
                         });

// Catches a range check that lets an out-of-range or NaN set point through, or one
// that talks to the camera before refusing.
TEST_F(FacadeTest, SetPointOutOfRange) {
  Connect();
  for (const double celsius : {-30.01, 30.5, std::nan(""), -1e300}) {
    EXPECT_EQ(DriverError([&] { Driver->SetSetPointTemperature(celsius); }), "Invalid temperature")
        << celsius;
  }
  EXPECT_TRUE(Firmware->RequestLog().empty());
}

// Catches SetSetPointTemperature reporting success when the set point never reached
// the camera.
TEST_F(FacadeTest, SetPointReportsTheCameraResult) {
  Connect();
  Firmware->FailRequest(SetCoolingPointRequest);
  EXPECT_FALSE(Driver->SetSetPointTemperature(-5.0));
}

// Catches a cooler switch that drifts the set point down one count per toggle or
// forgets the flag, for set points whose round trip through degrees is inexact.
TEST_F(FacadeTest, CoolerToggleKeepsTheSetPoint) {
  Connect();
  for (const double celsius : {-10.0, 20.0, 0.0, 25.0}) {
    Driver->SetSetPointTemperature(celsius);
    const uint16_t raw = Firmware->State().RawSetPoint;
    for (const bool on : {true, false, true, true, false}) {
      Driver->SetCoolerOn(on);
      EXPECT_EQ(Firmware->State().RawSetPoint, raw) << celsius;
      EXPECT_EQ(Driver->IsCoolerOn(), on);
    }
    EXPECT_NEAR(Driver->GetSetPointTemperature(), celsius, 0.18);
  }
}

// Catches a cooler switch that, when the set point cannot be read, sends the value of a
// failed read instead: the camera would be driven to its coldest set point.
TEST_F(FacadeTest, CoolerSwitchKeepsTheSetPointWhenItCannotBeRead) {
  Connect();
  Driver->SetCoolerOn(false);
  Driver->SetSetPointTemperature(-10.0);
  ASSERT_EQ(Firmware->State().RawSetPoint, 89);
  Firmware->FailRequest(GetCoolingPointRequest);
  Firmware->ClearRequestLog();
  for (const bool on : {true, false}) {
    Driver->SetCoolerOn(on);
    EXPECT_TRUE(Sent(SetCoolingPointRequest).empty());
    EXPECT_EQ(Firmware->State().RawSetPoint, 89);
    EXPECT_FALSE(Driver->IsCoolerOn());
  }
}

// Catches a set point sent with the cooler off, and reported as done, when the cooler
// flag cannot be read: a running cooler would be switched off behind the host's back.
TEST_F(FacadeTest, SetPointNotSentWhenTheCoolerFlagCannotBeRead) {
  Connect();
  Driver->SetSetPointTemperature(-10.0);
  Driver->SetCoolerOn(true);
  Firmware->FailRequest(GetCoolerOnRequest);
  Firmware->ClearRequestLog();
  EXPECT_FALSE(Driver->SetSetPointTemperature(0.0));
  EXPECT_TRUE(Sent(SetCoolingPointRequest).empty());
  EXPECT_TRUE(Firmware->State().CoolerOn);
  EXPECT_EQ(Firmware->State().RawSetPoint, 89);
}

// Catches the host's duty scale not halved, or values above the camera's 50 sent.
TEST_F(FacadeTest, DutyCycleIsHalved) {
  Connect();
  const std::vector<std::pair<uint16_t, std::optional<uint16_t>>> cases = {
      {100, 50}, {101, 50}, {99, 49}, {0, 0}, {102, std::nullopt}, {65535, std::nullopt}};
  for (const auto& [cycle, wire] : cases) {
    Firmware->ClearRequestLog();
    Driver->SetCoolingDutyCycle(cycle);
    const auto sent = Sent(SetCoolingDutyCycleRequest);
    if (wire) {
      ASSERT_EQ(sent.size(), 1u) << cycle;
      EXPECT_EQ(sent[0].Value, *wire) << cycle;
    } else {
      EXPECT_TRUE(sent.empty()) << cycle;
    }
  }
}

// Catches a power reading that ignores the cooler switch (and asks for the duty
// anyway) or is scaled other than duty / 50.
TEST_F(FacadeTest, CoolingPowerFlow) {
  Connect();
  Driver->SetCoolerOn(false);
  Firmware->ClearRequestLog();
  EXPECT_EQ(Driver->GetCoolingPower(), 0.0);
  EXPECT_TRUE(Sent(GetCoolingDutyRequest).empty());

  Driver->SetCoolerOn(true);
  Driver->SetCoolingDutyCycle(50);
  const uint16_t duty = Driver->GetCoolingDutyCycle();
  EXPECT_EQ(duty, Firmware->State().DutyCycle);
  EXPECT_DOUBLE_EQ(Driver->GetCoolingPower(), duty / 50.0);
}

// Catches the regulator gains sent in the wrong order or their result dropped.
TEST_F(FacadeTest, PidGains) {
  Connect();
  EXPECT_TRUE(Driver->SetTemperaturePIDGain(10, 20, 30));
  const auto sent = Sent(SetPIDGainRequest);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Value, 0x141E);
  EXPECT_EQ(sent[0].Index, 10);
  Firmware->FailRequest(SetPIDGainRequest);
  EXPECT_FALSE(Driver->SetTemperaturePIDGain(1, 2, 3));
}

// Catches guide arguments not narrowed to the wire's 8-bit direction and 16-bit
// duration.
TEST_F(FacadeTest, PulseGuideNarrowsItsArguments) {
  Connect();
  Driver->PulseGuide(258, 70000);
  const auto sent = Sent(PulseGuideRequest);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Index, 2);
  EXPECT_EQ(sent[0].Value, 4464);
  EXPECT_EQ(Driver->IsPulseGuiding(), Firmware->State().Guiding);
  Firmware->FailRequest(GetPulseGuidingRequest);
  EXPECT_FALSE(Driver->IsPulseGuiding());
}

// Catches gain and offset swapped or the amplifier scale missing, and a failed
// request reported as success.
TEST_F(FacadeTest, ChangeGainOffset) {
  Connect();
  EXPECT_TRUE(Driver->ChangeGainOffset(185 + 256, 127));
  const auto sent = Sent(SetADCGainRequest);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Value, 0xB97F);
  EXPECT_EQ(sent[0].Index, 2);
  Firmware->FailRequest(SetADCGainRequest);
  EXPECT_FALSE(Driver->ChangeGainOffset(1, 2));
}

// Catches converter fields packed into the wrong request or byte, the clamp DAC value
// sent instead of its flag, values not cut to 8 bits, and a request sent whose flag is
// clear.
TEST_F(FacadeTest, ChangeADCParametersPacking) {
  Connect();
  // offset, gain, cdsEnable, cdsTimming, rlcEnable, rlcV, rlcDac, mode3, pgaScale, outputInvert
  EXPECT_TRUE(
      Driver->ChangeADCParameters(127, 185, true, 5, true, 300, 200, true, 3, false, true, true, true, true));
  const auto log = Firmware->RequestLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].Request, SetADCGainRequest);
  EXPECT_EQ(log[0].Value, 0xB97F);
  EXPECT_EQ(log[0].Index, 3);
  EXPECT_EQ(log[1].Request, SetADCCDSRequest);
  EXPECT_EQ(log[1].Value, 0x0105);
  EXPECT_EQ(log[2].Request, SetADCRLCRequest);
  EXPECT_EQ(log[2].Value, 0x0101);
  EXPECT_EQ(log[2].Index, 44);
  EXPECT_EQ(log[3].Request, SetADCAdvConfigRequest);
  EXPECT_EQ(log[3].Value, 0x0001);

  Firmware->ClearRequestLog();
  EXPECT_TRUE(
      Driver->ChangeADCParameters(0, 0, false, 0, false, 7, 0, false, 0, true, false, false, true, true));
  ASSERT_EQ(Firmware->RequestLog().size(), 2u);
  EXPECT_EQ(Sent(SetADCRLCRequest).at(0).Value, 0x0000);
  EXPECT_EQ(Sent(SetADCRLCRequest).at(0).Index, 7);
  EXPECT_EQ(Sent(SetADCAdvConfigRequest).at(0).Value, 0x0100);

  Firmware->ClearRequestLog();
  EXPECT_TRUE(
      Driver->ChangeADCParameters(1, 2, true, 3, true, 4, 5, true, 6, true, false, false, false, false));
  EXPECT_TRUE(Firmware->RequestLog().empty());
}

// Catches ChangeADCParameters reporting success when a request failed, or stopping
// at the failed one.
TEST_F(FacadeTest, ChangeADCParametersFailure) {
  Connect();
  Firmware->FailRequest(SetADCCDSRequest);
  EXPECT_FALSE(Driver->ChangeADCParameters(1, 2, true, 3, true, 4, 5, true, 6, true, true, true, true, true));
  EXPECT_EQ(Sent(SetADCRLCRequest).size(), 1u);
  EXPECT_EQ(Sent(SetADCAdvConfigRequest).size(), 1u);
}

// Catches a programming-mode switch that is not sent.
TEST_F(FacadeTest, EnterProgrammingMode) {
  Connect();
  Driver->EnterProgrammingMode();
  EXPECT_EQ(Sent(EnterProgrammingModeRequest).size(), 1u);
  EXPECT_TRUE(Firmware->State().ProgrammingMode);
}

struct FirmwareCase {
  uint8_t Byte;
  const char* Text;
};
void PrintTo(const FirmwareCase& c, std::ostream* os) {
  *os << "byte " << int{c.Byte};
}

class FirmwareText : public FacadeTest, public ::testing::WithParamInterface<FirmwareCase> {};

// Catches the version byte read unsigned, printed with float noise, trailing zeros or
// an exponent.
TEST_P(FirmwareText, Formats) {
  Connect(1, GetParam().Byte);
  const std::optional<std::string> text = Driver->GetFirmware();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Bytes, FirmwareText,
                         ::testing::Values(FirmwareCase{105, "1.05"}, FirmwareCase{100, "1"},
                                           FirmwareCase{7, "0.07"}, FirmwareCase{0, "0"},
                                           FirmwareCase{200, "-0.56"}, FirmwareCase{127, "1.27"},
                                           FirmwareCase{128, "-1.28"}, FirmwareCase{1, "0.01"}),
                         [](const auto& info) { return "Byte" + std::to_string(info.param.Byte); });

// A locale whose decimal separator is a comma.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

std::locale CommaLocale() {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"}) {
    try {
      return std::locale(name);
    } catch (const std::runtime_error&) {
    }
  }
  return std::locale(std::locale::classic(), new CommaDecimal);
}

// Catches a version text that ignores the host's decimal separator.
TEST_F(FacadeTest, FirmwareUsesTheGlobalDecimalSeparator) {
  Connect(1, 105);
  const std::locale previous = std::locale::global(CommaLocale());
  const std::optional<std::string> text = Driver->GetFirmware();
  std::locale::global(previous);
  EXPECT_EQ(text, std::optional<std::string>("1,05"));
}

// Catches a firmware query that answers without a camera or while the camera refuses.
TEST_F(FacadeTest, FirmwareNullWhenUnavailable) {
  MakeCamera();
  EXPECT_EQ(Driver->GetFirmware(), std::nullopt);
  Driver->Connect();
  Firmware->FailRequest(GetFirmwareRequest);
  EXPECT_EQ(Driver->GetFirmware(), std::nullopt);
}

// Catches controls that throw, invent values or report success without a camera:
// before the first connection and after Disconnect every request fails.
TEST_F(FacadeTest, ControlsWithoutConnection) {
  for (const bool afterDisconnect : {false, true}) {
    MakeCamera();
    if (afterDisconnect) {
      Driver->Connect();
      Driver->Disconnect();
    }
    SCOPED_TRACE(afterDisconnect ? "after Disconnect" : "never connected");
    double temperature = 0.0;
    EXPECT_FALSE(Driver->GetTemperature(&temperature));
    EXPECT_DOUBLE_EQ(temperature, FailedRead);
    EXPECT_DOUBLE_EQ(Driver->GetTemperature(), FailedRead);
    EXPECT_DOUBLE_EQ(Driver->GetSetPointTemperature(), FailedRead);
    EXPECT_FALSE(Driver->IsCoolerOn());
    EXPECT_FALSE(Driver->IsPulseGuiding());
    EXPECT_EQ(Driver->GetCoolingPower(), 0.0);
    EXPECT_EQ(Driver->GetCoolingDutyCycle(), 0);
    EXPECT_EQ(Driver->GetFirmware(), std::nullopt);
    EXPECT_FALSE(Driver->SetTemperaturePIDGain(1, 2, 3));
    EXPECT_FALSE(Driver->SetSetPointTemperature(0.0));
    EXPECT_FALSE(Driver->ChangeGainOffset(185, 127));
    EXPECT_FALSE(
        Driver->ChangeADCParameters(1, 2, true, 3, true, 4, 5, true, 6, true, true, true, true, true));
    EXPECT_TRUE(
        Driver->ChangeADCParameters(1, 2, true, 3, true, 4, 5, true, 6, true, false, false, false, false));
    EXPECT_NO_THROW(Driver->SetCoolerOn(true));
    EXPECT_NO_THROW(Driver->SetCoolingDutyCycle(10));
    EXPECT_NO_THROW(Driver->PulseGuide(1, 100));
    EXPECT_NO_THROW(Driver->EnterProgrammingMode());
    EXPECT_FALSE(Firmware->State().ProgrammingMode);
  }
}

}  // namespace
