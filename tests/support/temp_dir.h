// A temporary directory for one test, removed with everything in it when
// the test ends. Paths are GBK byte strings like every path of the program.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "platform/files.h"
#include "platform/text.h"

namespace tavin::test {

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path candidate = base / ("tavin-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        root_ = candidate;
        break;
      }
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory itself, and a name inside it, as GBK text.
  std::string path() const { return platform::wideToGbk(root_.wstring()); }
  std::string path(const std::string& name) const {
    return path() + platform::pathSeparator() + name;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace tavin::test
