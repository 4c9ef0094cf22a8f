// A display that keeps what a scan job asked it to show. The worker calls it
// from its thread; the hooks run there too (a hook may call the job's
// RequestStop: that is a Stop between two frames). Set the hooks while no job runs.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "scan/display.h"
#include "scan/filecheck.h"
#include "scan/scanjob.h"

namespace velkscan::test {

// A job's settings but at normal priority: an idle worker waits for all else on the machine.
inline const ScanSettings kNormal{.idlePriority = false};

class RecordingDisplay : public ScanDisplay {
 public:
  struct State {
    Text report, box, button;
    bool enabled = false, drops = false;
    std::vector<uint32_t> progress;
    std::vector<std::string> events;  // in order: "report", "message:...", "button:...", ...
    std::vector<std::pair<FileOutcome, Text>> files;
    JobFigures figures;  // the last shown
  };

  void BeginReport() override {
    Change([&](State& s) { s.events.push_back("begin"); });
  }
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
  void EnableButton(bool on) override {
    Change([&](State& s) { s.enabled = on, s.events.push_back(on ? "enable" : "disable"); });
  }
  void FocusButton() override {
    Change([&](State& s) { s.events.push_back("focus"); });
  }
  void AcceptDrops(bool on) override {
    Change([&](State& s) { s.drops = on, s.events.push_back(on ? "drops:on" : "drops:off"); });
  }
  void ShowFigures(const JobFigures& figures) override {
    Change([&](State& s) { s.figures = figures; });
  }
  void FileReported(const FileOutcome& outcome, TextView path) override {
    Change([&](State& s) { s.files.emplace_back(outcome, Text(path)); });
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
