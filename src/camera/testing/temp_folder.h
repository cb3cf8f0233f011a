#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/file_util.h"

namespace korvane::testing {

// A fresh folder that stands in for the host executable's folder while it lives.
class TempHostFolder {
 public:
  TempHostFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tollivar-camera-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    SetHostExecutableFolderForTesting(path_);
  }
  ~TempHostFolder() {
    SetHostExecutableFolderForTesting("");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempHostFolder(const TempHostFolder&) = delete;
  TempHostFolder& operator=(const TempHostFolder&) = delete;

  const std::string& path() const { return path_; }

  void Write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << content;
  }

 private:
  std::string path_;
};

}  // namespace korvane::testing
