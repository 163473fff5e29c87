#include <simcam/UsbDescriptors.h>

#include <simcam/Firmware.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace SimulatedCamera {
namespace {

// Standard requests and descriptor types (USB 2.0 chapter 9).
constexpr uint8_t StandardToHost = 0x80;
constexpr uint8_t VendorToHost = 0xC0;
constexpr uint8_t GetStatus = 0;
constexpr uint8_t GetDescriptor = 6;
constexpr uint8_t GetConfiguration = 8;
constexpr uint8_t DeviceDescriptorType = 1;
constexpr uint8_t ConfigurationDescriptorType = 2;
constexpr uint8_t StringDescriptorType = 3;
constexpr uint8_t BosDescriptorType = 0x0F;
constexpr uint16_t MsOs20DescriptorIndex = 7;
constexpr uint16_t EnglishUs = 0x0409;

// The GUID the camera's interface is registered under, as text in the descriptor set.
constexpr std::u16string_view InterfaceGuidText = u"{b35924d6-3e16-4a9e-9782-5524a4b79bac}";

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
void PutUtf16(std::vector<uint8_t>& out, std::u16string_view text) {
  for (char16_t c : text)
    Put16(out, static_cast<uint16_t>(c));
}

std::vector<uint8_t> DeviceDescriptor() {
  return {18,
          DeviceDescriptorType,
          0x10,
          0x02,  // bcdUSB 2.10: the host asks for the BOS descriptor
          0xFF,
          0x00,
          0x00,  // vendor-specific device class
          64,    // bMaxPacketSize0
          static_cast<uint8_t>(UsbVendorId),
          static_cast<uint8_t>(UsbVendorId >> 8),
          static_cast<uint8_t>(UsbProductId),
          static_cast<uint8_t>(UsbProductId >> 8),
          0x00,
          0x01,  // bcdDevice 1.00
          1,
          2,
          3,   // manufacturer, product, serial number strings
          1};  // one configuration
}

std::vector<uint8_t> ConfigurationDescriptor() {
  std::vector<uint8_t> d = {9,    ConfigurationDescriptorType, 0, 0, 1, 1, 0,
                            0xC0,  // self-powered: the cooler has its own supply
                            50};   // draws at most 100 mA from the bus
  // Interface 0: vendor class, two endpoints.
  d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0});
  // Bulk IN 0x81 and bulk OUT 0x02.
  for (uint8_t address : {BulkInEndpoint, BulkOutEndpoint}) {
    d.insert(d.end(), {7, 5, address, 0x02, static_cast<uint8_t>(BulkMaxPacketSize),
                       static_cast<uint8_t>(BulkMaxPacketSize >> 8), 0});
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

// MS OS 2.0 descriptor set: header, compatible ID "WINUSB" (so the generic driver
// binds without a driver package) and the DeviceInterfaceGUIDs registry property.
std::vector<uint8_t> MsOs20DescriptorSet() {
  std::vector<uint8_t> set;
  Put16(set, 10);          // wLength
  Put16(set, 0x00);        // MS_OS_20_SET_HEADER_DESCRIPTOR
  Put32(set, 0x06030000);  // Windows 8.1
  Put16(set, 0);           // wTotalLength, filled in below

  Put16(set, 20);
  Put16(set, 0x03);  // MS_OS_20_FEATURE_COMPATBLE_ID
  for (char c : std::string_view("WINUSB\0\0", 8))
    set.push_back(static_cast<uint8_t>(c));
  set.insert(set.end(), 8, 0);  // no sub-compatible ID

  constexpr std::u16string_view name = u"DeviceInterfaceGUIDs";
  const uint16_t nameBytes = static_cast<uint16_t>((name.size() + 1) * 2);
  const uint16_t dataBytes = static_cast<uint16_t>((InterfaceGuidText.size() + 2) * 2);  // REG_MULTI_SZ
  Put16(set, static_cast<uint16_t>(10 + nameBytes + dataBytes));
  Put16(set, 0x04);  // MS_OS_20_FEATURE_REG_PROPERTY
  Put16(set, 7);     // REG_MULTI_SZ
  Put16(set, nameBytes);
  PutUtf16(set, name);
  Put16(set, 0);
  Put16(set, dataBytes);
  PutUtf16(set, InterfaceGuidText);
  Put16(set, 0);
  Put16(set, 0);

  set[8] = static_cast<uint8_t>(set.size());
  set[9] = static_cast<uint8_t>(set.size() >> 8);
  return set;
}

std::vector<uint8_t> BosDescriptor() {
  static const std::vector<uint8_t> msOsSet = MsOs20DescriptorSet();
  std::vector<uint8_t> bos = {5, BosDescriptorType, 0, 0, 1};
  // Platform capability with the MS OS 2.0 UUID {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F}.
  bos.insert(bos.end(), {28,   0x10, 0x05, 0x00, 0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45,
                         0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F});
  Put32(bos, 0x06030000);  // dwWindowsVersion
  Put16(bos, static_cast<uint16_t>(msOsSet.size()));
  bos.push_back(MsOs20VendorCode);
  bos.push_back(0);  // bAltEnumCode: no alternate enumeration
  bos[2] = static_cast<uint8_t>(bos.size());
  bos[3] = static_cast<uint8_t>(bos.size() >> 8);
  return bos;
}

std::vector<uint8_t> StringDescriptor(uint8_t index) {
  std::u16string_view text;
  switch (index) {
    case 0:
      return {4, StringDescriptorType, static_cast<uint8_t>(EnglishUs), static_cast<uint8_t>(EnglishUs >> 8)};
    case 1:
      text = u"Vantor project";
      break;
    case 2:
      text = u"Simulated cooled CCD camera";
      break;
    case 3:
      text = u"SIM-0001";
      break;
    default:
      return {};  // includes 0xEE: the camera has MS OS 2.0, not 1.0, descriptors
  }
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + text.size() * 2), StringDescriptorType};
  PutUtf16(d, text);
  return d;
}

