#pragma once

// Progress of exposures and downloads. On a terminal one line is redrawn in place
// with the phase, percent and time left; anywhere else (a pipe, a log file) nothing
// but whole lines is written, so logs carry no control characters.

#include <cstdio>
#include <string>

namespace NuvikCli {

class Progress {
 public:
  // `interactive`: redraw a status line on `out` (a terminal).
  Progress(std::FILE* out, bool interactive);
  ~Progress();

  // Shows `phase` at `fraction` (0..1) with `secondsLeft` to go. Terminal only.
  void Update(const std::string& phase, double fraction, double secondsLeft);
  // Removes the status line, if one is shown.
  void Clear();
  // Prints a whole line on `out`, after clearing the status line.
  void Line(const std::string& text);

  // The status line as Update draws it, without control characters.
  static std::string Format(const std::string& phase, double fraction, double secondsLeft);

 private:
  std::FILE* out_;
  bool interactive_;
  size_t shown_ = 0;  // characters of the status line on screen
};

}  // namespace NuvikCli
