#include "TempFile.h"

#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>

namespace NuvikCli {

TempFile::TempFile(std::filesystem::path target) : target_(std::move(target)) {
  // Hidden, in the same directory (so the rename stays on one file system), and
  // unique per process and call.
  static std::atomic<unsigned> counter{0};
  const std::string name = "." + target_.filename().string() + ".part-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  temp_ = target_.parent_path() / name;
}

TempFile::~TempFile() {
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temp_, ignored);
  }
}

void TempFile::Commit() {
  std::error_code error;
  std::filesystem::rename(temp_, target_, error);
  if (error) {
    throw std::runtime_error("cannot rename " + temp_.string() + " to " + target_.string() + ": " +
                             error.message());
  }
  committed_ = true;
}

}  // namespace NuvikCli
