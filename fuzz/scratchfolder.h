// Fuzz targets whose input can make the file list walk folders run each
// input inside an empty scratch folder of their own. The fuzzer reads its
// corpus by paths relative to where it was started, so every input goes
// back there when it is done.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

class InScratchFolder {
 public:
  // folder: made on first use, with a few empty levels below it.
  explicit InScratchFolder(const char* folder) {
    static const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    home_ = home;
    const std::filesystem::path deepest = std::filesystem::path(folder) / "a/b/c";
    std::error_code error;
    std::filesystem::create_directories(deepest, error);
    inside_ = home_ >= 0 && chdir(deepest.c_str()) == 0;
  }
  ~InScratchFolder() {
    if (inside_ && fchdir(home_) != 0) std::abort();
  }
  InScratchFolder(const InScratchFolder&) = delete;
  InScratchFolder& operator=(const InScratchFolder&) = delete;

  bool inside() const { return inside_; }

 private:
  int home_ = -1;
  bool inside_ = false;
};
