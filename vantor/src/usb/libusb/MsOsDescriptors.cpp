#include "MsOsDescriptors.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace TarvisUSBInterface::MsOs {
namespace {

// MS OS 2.0 descriptor types inside the set.
constexpr uint16_t SetHeaderDescriptor = 0x00;
constexpr uint16_t FunctionSubsetHeader = 0x02;
constexpr uint16_t RegistryPropertyDescriptor = 0x04;
constexpr size_t SetHeaderLength = 10;
constexpr size_t FunctionSubsetHeaderLength = 8;

// Registry value types of both generations.
constexpr uint32_t RegSz = 1;
constexpr uint32_t RegMultiSz = 7;

uint16_t Le16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint32_t Le32(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// UTF-16LE to text; the GUIDs and property names we look for are ASCII, so anything
// else becomes '?', which then fails to match. An odd trailing byte is dropped.
std::vector<std::string> Utf16Strings(std::span<const uint8_t> bytes) {
  std::vector<std::string> out;
  std::string current;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const uint16_t unit = Le16(bytes, i);
    if (unit == 0) {
      if (!current.empty())
        out.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
  }
  if (!current.empty())
    out.push_back(std::move(current));
  return out;
}

bool IsInterfaceGuidProperty(std::span<const uint8_t> nameBytes) {
  const auto names = Utf16Strings(nameBytes);
  if (names.size() != 1)
    return false;
  return names[0] == "DeviceInterfaceGUIDs" || names[0] == "DeviceInterfaceGUID";
}

void AppendGuids(uint32_t dataType, std::span<const uint8_t> data, std::vector<GUID>& guids) {
  if (dataType != RegSz && dataType != RegMultiSz)
    return;
  for (const auto& text : Utf16Strings(data)) {
    if (auto guid = ParseGuid(text))
      guids.push_back(*guid);
  }
}

std::optional<uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f')
    return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F')
    return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

std::optional<uint32_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > 8)
    return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    auto digit = HexDigit(c);
    if (!digit)
      return std::nullopt;
    value = value << 4 | *digit;
  }
  return value;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<MsOs20Platform> FindMsOs20Platform(std::span<const uint8_t> bos) {
  // BOS header: bLength 5, bDescriptorType 0x0F, wTotalLength, bNumDeviceCaps.
  if (bos.size() < 5 || bos[0] < 5 || bos[1] != BosDescriptorType)
    return std::nullopt;
  const size_t total = std::min<size_t>(Le16(bos, 2), bos.size());
  size_t at = bos[0];
  while (at + 3 <= total) {
    const size_t length = bos[at];
    if (length < 3 || at + length > total)
      break;
    // Platform capability: 4 header bytes, the 16-byte UUID, then one or more
    // 8-byte sets {dwWindowsVersion, wMSOSDescriptorSetTotalLength, bMS_VendorCode,
    // bAltEnumCode}; the first set serves every Windows version we care about.
    if (bos[at + 1] == DeviceCapabilityDescriptorType && bos[at + 2] == PlatformCapabilityType &&
        length >= 28 && std::memcmp(&bos[at + 4], MsOs20PlatformUuid, 16) == 0) {
      const uint16_t setLength = Le16(bos, at + 24);
      if (setLength >= SetHeaderLength)
        return MsOs20Platform{bos[at + 26], setLength};
    }
    at += length;
  }
  return std::nullopt;
}

std::vector<GUID> InterfaceGuidsFromMsOs20Set(std::span<const uint8_t> set, uint8_t interfaceNumber) {
  std::vector<GUID> guids;
  if (set.size() < SetHeaderLength || Le16(set, 0) != SetHeaderLength ||
      Le16(set, 2) != SetHeaderDescriptor) {
    return guids;
  }
  const size_t total = std::min<size_t>(Le16(set, 8), set.size());
  int function = -1;  // first interface of the function subset we are in, -1 outside any
  size_t functionEnd = 0;
  size_t at = SetHeaderLength;
  while (at + 4 <= total) {
    const size_t length = Le16(set, at);
    const uint16_t type = Le16(set, at + 2);
    if (length < 4 || at + length > total)
      break;
    if (function >= 0 && at >= functionEnd)
      function = -1;
    if (type == FunctionSubsetHeader && length >= FunctionSubsetHeaderLength) {
      function = set[at + 4];
      functionEnd = at + Le16(set, at + 6);
    } else if (type == RegistryPropertyDescriptor && length >= 10 &&
               (function < 0 || function == interfaceNumber)) {
      // wPropertyDataType, wPropertyNameLength, name, wPropertyDataLength, data.
      const uint16_t dataType = Le16(set, at + 4);
      const size_t nameLength = Le16(set, at + 6);
      if (8 + nameLength + 2 <= length) {
        const size_t dataLength = Le16(set, at + 8 + nameLength);
        if (8 + nameLength + 2 + dataLength <= length &&
            IsInterfaceGuidProperty(set.subspan(at + 8, nameLength))) {
          AppendGuids(dataType, set.subspan(at + 10 + nameLength, dataLength), guids);
        }
      }
    }
    at += length;
  }
  return guids;
}

