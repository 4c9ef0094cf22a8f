// What a scan job shows, and the one interface through which it shows it.
//
// Every front end (the Qt window, the Windows dialogs, the terminal)
// implements ScanDisplay; the job calls it from the worker thread while a
// scan runs and from the front end's own thread otherwise. A window carries
// each change over to its own thread without waiting for it (the front end's
// thread may be waiting for the worker at Stop), so texts are passed as
// views valid only during the call: copy what you keep.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace velkscan {

struct FileOutcome;

// Figures for a terminal's progress line.
struct JobFigures {
  uint32_t filesDone = 0;     // files finished and reported
  uint32_t fileCount = 0;     // files in the job
  uint64_t bytesChecked = 0;  // bytes of the finished files plus bytes read so far of the open ones
  uint64_t totalBytes = 0;    // sizes of the listed files when they were added
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
  // A few times a second while a job runs.
  virtual void ShowFigures(const JobFigures& /*figures*/) {}
};

}  // namespace velkscan
