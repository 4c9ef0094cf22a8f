// The report text of a scan job, its fixed texts, the time of play and the
// progress percentage.
//
// Every line ends in "\r\n": the report box of the window shows the text as
// it is, and the terminal turns the line ends into "\n".
#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/text.h"
#include "scan/filelist.h"
#include "scan/textformat.h"
#include "stream/streaminfo.h"

namespace velkscan {

// Texts of the report box that do not belong to a report.
inline constexpr const Char* kPromptText = VTEXT("Drag and drop files/directories you want to scan...");
inline constexpr const Char* kScanButtonText = VTEXT("Scan");
inline constexpr const Char* kStopButtonText = VTEXT("Stop");

// Problem lines.
inline constexpr const Char* kOpenFailedLine = VTEXT("%s: file open failed.\r\n");
inline constexpr const Char* kUnrecognizedLine = VTEXT("%s: unrecognized format (%u).\r\n");
inline constexpr const Char* kSeparatorLine = VTEXT("----------\r\n");
inline constexpr const Char* kId3Line = VTEXT("%s: invalid Velk, contains ID3v2 tag!\r\n");
inline constexpr const Char* kBrokenLine = VTEXT("%s: broken after frame %u/%u (%s)\r\n");
// A read failed part-way: what was checked passed, the rest is unknown, and
// the file is left as it is.
inline constexpr const Char* kReadErrorLine =
    VTEXT("%s: read error after frame %u/%u (%s), not repaired.\r\n");
// After a broken line, when the header was not rewritten.
inline constexpr const Char* kRepairFailedLine = VTEXT("%s: repair failed (%s).\r\n");
inline constexpr const Char* kNotRepairedLine = VTEXT("%s: not repaired (read-only).\r\n");
// The path no longer names the file that was checked, or its size or header
// changed meanwhile: the header is left as it is.
inline constexpr const Char* kChangedLine = VTEXT("%s: not repaired (file changed during the check).\r\n");
inline constexpr const Char* kJournalFailedReason = VTEXT("journal not written");
inline constexpr const Char* kWriteFailedReason = VTEXT("header not written");
// A file not read because it is unchanged since a remembered check: the
// date of that check (local "YYYY-MM-DD HH:MM") and its result, one of the
// three below.
inline constexpr const Char* kUnchangedLine = VTEXT("%s: unchanged since the check of %s, %s.\r\n");
inline constexpr const Char* kRecalledWhole = VTEXT("no errors found");
inline constexpr const Char* kRecalledBroken = VTEXT("broken after frame %u/%u (%s)");
inline constexpr const Char* kRecalledUnrecognized = VTEXT("unrecognized format");
// At the start of a report: a path whose files the scan will not check.
inline constexpr const Char* kNotCheckedLine = VTEXT("%s: not checked (%s).\r\n");
// Names handed over during a scan: how many files they added to it ("file"
// or "files"); their paths not checked come before it.
inline constexpr const Char* kJoinedLine = VTEXT("%u %s joined the scan.\r\n");
// The last line of a stopped job's report, where it is kept: files reported
// of the files listed.
inline constexpr const Char* kStoppedLine = VTEXT("Stopped after %u of %u files.\r\n");

constexpr const Char* NotCheckedReasonText(NotCheckedReason reason) {
  switch (reason) {
    case NotCheckedReason::kTooLong:
      return VTEXT("path too long");
    case NotCheckedReason::kMissing:
      return VTEXT("no such file or folder");
    case NotCheckedReason::kUnreadableFolder:
      return VTEXT("folder cannot be read");
    case NotCheckedReason::kBusy:
      return VTEXT("a scan was running");
    case NotCheckedReason::kNotInCodePage:
      return VTEXT("its name is not in this program's code page");
    case NotCheckedReason::kLinkNowhere:
      return VTEXT("link leads nowhere");
    case NotCheckedReason::kOtherFileSystem:
      return VTEXT("another file system");
    case NotCheckedReason::kUnknownType:
      break;
  }
  return VTEXT("type cannot be read");
}

// The number an "unrecognized format" line shows for a header's cause.
constexpr uint32_t UnrecognizedCode(HeaderResult result) {
  switch (result) {
    case HeaderResult::kOk:
      return 0;
    case HeaderResult::kBadTag:
    case HeaderResult::kVkqLayoutUnknown:
    case HeaderResult::kOlderVersion7:
    case HeaderResult::kVersionUnchecked:
      return 1;
    case HeaderResult::kSeekFailed:
    case HeaderResult::kNineBitField:
      return 2;
    case HeaderResult::kShortMagic:
    case HeaderResult::kSecondStereo:
      return 3;
    case HeaderResult::kBlockField:
      return 4;
    case HeaderResult::kVersionUnknown:
      return 5;
    case HeaderResult::kMaxBandTooHigh:
      return 6;
    case HeaderResult::kReadFailed:
      break;
  }
  return 0xFFFFFFFFu;  // -1 shown unsigned
}

// Characters reserved per listed file, and once, when a report starts. The
// text grows past them when a line would not fit (long paths).
inline constexpr uint64_t kReportCharsPerFile = 388;
inline constexpr uint64_t kReportCharsExtra = 256;

struct ReportBuffer {
  Text text;

  // Empties the text and reserves room for a job of fileCount files (up to a
  // sane limit; it grows beyond). Throws std::bad_alloc.
  void Allocate(uint32_t fileCount);
  // "Scanning %u file", "s" unless the count is 1, "...\r\n".
  void StartReport(uint32_t fileCount);
  void AppendReport(TextView format, std::initializer_list<FormatArg> args) {
    AppendFormat(text, format, args);
  }
  // The separator, then "Scanned %u file", "s" unless 1, " (%u unchanged)"
  // when some were not read, and the error part.
  void AppendSummary(uint32_t fileCount, uint32_t errorFiles, uint32_t unchanged = 0);
};

// "%u file", "s" unless the count is 1, " waiting for scanning...".
Text QueuedCountText(uint32_t fileCount);

// "YYYY-MM-DD HH:MM" of a time in seconds since 1970, in local time.
Text LocalDateText(int64_t secondsSince1970);

// "%02u:%02u:%02u" with hours, otherwise "%02u:%02u".
Text FormatTime(uint32_t hours, uint32_t minutes, uint32_t seconds);

// Whole seconds of play of goodFrames frames of 1152 samples: the sample
// count is a 32-bit product, a division without a finite result (rate 0)
// gives 0, and the low 32 bits of the truncated quotient are kept.
uint32_t PlaySeconds(uint32_t goodFrames, double sampleRate);

// FormatTime of PlaySeconds, split into hours, minutes and seconds.
Text PlayTimeText(uint32_t goodFrames, double sampleRate);

// (bytes * 100) / totalBytes in unsigned 64-bit arithmetic, low 32 bits.
// totalBytes must not be 0.
inline uint32_t ProgressPercent(uint64_t bytes, uint64_t totalBytes) {
  return static_cast<uint32_t>(bytes * 100 / totalBytes);
}

}  // namespace velkscan
