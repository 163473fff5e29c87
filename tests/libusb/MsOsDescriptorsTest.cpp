// Parsing of MS OS 2.0 / 1.0 descriptors, GUID text and VANTOR_USB_IDS: what the
// camera announces must be found, and malformed input must yield nothing, never a read
// past the buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <simcam/UsbDescriptors.h>
#include <vantor/Guid.h>

#include "MsOsDescriptors.h"

namespace {

using namespace TarvisUSBInterface;
using namespace TarvisUSBInterface::MsOs;

std::vector<uint8_t> Ask(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  std::vector<uint8_t> data(length);
  uint32_t returned = 0;
  if (!SimulatedCamera::AnswerDescriptorRequest({type, request, value, index, length}, data.data(),
                                                returned)) {
    return {};
  }
  data.resize(returned);
  return data;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
std::vector<uint8_t> Utf16(const std::string& text, int terminators) {
  std::vector<uint8_t> out;
  for (char c : text)
    Put16(out, static_cast<uint8_t>(c));
  for (int i = 0; i < terminators; ++i)
    Put16(out, 0);
  return out;
}

constexpr const char* CameraGuidText = "{b35924d6-3e16-4a9e-9782-5524a4b79bac}";

// A MS OS 2.0 registry property descriptor.
std::vector<uint8_t> Ms20Property(const std::string& name, const std::string& value, uint16_t type = 7) {
  const auto n = Utf16(name, 1);
  const auto v = Utf16(value, type == 7 ? 2 : 1);
  std::vector<uint8_t> d;
  Put16(d, static_cast<uint16_t>(10 + n.size() + v.size()));
  Put16(d, 0x04);
  Put16(d, type);
  Put16(d, static_cast<uint16_t>(n.size()));
  d.insert(d.end(), n.begin(), n.end());
  Put16(d, static_cast<uint16_t>(v.size()));
  d.insert(d.end(), v.begin(), v.end());
  return d;
}

std::vector<uint8_t> Ms20Set(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> set;
  Put16(set, 10);
  Put16(set, 0);
  Put32(set, 0x06030000);
  Put16(set, 0);
  for (const auto& p : parts)
    set.insert(set.end(), p.begin(), p.end());
  set[8] = static_cast<uint8_t>(set.size());
  set[9] = static_cast<uint8_t>(set.size() >> 8);
  return set;
}

std::vector<uint8_t> FunctionSubset(uint8_t firstInterface, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> d;
  Put16(d, 8);
  Put16(d, 0x02);
  d.push_back(firstInterface);
  d.push_back(0);
  Put16(d, static_cast<uint16_t>(8 + body.size()));
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

// Catches: the simulated camera's BOS and descriptor set not leading to its GUID (the
// path discovery takes through libusb), or a truncated answer parsed past its end.
TEST(MsOs20, TheSimulatedCameraAnnouncesItsInterfaceGuid) {
  const auto bos = Ask(0x80, 6, 0x0F00, 0, 255);
  const auto platform = FindMsOs20Platform(bos);
  ASSERT_TRUE(platform.has_value());
  EXPECT_EQ(platform->VendorCode, SimulatedCamera::MsOs20VendorCode);
  const auto set = Ask(0xC0, platform->VendorCode, 0, MsOs20DescriptorIndex, platform->SetLength);
  ASSERT_EQ(set.size(), platform->SetLength);
  EXPECT_EQ(InterfaceGuidsFromMsOs20Set(set, 0), std::vector<GUID>{OSR_DEVICE_INTERFACE});
  // A truncated answer (a device cutting its reply short) yields nothing.
  for (size_t cut = 0; cut < set.size(); ++cut) {
    const auto guids = InterfaceGuidsFromMsOs20Set({set.data(), cut}, 0);
    EXPECT_TRUE(guids.empty()) << cut;
  }
  for (size_t cut = 0; cut < bos.size(); ++cut) {
    EXPECT_FALSE(FindMsOs20Platform({bos.data(), cut}).has_value()) << cut;
  }
  // The vendor request with another wIndex, or another vendor code, stalls.
  EXPECT_TRUE(Ask(0xC0, platform->VendorCode, 0, 8, 16).empty());
  EXPECT_TRUE(Ask(0xC0, platform->VendorCode + 1, 0, 7, 16).empty());
}

// Catches: properties of another function (a composite device's other interface), other
// property names, REG_SZ values or malformed lengths mistaken for our GUID.
TEST(MsOs20, RegistryPropertiesAreTakenOnlyForInterfaceZero) {
  struct Case {
    const char* What;
    std::vector<uint8_t> Set;
    size_t Expected;
  };
  auto badLength = Ms20Property("DeviceInterfaceGUIDs", CameraGuidText);
  badLength[8 + 42] = 0xFF;  // wPropertyDataLength beyond the descriptor
  const Case cases[] = {
      {"whole device, REG_MULTI_SZ", Ms20Set({Ms20Property("DeviceInterfaceGUIDs", CameraGuidText)}), 1},
      {"singular name, REG_SZ", Ms20Set({Ms20Property("DeviceInterfaceGUID", CameraGuidText, 1)}), 1},
      {"function of interface 0",
       Ms20Set({FunctionSubset(0, Ms20Property("DeviceInterfaceGUIDs", CameraGuidText))}), 1},
      {"function of interface 1 only",
       Ms20Set({FunctionSubset(1, Ms20Property("DeviceInterfaceGUIDs", CameraGuidText))}), 0},
      {"after interface 1's subset",
       Ms20Set({FunctionSubset(1, {}), Ms20Property("DeviceInterfaceGUIDs", CameraGuidText)}), 1},
      {"other property", Ms20Set({Ms20Property("SurpriseRemovalOK", CameraGuidText)}), 0},
      {"binary type", Ms20Set({Ms20Property("DeviceInterfaceGUIDs", CameraGuidText, 3)}), 0},
      {"not a GUID", Ms20Set({Ms20Property("DeviceInterfaceGUIDs", "{b35924d6-3e16}")}), 0},
      {"data length past the end", Ms20Set({badLength}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    const auto guids = InterfaceGuidsFromMsOs20Set(c.Set, 0);
    ASSERT_EQ(guids.size(), c.Expected);
    if (c.Expected == 1) {
      EXPECT_EQ(guids[0], OSR_DEVICE_INTERFACE);
    }
  }
}

// Catches: the MS OS 1.0 path (string 0xEE, extended properties) not finding a GUID a
// device announces, or a wrong signature accepted.
TEST(MsOs10, StringAndExtendedPropertiesYieldTheGuid) {
  std::vector<uint8_t> string = {0x12, 0x03};
  for (char c : std::string("MSFT100"))
    Put16(string, static_cast<uint8_t>(c));
  string.push_back(0x42);
  string.push_back(0);
  EXPECT_EQ(VendorCodeFromMsOs10String(string), 0x42);
  auto wrong = string;
  wrong[2] = 'N';
  EXPECT_FALSE(VendorCodeFromMsOs10String(wrong).has_value());
  EXPECT_FALSE(VendorCodeFromMsOs10String({string.data(), 17}).has_value());

  const auto name = Utf16("DeviceInterfaceGUIDs", 1);
  const auto value = Utf16(CameraGuidText, 2);
  std::vector<uint8_t> section;
  Put32(section, static_cast<uint32_t>(14 + name.size() + value.size()));
  Put32(section, 7);
  Put16(section, static_cast<uint16_t>(name.size()));
  section.insert(section.end(), name.begin(), name.end());
  Put32(section, static_cast<uint32_t>(value.size()));
  section.insert(section.end(), value.begin(), value.end());
  std::vector<uint8_t> properties;
  Put32(properties, static_cast<uint32_t>(10 + section.size()));
  Put16(properties, 0x0100);
  Put16(properties, 5);
  Put16(properties, 1);
  properties.insert(properties.end(), section.begin(), section.end());
  EXPECT_EQ(InterfaceGuidsFromMsOs10Properties(properties), std::vector<GUID>{OSR_DEVICE_INTERFACE});
  for (size_t cut = 0; cut < properties.size(); ++cut) {
    EXPECT_TRUE(InterfaceGuidsFromMsOs10Properties({properties.data(), cut}).empty()) << cut;
  }
}

// Catches: GUID text parsed with the wrong byte order, or malformed text accepted.
TEST(GuidText, ParsesTheRegistryFormOnly) {
  EXPECT_EQ(ParseGuid(CameraGuidText), OSR_DEVICE_INTERFACE);
  EXPECT_EQ(ParseGuid("B35924D6-3E16-4A9E-9782-5524A4B79BAC"), OSR_DEVICE_INTERFACE);
  for (const char* bad : {"", "{}", "{b35924d6-3e16-4a9e-9782-5524a4b79bac",
                          "b35924d6-3e16-4a9e-9782-5524a4b79bagc", "b35924d6-3e16-4a9e-97825-524a4b79bac",
                          "b35924d6+3e16-4a9e-9782-5524a4b79bac", "{b35924d6-3e16-4a9e-9782-5524a4b79ba}x"}) {
    EXPECT_FALSE(ParseGuid(bad).has_value()) << bad;
  }
}

// Catches: VANTOR_USB_IDS entries misread (hex, blanks, empty entries) or malformed
// entries silently accepted.
TEST(UsbIds, ParsesHexPairsAndReportsTheRest) {
  const auto list = ParseUsbIdList(" 1234:5678 ,ABCD:0001,,1:2, xyz, 12345:1, 1234:, :5678");
  EXPECT_EQ(list.Ids, (std::vector<UsbId>{{0x1234, 0x5678}, {0xABCD, 0x0001}, {0x0001, 0x0002}}));
  EXPECT_EQ(list.Rejected, (std::vector<std::string>{"xyz", "12345:1", "1234:", ":5678"}));
  EXPECT_TRUE(ParseUsbIdList("").Ids.empty());
}

}  // namespace
