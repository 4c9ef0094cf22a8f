// Files for tests on a real file system: a scratch directory per test, whole files in and
// out, little-endian words in bytes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>  // getpid, MinGW's too
#ifndef _WIN32
#include <signal.h>  // kill
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text.h"

namespace velkscan::test {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

inline Text ToText(const fs::path& path) {
  return path.string<Char>();
}

// A fresh directory named after the prefix, the running test, the process and a count (two builds or two
// directories of one test never share one, in /dev/shm either), under VELKSCAN_TEST_TMP (else the build's
// test-tmp); removed afterwards. Those a killed test program left are removed by the next of its name.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix = "") {
    const char* base = std::getenv("VELKSCAN_TEST_TMP");
#ifndef VELKSCAN_TEST_TMP_DEFAULT  // the Windows builds, whose runner sets VELKSCAN_TEST_TMP
#define VELKSCAN_TEST_TMP_DEFAULT fs::temp_directory_path()
#endif
    const fs::path root =
        base != nullptr && *base != '\0' ? fs::path(base) : fs::path(VELKSCAN_TEST_TMP_DEFAULT);
    std::string name = prefix;
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info())
      name += std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) c = c == '/' || c == '\\' || c == ':' ? '_' : c;
    static int made = 0;
    path_ = root / (name + "_" + std::to_string(getpid()) + "_" + std::to_string(made++));
    std::error_code ignored;
#ifndef _WIN32
    for (const auto& old : fs::directory_iterator(root, ignored)) {
      const std::string leaf = old.path().filename().string();
      char* end = nullptr;
      const long pid =
          leaf.rfind(name + "_", 0) == 0 ? std::strtol(leaf.c_str() + name.size() + 1, &end, 10) : 0;
      if (pid > 0 && *end == '_' && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        fs::remove_all(old.path(), ignored);
    }
#endif
    fs::remove_all(path_, ignored);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const {
    return path_;
  }
  fs::path operator/(const fs::path& name) const {
    return path_ / name;
  }

 private:
  fs::path path_;
};

// Replaces the file (its folders are made as needed).
inline void WriteBytes(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  Bytes bytes(size > 0 ? static_cast<size_t>(size) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline void PutWordAt(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace velkscan::test
