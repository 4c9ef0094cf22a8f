// Shared pieces of the scan and command-line tests: generated Velk files and
// a display that records what a job shows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "scan/display.h"
#include "scan/filecheck.h"
#include "stream/testfiles.h"
#include "velkgen/generator.h"

namespace velkscan::test {

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

inline gen::GeneratedStream MakeBroken(uint32_t version, uint32_t frames, uint32_t brokenAt, uint64_t seed,
                                       gen::TagKind tag = gen::TagKind::None) {
  gen::GeneratedStream stream = MakeStream(version, frames, seed, tag);
  BreakFrame(stream, brokenAt);
  return stream;
}

// A display that keeps what it was asked to show. The worker calls it from
// its thread; the hooks run there too (a hook may call the job's RequestStop:
// that is a Stop between two frames). Set the hooks while no job runs.
class RecordingDisplay : public ScanDisplay {
 public:
  struct FileRecord {
    FileOutcome outcome;
    Text path;
  };
  struct State {
    Text report, box, button;
    bool enabled = false, drops = false;
    std::vector<uint32_t> progress;
    std::vector<std::string> events;  // in order: "report", "message:...", "button:...", ...
    std::vector<FileRecord> files;
  };

  void ShowReport(TextView report) override {
    Change([&](State& s) { s.report = s.box = Text(report), s.events.push_back("report"); }, onReport);
  }
  void ShowMessage(TextView text) override {
    Change([&](State& s) { s.box = Text(text), s.events.push_back("message:" + Narrow(text)); });
  }
  void SetProgress(uint32_t position) override {
    Change([&](State& s) { s.progress.push_back(position); }, onProgress);
  }
  void SetButtonText(TextView text) override {
    Change([&](State& s) { s.button = Text(text), s.events.push_back("button:" + Narrow(text)); });
  }
  void EnableButton(bool enabled) override {
    Change([&](State& s) { s.enabled = enabled, s.events.push_back(enabled ? "enable" : "disable"); });
  }
  void FocusButton() override {
    Change([&](State& s) { s.events.push_back("focus"); });
  }
  void AcceptDrops(bool accept) override {
    Change([&](State& s) { s.drops = accept, s.events.push_back(accept ? "drops:on" : "drops:off"); });
  }
  void FileReported(const FileOutcome& outcome, TextView path) override {
    Change([&](State& s) { s.files.push_back(FileRecord{outcome, Text(path)}); });
  }

  std::function<void()> onReport, onProgress;

  State state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
  }
  Text report() const { return state().report; }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.events.clear();
  }

 private:
  static std::string Narrow(TextView text) { return std::string(text.begin(), text.end()); }
  template <typename F>
  void Change(F change, const std::function<void()>& hook = nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change(state_);
    }
    if (hook) hook();
  }

  mutable std::mutex mutex_;
  State state_;
};

}  // namespace velkscan::test