std::optional<uint8_t> VendorCodeFromMsOs10String(std::span<const uint8_t> s) {
  // bLength 0x12, bDescriptorType 3, "MSFT100" in UTF-16LE, bMS_VendorCode, bPad.
  static constexpr uint8_t Signature[14] = {'M', 0, 'S', 0, 'F', 0, 'T', 0, '1', 0, '0', 0, '0', 0};
  if (s.size() < 18 || s[0] < 18 || s[1] != 3 || std::memcmp(&s[2], Signature, sizeof Signature) != 0) {
    return std::nullopt;
  }
  return s[16];
}

std::vector<GUID> InterfaceGuidsFromMsOs10Properties(std::span<const uint8_t> p) {
  std::vector<GUID> guids;
  // Header: dwLength, bcdVersion 0x0100, wIndex 5, wCount.
  if (p.size() < 10 || Le16(p, 4) != 0x0100 || Le16(p, 6) != MsOs10ExtendedPropertiesIndex)
    return guids;
  const size_t total = std::min<size_t>(Le32(p, 0), p.size());
  const uint16_t count = Le16(p, 8);
  size_t at = 10;
  for (uint16_t i = 0; i < count && at + 14 <= total; ++i) {
    // dwSize, dwPropertyDataType, wPropertyNameLength, name, dwPropertyDataLength, data.
    const size_t size = Le32(p, at);
    if (size < 14 || size > total - at)
      break;
    const uint32_t dataType = Le32(p, at + 4);
    const size_t nameLength = Le16(p, at + 8);
    if (10 + nameLength + 4 <= size) {
      const size_t dataLength = Le32(p, at + 10 + nameLength);
      if (dataLength <= size - (14 + nameLength) && IsInterfaceGuidProperty(p.subspan(at + 10, nameLength))) {
        AppendGuids(dataType, p.subspan(at + 14 + nameLength, dataLength), guids);
      }
    }
    at += size;
  }
  return guids;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  text = Trim(text);
  if (text.size() == 38 && text.front() == '{' && text.back() == '}')
    text = text.substr(1, 36);
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  auto d1 = ParseHex(text.substr(0, 8));
  auto d2 = ParseHex(text.substr(9, 4));
  auto d3 = ParseHex(text.substr(14, 4));
  if (!d1 || !d2 || !d3)
    return std::nullopt;
  GUID guid{*d1, static_cast<uint16_t>(*d2), static_cast<uint16_t>(*d3), {}};
  // Data4: two bytes before the last dash, six after it.
  const std::string_view tail[2] = {text.substr(19, 4), text.substr(24, 12)};
  size_t index = 0;
  for (auto part : tail) {
    for (size_t i = 0; i < part.size(); i += 2) {
      auto byte = ParseHex(part.substr(i, 2));
      if (!byte)
        return std::nullopt;
      guid.Data4[index++] = static_cast<uint8_t>(*byte);
    }
  }
  return guid;
}

UsbIdList ParseUsbIdList(std::string_view text) {
  UsbIdList list;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view entry = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (entry.empty())
      continue;
    const size_t colon = entry.find(':');
    std::optional<uint32_t> vendor, product;
    if (colon != std::string_view::npos && colon <= 4 && entry.size() - colon - 1 <= 4) {
      vendor = ParseHex(entry.substr(0, colon));
      product = ParseHex(entry.substr(colon + 1));
    }
    if (vendor && product) {
      list.Ids.push_back({static_cast<uint16_t>(*vendor), static_cast<uint16_t>(*product)});
    } else {
      list.Rejected.emplace_back(entry);
    }
  }
  return list;
}

}  // namespace TarvisUSBInterface::MsOs
