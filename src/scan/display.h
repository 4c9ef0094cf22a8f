// What a scan job shows, and the one interface through which it shows it.
//
// Every front end (the Qt window, the Windows dialogs, the terminal)
// implements ScanDisplay; the job calls it from the worker thread while a
// scan runs and from the front end's own thread otherwise. A window carries
// each change over to its own thread without waiting for it (the front end's
// thread may be waiting for the worker at Stop), so texts are passed as
// views valid only during the call: copy what you keep.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/text.h"

namespace velkscan {

struct FileOutcome;
enum class NotCheckedReason;

// Figures for a progress line (scan/progress.h).
struct JobFigures {
  uint32_t filesDone = 0;     // files finished and reported
  uint32_t fileCount = 0;     // files in the job
  uint64_t bytesChecked = 0;  // bytes of the finished files plus bytes read so far of the open ones
  uint64_t totalBytes = 0;    // sizes of the listed files when they were added
  uint64_t bytesSkipped = 0;  // of those, the sizes of the files recalled as unchanged, not read
  TextView fileInHand;        // the path of the oldest file not yet reported; empty when none
};

class ScanDisplay {
 public:
  virtual ~ScanDisplay() = default;

  // A new job's report begins: the next ShowReport starts a new text.
  virtual void BeginReport() {}
  // The report box shows the whole report of the current job. Within a job
  // the text only grows, so a display need only take what lies past the
  // text it has already: a report is many megabytes, and this comes once a
  // line.
  virtual void ShowReport(TextView report) = 0;
  // The report box shows one of the window's own texts instead: the prompt,
  // or the number of files waiting.
  virtual void ShowMessage(TextView text) = 0;
  // The progress bar's position, 0 to 100.
  virtual void SetProgress(uint32_t position) = 0;
  // The button's caption: "Scan" or "Stop".
  virtual void SetButtonText(TextView text) = 0;
  virtual void EnableButton(bool enabled) = 0;
  // The button takes the keyboard focus (after it was enabled for new files).
  virtual void FocusButton() {}
  // Whether files dropped on the window are taken (only while idle).
  virtual void AcceptDrops(bool accept) = 0;

  // Optional, for front ends that want more than the window shows.
  // A file's lines have been written (in list order; path as listed).
  virtual void FileReported(const FileOutcome& /*outcome*/, TextView /*path*/) {}
  // At the start of a job, for each path its report says is not checked
  // (path as listed).
  virtual void PathNotChecked(TextView /*path*/, NotCheckedReason /*reason*/) {}
  // A few times a second while a job runs.
  virtual void ShowFigures(const JobFigures& /*figures*/) {}
};

// The display of a window whose controls belong to another thread than the
// worker's. A call only records the change under a lock (of a report only
// its new end: the report grows a line at a time to many megabytes) and,
// when no request is on its way, asks the window once (RequestApply) to
// come and take everything recorded (TakeChanges). So the window's work is
// proportional to what changed, and it decides itself how often to take:
// a few times a second during a scan, at once for the button's changes and
// the box's messages (urgentWaiting). Nothing here waits for the window: at
// Stop the window's thread waits for the worker.
class WindowDisplay : public ScanDisplay {
 public:
  // What the window carries out in one go, in this order: the box's text
  // replaced or appended to, the bar, the button, drops.
  struct Changes {
    bool boxChanged = false;
    bool replaceBox = false;  // boxText replaces the box's text; otherwise it is appended
    bool boxIsReport = false;
    Text boxText;
    std::optional<uint32_t> progress;
    std::optional<Text> buttonText;
    std::optional<bool> buttonEnabled;
    bool focusButton = false;
    std::optional<bool> acceptDrops;
    // The progress line under the report (ProgressLineText), and the file in
    // hand with it; empty when the box shows a message.
    std::optional<std::string> figuresLine;
    Text fileInHand;
  };

  void BeginReport() final;
  void ShowReport(TextView report) final;
  void ShowMessage(TextView text) final;
  void SetProgress(uint32_t position) final;
  void SetButtonText(TextView text) final;
  void EnableButton(bool enabled) final;
  void FocusButton() final;
  void AcceptDrops(bool accept) final;
  void ShowFigures(const JobFigures& figures) final;

  // The window's thread: everything recorded since the last call. A change
  // recorded afterwards asks again.
  Changes TakeChanges();
  // Whether a change that should not wait for the interval is recorded.
  bool urgentWaiting();

 protected:
  // Called on the thread that made the change, without the lock: once per
  // TakeChanges, and once more when an urgent change follows. Must not wait
  // for the window's thread. Returns false when the request could not be
  // made (the next change tries again).
  virtual bool RequestApply() = 0;

 private:
  template <typename Record>
  void Change(bool urgent, Record record);

  std::mutex mutex_;
  Changes pending_;               // guarded by mutex_, as is everything below
  bool requested_ = false;        // a request is on its way
  bool requestedUrgent_ = false;  // ... made for an urgent change
  bool urgent_ = false;           // an urgent change is recorded
  bool boxHoldsReport_ = false;   // the box (with what is recorded) shows the current report
  std::size_t reportTaken_ = 0;   // characters of the current report recorded so far
  std::chrono::steady_clock::time_point jobStart_{};  // the speed is measured from here
};

}  // namespace velkscan