bool Answer(const std::vector<uint8_t>& bytes, uint16_t length, uint8_t* data, uint32_t& returned) {
  if (bytes.empty())
    return false;
  returned = std::min<uint32_t>(length, static_cast<uint32_t>(bytes.size()));
  if (returned > 0)
    std::memcpy(data, bytes.data(), returned);
  return true;
}

}  // namespace

std::vector<uint8_t> UsbDeviceDescriptors() {
  std::vector<uint8_t> all = DeviceDescriptor();
  const std::vector<uint8_t> config = ConfigurationDescriptor();
  all.insert(all.end(), config.begin(), config.end());
  return all;
}

bool AnswerDescriptorRequest(const TarvisUSBInterface::UsbSetupPacket& setup, uint8_t* data,
                             uint32_t& returned) {
  returned = 0;
  if (setup.Length > 0 && data == nullptr)
    return false;
  if (setup.RequestType == VendorToHost) {
    if (setup.Request != MsOs20VendorCode || setup.Index != MsOs20DescriptorIndex)
      return false;
    static const std::vector<uint8_t> set = MsOs20DescriptorSet();
    return Answer(set, setup.Length, data, returned);
  }
  if (setup.RequestType != StandardToHost)
    return false;
  switch (setup.Request) {
    case GetStatus:  // self-powered, no remote wake-up
      return Answer({0x01, 0x00}, setup.Length, data, returned);
    case GetConfiguration:
      return Answer({1}, setup.Length, data, returned);
    case GetDescriptor:
      break;
    default:
      return false;
  }
  const uint8_t type = static_cast<uint8_t>(setup.Value >> 8);
  const uint8_t index = static_cast<uint8_t>(setup.Value);
  switch (type) {
    case DeviceDescriptorType:
      return Answer(DeviceDescriptor(), setup.Length, data, returned);
    case ConfigurationDescriptorType:
      return index == 0 && Answer(ConfigurationDescriptor(), setup.Length, data, returned);
    case BosDescriptorType:
      return Answer(BosDescriptor(), setup.Length, data, returned);
    case StringDescriptorType:
      if (index != 0 && setup.Index != EnglishUs)
        return false;
      return Answer(StringDescriptor(index), setup.Length, data, returned);
    default:
      return false;
  }
}

}  // namespace SimulatedCamera

namespace SimulatedCamera {

// Called by the firmware for every standard and vendor-type IN request, under its lock.
bool Firmware::HandleDescriptorRequest(const UsbSetupPacket& setup, uint8_t* data, uint32_t& returned) {
  return AnswerDescriptorRequest(setup, data, returned);
}

}  // namespace SimulatedCamera
