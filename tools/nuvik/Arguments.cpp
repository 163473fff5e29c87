#include "Arguments.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <vector>

namespace NuvikCli {

namespace {

// A whole decimal number with nothing before or after it.
bool ParseInt(std::string_view text, int32_t& value) {
  if (text.empty()) {
    return false;
  }
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) {
      return parts;
    }
    start = at + 1;
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::string FormatNumber(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

}  // namespace

Binning ParseBinning(std::string_view text) {
  const std::string lower = Lower(text);
  const auto parts = Split(lower, 'x');
  Binning bin;
  bool ok = false;
  if (parts.size() == 1) {
    ok = ParseInt(parts[0], bin.X);
    bin.Y = bin.X;
  } else if (parts.size() == 2) {
    ok = ParseInt(parts[0], bin.X) && ParseInt(parts[1], bin.Y);
  }
  if (!ok) {
    throw UsageError("--bin '" + std::string(text) + "': expected a factor such as 2, or XxY such as 2x1");
  }
  if (bin.X < 1 || bin.Y < 1) {
    throw UsageError("--bin '" + std::string(text) + "': binning factors must be at least 1");
  }
  return bin;
}

Subframe ParseSubframe(std::string_view text) {
  const auto parts = Split(text, ',');
  Subframe f;
  if (parts.size() != 4 || !ParseInt(parts[0], f.X) || !ParseInt(parts[1], f.Y) ||
      !ParseInt(parts[2], f.Width) || !ParseInt(parts[3], f.Height)) {
    throw UsageError("--subframe '" + std::string(text) +
                     "': expected X,Y,WIDTH,HEIGHT in binned pixels, for example 100,50,320,240");
  }
  if (f.X < 0 || f.Y < 0) {
    throw UsageError("--subframe '" + std::string(text) + "': the origin must not be negative");
  }
  if (f.Width < 1 || f.Height < 1) {
    throw UsageError("--subframe '" + std::string(text) + "': width and height must be at least 1");
  }
  return f;
}

int32_t ExposureMilliseconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0.0) {
    throw UsageError("--exposure " + FormatNumber(seconds) + ": the exposure time must be 0 or more seconds");
  }
  const double ms = std::round(seconds * 1000.0);
  if (ms > static_cast<double>(MaxExposureMs)) {
    throw UsageError("--exposure " + FormatNumber(seconds) + ": the camera takes at most " +
                     FormatNumber(static_cast<double>(MaxExposureMs) / 1000.0) + " s per exposure");
  }
  return static_cast<int32_t>(ms);
}

FrameType ParseFrameType(std::string_view text) {
  const std::string t = Lower(text);
  if (t == "light") {
    return FrameType::Light;
  }
  if (t == "dark") {
    return FrameType::Dark;
  }
  if (t == "bias") {
    return FrameType::Bias;
  }
  if (t == "flat") {
    return FrameType::Flat;
  }
  throw UsageError("--type '" + std::string(text) + "': expected light, dark, bias or flat");
}

const char* ImageTypeName(FrameType type) {
  switch (type) {
    case FrameType::Light:
      return "Light Frame";
    case FrameType::Dark:
      return "Dark Frame";
    case FrameType::Bias:
      return "Bias Frame";
    case FrameType::Flat:
      return "Flat Frame";
  }
  return "Light Frame";
}

const char* FrameTypeWord(FrameType type) {
  switch (type) {
    case FrameType::Light:
      return "light";
    case FrameType::Dark:
      return "dark";
    case FrameType::Bias:
      return "bias";
    case FrameType::Flat:
      return "flat";
  }
  return "light";
}

void CheckSetPoint(double celsius) {
  if (!std::isfinite(celsius) || celsius < MinSetPoint || celsius > MaxSetPoint) {
    throw UsageError("set point " + FormatNumber(celsius) + " C is out of range: the cooler regulates from " +
                     FormatNumber(MinSetPoint) + " to " + FormatNumber(MaxSetPoint) + " C");
  }
}

