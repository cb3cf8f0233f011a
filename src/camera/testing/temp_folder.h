#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "base/file_util.h"

namespace korvane::testing {

// A fresh folder that stands in for the host executable's folder while it lives.
class TempHostFolder {
 public:
  TempHostFolder() {
    // A new folder under a random name (the first name that did not exist yet).
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "tollivar-camera-%08x", static_cast<unsigned>(random()));
      std::error_code error;
      if (std::filesystem::create_directory(temp / name, error)) path_ = (temp / name).string();
    }
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
