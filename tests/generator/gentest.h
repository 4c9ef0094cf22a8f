// Shared pieces of the generator tests: a scratch directory per test, and
// the frame walk of the scan worker over a real file on disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "decoder/framedecoder.h"
#include "platform/text.h"
#include "stream/filestream.h"
#include "stream/streaminfo.h"
#include "velkgen/generator.h"

namespace velkscan::test {

namespace fs = std::filesystem;

inline Text ToText(const fs::path& path) {
  return path.string<Char>();
}

// A fresh directory named after the running test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("VELKSCAN_TEST_TMP");
    const fs::path root = base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "generator_";
    if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/' || c == '\\' || c == ':') c = '_';
    }
    path_ = root / name;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline gen::Bytes ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return gen::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a walk over one file saw.
struct Walk {
  bool opened = false;
  int32_t headerResult = -100;
  StreamInfo info{};
  int32_t frameOk = 0;
  uint32_t framesDecoded = 0;
  uint32_t lastResult = 0;
  std::vector<uint32_t> bitsAfterFrame;  // BitsConsumed after each frame that passed
};

// Walks a file as the scan worker does: header, decoder, then one frame per
// turn with the ring refilled after it, until a frame fails or none is left.
inline Walk WalkFile(const fs::path& path, bool reference) {
  Walk w;
  FileStream stream(OpenFileForScan(ToText(path), false));
  w.opened = stream.handle() != kInvalidHandle;
  if (!w.opened) return w;
  w.headerResult = ReadStreamHeader(w.info, stream);
  if (w.headerResult != 0) return w;
  auto decoder = std::make_unique<FrameDecoder>(stream);
  decoder->ResetDecoder();
  decoder->Configure(w.info);
  decoder->SeekFirstFrame();
  for (;;) {
    const uint32_t saved = decoder->wordIndex;
    w.lastResult = reference ? decoder->DecodeFrameReference() : decoder->DecodeFrame();
    decoder->RefillRing(saved);
    if (decoder->frameOk == 0 || w.lastResult == 0) break;
    w.bitsAfterFrame.push_back(decoder->BitsConsumed());
  }
  w.frameOk = decoder->frameOk;
  w.framesDecoded = decoder->framesDecoded;
  return w;
}

}  // namespace velkscan::test
