#include "scan/progress.h"

#include <algorithm>
#include <cstdio>

namespace velkscan {

namespace {

std::string Clock(uint64_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(seconds / 60 % 60),
                static_cast<unsigned>(seconds % 60));
  // Hours only from the first on, as many digits as they take.
  return seconds >= 3600 ? std::to_string(seconds / 3600) + ":" + text : text;
}

}  // namespace

std::string ProgressLineText(const JobFigures& figures, double elapsedSeconds) {
  const double megabyte = 1024.0 * 1024.0;
  const double rate =
      elapsedSeconds > 0 ? static_cast<double>(figures.bytesChecked) / megabyte / elapsedSeconds : 0;
  // What is not read is not waited for.
  const uint64_t toRead = figures.totalBytes - std::min(figures.bytesSkipped, figures.totalBytes);
  std::string left = "--:--";
  if (rate > 0 && toRead >= figures.bytesChecked) {
    const double seconds = static_cast<double>(toRead - figures.bytesChecked) / megabyte / rate;
    left = Clock(static_cast<uint64_t>(seconds));
  }
  char text[160];
  std::snprintf(text, sizeof text, "%u/%u files, %.1f/%.1f MB, %.1f MB/s, %s left", figures.filesDone,
                figures.fileCount, static_cast<double>(figures.bytesChecked) / megabyte,
                static_cast<double>(toRead) / megabyte, rate, left.c_str());
  return text;
}

}  // namespace velkscan
