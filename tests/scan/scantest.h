// Shared pieces of the scan and command-line tests: a scratch directory per
// test, whole-file helpers, generated Velk files, and a display that records
// what a job shows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text.h"
#include "scan/display.h"
#include "scan/filecheck.h"
#include "velkgen/generator.h"

namespace velkscan::test {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

inline Text ToText(const fs::path& path) {
  return path.string<Char>();
}

// A fresh directory named after the running test, removed afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix = "scan_") {
    const char* base = std::getenv("VELKSCAN_TEST_TMP");
    const fs::path root = base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = prefix;
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
  fs::path operator/(const fs::path& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline void WriteBytes(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint32_t WordAt(const Bytes& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

inline void PutWordAt(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A valid stream of the given version; sample rate 44100 for version 7.
inline gen::GeneratedStream MakeStream(uint32_t version, uint32_t frames, uint64_t seed,
                                       gen::TagKind tag = gen::TagKind::None) {
  gen::StreamOptions options;
  options.streamVersion = version;
  options.frameCount = frames;
  options.seed = seed;
  options.tag = tag;
  options.sampleRateIndex = 0;
  return gen::GenerateStream(options);
}

// Flips a bit of frame k's length field: frames 0..k-1 pass, frame k fails.
inline void BreakFrame(gen::GeneratedStream& stream, uint32_t k) {
  const uint64_t bit = stream.frames.at(k).lengthFieldBit + 10;
  gen::FlipBit(stream.bytes, stream.ByteOfBit(bit), gen::GeneratedStream::BitInByte(bit));
}

// A display that keeps what it was asked to show. The worker calls it from
// its thread; hooks run there too (a hook may set the job's idle flag: that
// is a Stop between two frames).
class RecordingDisplay : public ScanDisplay {
 public:
  struct FileRecord {
    FileOutcome outcome;
    Text path;
  };

  void ShowReport(TextView report) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      report_ = Text(report);
      box_ = report_;
      events_.push_back("report");
      ++reportCalls_;
      hook = onReport;
    }
    if (hook) hook();
  }
  void ShowMessage(TextView text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    box_ = Text(text);
    events_.push_back("message:" + std::string(text.begin(), text.end()));
  }
  void SetProgress(uint32_t position) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      progress_.push_back(position);
      hook = onProgress;
    }
    if (hook) hook();
  }
  void SetButtonText(TextView text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    button_ = Text(text);
    events_.push_back("button:" + std::string(text.begin(), text.end()));
  }
  void EnableButton(bool enabled) override {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = enabled;
    events_.push_back(enabled ? "enable" : "disable");
  }
  void FocusButton() override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("focus");
  }
  void AcceptDrops(bool accept) override {
    std::lock_guard<std::mutex> lock(mutex_);
    drops_ = accept;
    events_.push_back(accept ? "drops:on" : "drops:off");
  }
  void FileReported(const FileOutcome& outcome, TextView path) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      files_.push_back(FileRecord{outcome, Text(path)});
      hook = onFile;
    }
    if (hook) hook();
  }

  // Set before the job starts.
  std::function<void()> onReport;
  std::function<void()> onProgress;
  std::function<void()> onFile;

  Text report() const { return Locked(report_); }
  Text box() const { return Locked(box_); }
  Text button() const { return Locked(button_); }
  bool enabled() const { return Locked(enabled_); }
  bool drops() const { return Locked(drops_); }
  std::vector<uint32_t> progress() const { return Locked(progress_); }
  std::vector<std::string> events() const { return Locked(events_); }
  std::vector<FileRecord> files() const { return Locked(files_); }
  int reportCalls() const { return Locked(reportCalls_); }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  template <class T>
  T Locked(const T& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  Text report_;
  Text box_;
  Text button_;
  bool enabled_ = false;
  bool drops_ = false;
  int reportCalls_ = 0;
  std::vector<uint32_t> progress_;
  std::vector<std::string> events_;
  std::vector<FileRecord> files_;
};

}  // namespace velkscan::test
