// Shared pieces of the stream tests: a scratch directory per test, whole-file
// helpers, and byte builders for both header layouts and the ID3v2 tag
// header (written here by hand, independently of the generator).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text.h"

namespace velkscan::test {

using Bytes = std::vector<uint8_t>;

inline Text ToText(const std::filesystem::path& path) {
  return path.string<Char>();
}

// A fresh directory named after the running test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("VELKSCAN_TEST_TMP");
    std::filesystem::path root = base != nullptr && *base != '\0' ? std::filesystem::path(base)
                                                                  : std::filesystem::temp_directory_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "stream_";
    if (info != nullptr) name += std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/' || c == '\\' || c == ':') c = '_';
    }
    path_ = root / name;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const char* name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline Bytes ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void PutWord(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t WordAt(const Bytes& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// Bytes that stand for frame data: a fixed, non-repeating pattern.
inline Bytes FrameData(size_t count, uint32_t seed = 1) {
  Bytes out(count);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

// The version-7 header block: 32 bytes, words 6 (low 24 bits) and 7 being
// the first frame data.
struct Sv7Header {
  uint8_t versionByte = 0x07;
  uint32_t frameCount = 100;
  uint32_t midSide = 0;
  uint32_t maxBand = 27;
  uint32_t profileIndex = 10;
  uint32_t sampleRateIndex = 0;
  uint32_t maxLevel = 0;
  uint16_t firstGain = 0;
  uint16_t firstPeak = 0x1234;
  uint16_t secondGain = 0;
  uint16_t secondPeak = 0x2345;
  uint32_t word5Flag = 0;
  uint32_t lastFrameLength = 0;
  uint32_t encoderVersion = 110;
  uint32_t word6Low = 0x00ABCDEF;  // frame data sharing word 6
  uint32_t word7 = 0x13579BDF;

  Bytes Build() const {
    Bytes out = {'V', 'K', 'Q', versionByte};
    PutWord(out, frameCount);
    PutWord(out, (midSide & 1) << 30 | (maxBand & 0x3F) << 24 | (profileIndex & 0xF) << 20 |
                     (sampleRateIndex & 3) << 16 | (maxLevel & 0xFFFF));
    PutWord(out, static_cast<uint32_t>(firstGain) << 16 | firstPeak);
    PutWord(out, static_cast<uint32_t>(secondGain) << 16 | secondPeak);
    PutWord(out, (word5Flag & 1) << 31 | (lastFrameLength & 0x7FF) << 20 | 0x000ACE);
    PutWord(out, (encoderVersion & 0xFF) << 24 | (word6Low & 0xFFFFFF));
    PutWord(out, word7);
    return out;
  }
};

// The older layout (versions 4 to 6): word 0 packs the fields, word 1 holds
// the stored count (version 4: its upper half), words 2 to 7 frame data.
struct Sv46Header {
  uint32_t nineBitField = 0;
  uint32_t secondStereo = 0;
  uint32_t midSide = 1;
  uint32_t streamVersion = 6;
  uint32_t maxBand = 21;
  uint32_t blockField = 1;
  uint32_t word1 = 100;

  uint32_t Word0() const {
    return (nineBitField & 0x1FF) << 23 | (secondStereo & 1) << 22 | (midSide & 1) << 21 |
           (streamVersion & 0x3FF) << 11 | (maxBand & 0x1F) << 6 | (blockField & 0x3F);
  }
  Bytes Build() const {
    Bytes out;
    PutWord(out, Word0());
    PutWord(out, word1);
    const Bytes rest = FrameData(24, 7);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  }
};

// An ID3v2 tag: its 10-byte header with the given flags and size bytes,
// followed by bodyLength filler bytes.
inline Bytes Id3Tag(uint8_t flags, const uint8_t (&size)[4], size_t bodyLength) {
  Bytes out = {'I', 'D', '3', 4, 0, flags, size[0], size[1], size[2], size[3]};
  out.insert(out.end(), bodyLength, 0x5A);
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace velkscan::test
