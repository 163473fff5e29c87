#include "Progress.h"

#include <algorithm>
#include <cmath>

namespace NuvikCli {

Progress::Progress(std::FILE* out, bool interactive) : out_(out), interactive_(interactive) {}

Progress::~Progress() {
  Clear();
}

std::string Progress::Format(const std::string& phase, double fraction, double secondsLeft) {
  const double f = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
  const long left = std::lround(std::max(0.0, std::isfinite(secondsLeft) ? secondsLeft : 0.0));
  constexpr int barWidth = 24;
  const int filled = static_cast<int>(f * barWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(barWidth, '.');
  char text[160];
  if (left >= 60) {
    std::snprintf(text, sizeof text, "%-12s [%s] %3d%%  %ld:%02ld left", phase.c_str(), bar.c_str(),
                  static_cast<int>(f * 100.0), left / 60, left % 60);
  } else {
    std::snprintf(text, sizeof text, "%-12s [%s] %3d%%  %ld s left", phase.c_str(), bar.c_str(),
                  static_cast<int>(f * 100.0), left);
  }
  return text;
}

void Progress::Update(const std::string& phase, double fraction, double secondsLeft) {
  if (!interactive_) {
    return;
  }
  const std::string text = Format(phase, fraction, secondsLeft);
  // Pad over a longer previous line instead of relying on terminal erase sequences.
  std::string padded = text;
  if (padded.size() < shown_) {
    padded.resize(shown_, ' ');
  }
  std::fprintf(out_, "\r%s", padded.c_str());
  std::fflush(out_);
  shown_ = text.size();
}

void Progress::Clear() {
  if (!interactive_ || shown_ == 0) {
    return;
  }
  std::fprintf(out_, "\r%s\r", std::string(shown_, ' ').c_str());
  std::fflush(out_);
  shown_ = 0;
}

void Progress::Line(const std::string& text) {
  Clear();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

}  // namespace NuvikCli