void CheckBinning(const Binning& bin, int32_t maxBinX, int32_t maxBinY, bool canAsymmetricBin) {
  const std::string given = std::to_string(bin.X) + "x" + std::to_string(bin.Y);
  if (bin.X > maxBinX || bin.Y > maxBinY) {
    throw UsageError("--bin " + given + ": this camera bins at most " + std::to_string(maxBinX) + "x" +
                     std::to_string(maxBinY));
  }
  if (bin.X != bin.Y && !canAsymmetricBin) {
    throw UsageError("--bin " + given + ": this camera needs equal horizontal and vertical binning");
  }
}

void CheckSubframe(const Subframe& frame, const Binning& bin, int32_t sensorWidth, int32_t sensorHeight) {
  const int64_t w = sensorWidth / bin.X;
  const int64_t h = sensorHeight / bin.Y;
  if (static_cast<int64_t>(frame.X) + frame.Width > w || static_cast<int64_t>(frame.Y) + frame.Height > h) {
    throw UsageError("--subframe " + std::to_string(frame.X) + "," + std::to_string(frame.Y) + "," +
                     std::to_string(frame.Width) + "," + std::to_string(frame.Height) +
                     ": outside the sensor, which is " + std::to_string(w) + "x" + std::to_string(h) +
                     " pixels at binning " + std::to_string(bin.X) + "x" + std::to_string(bin.Y));
  }
}

GuideDirection ParseGuideDirection(std::string_view text) {
  const std::string t = Lower(text);
  if (t == "north" || t == "n") {
    return GuideDirection::North;
  }
  if (t == "south" || t == "s") {
    return GuideDirection::South;
  }
  if (t == "east" || t == "e") {
    return GuideDirection::East;
  }
  if (t == "west" || t == "w") {
    return GuideDirection::West;
  }
  throw UsageError("guide direction '" + std::string(text) + "': expected north, south, east or west");
}

void CheckGuideDuration(int32_t milliseconds) {
  if (milliseconds < 1 || milliseconds > MaxGuideMs) {
    throw UsageError("guide pulse of " + std::to_string(milliseconds) + " ms: expected 1 to " +
                     std::to_string(MaxGuideMs) + " ms");
  }
}

std::filesystem::path OutputPath(const std::string& output, const std::string& pattern, FrameType type,
                                 int32_t index, int32_t count, std::chrono::system_clock::time_point start,
                                 double exposureSeconds) {
  namespace fs = std::filesystem;
  char number[16];
  std::snprintf(number, sizeof number, "%04d", index);

  const bool toDirectory = output.empty() || output.back() == '/' || fs::is_directory(output);
  if (!toDirectory) {
    fs::path file(output);
    if (count > 1) {
      file.replace_filename(file.stem().string() + "-" + number + file.extension().string());
    }
    return file;
  }

  const std::time_t seconds = std::chrono::system_clock::to_time_t(start);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char date[32];
  std::strftime(date, sizeof date, "%Y%m%dT%H%M%S", &utc);

  if (count > 1 && pattern.find("{n}") == std::string::npos) {
    throw UsageError("--name '" + pattern + "': a series of " + std::to_string(count) +
                     " frames needs {n} in the name pattern");
  }
  std::string name;
  for (size_t i = 0; i < pattern.size();) {
    auto field = [&](std::string_view key) { return pattern.compare(i, key.size(), key) == 0; };
    if (field("{type}")) {
      name += FrameTypeWord(type);
      i += 6;
    } else if (field("{n}")) {
      name += number;
      i += 3;
    } else if (field("{date}")) {
      name += date;
      i += 6;
    } else if (field("{exp}")) {
      name += FormatNumber(exposureSeconds) + "s";
      i += 5;
    } else {
      name += pattern[i++];
    }
  }
  if (name.empty() || name.find('/') != std::string::npos) {
    throw UsageError("--name '" + pattern + "': the pattern must give a plain file name");
  }
  return (output.empty() ? fs::path(".") : fs::path(output)) / name;
}

}  // namespace NuvikCli
