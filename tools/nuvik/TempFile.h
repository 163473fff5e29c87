#pragma once

// Files appear under their final name only once complete: the writer fills a
// temporary file next to the target, and Commit renames it over the target. A
// TempFile that is destroyed without Commit removes what it wrote.

#include <filesystem>

namespace NuvikCli {

class TempFile {
 public:
  explicit TempFile(std::filesystem::path target);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::filesystem::path& Path() const { return temp_; }
  // Renames the temporary file to the target. Throws std::runtime_error on failure.
  void Commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path temp_;
  bool committed_ = false;
};

}  // namespace NuvikCli
