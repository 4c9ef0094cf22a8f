#include "scan/report.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace velkscan {

namespace {

// Beyond this the reservation stops; the text still grows as needed.
constexpr uint64_t kMaxReservedChars = uint64_t{1} << 20;

void AppendPlural(Text& text, uint32_t count) {
  if (count != 1) text += VTEXT('s');
}

}  // namespace

void ReportBuffer::Allocate(uint32_t fileCount) {
  text = Text();
  const uint64_t capacity = kReportCharsPerFile * fileCount + kReportCharsExtra;
  text.reserve(static_cast<std::size_t>(std::min(capacity, kMaxReservedChars)));
}

void ReportBuffer::StartReport(uint32_t fileCount) {
  text.clear();
  AppendReport(VTEXT("Scanning %u file"), {fileCount});
  AppendPlural(text, fileCount);
  AppendReport(VTEXT("...\r\n"), {});
}

void ReportBuffer::AppendSummary(uint32_t fileCount, uint32_t errorFiles, uint32_t unchanged) {
  AppendReport(kSeparatorLine, {});
  AppendReport(VTEXT("Scanned %u file"), {fileCount});
  AppendPlural(text, fileCount);
  if (unchanged != 0) AppendReport(VTEXT(" (%u unchanged)"), {unchanged});
  if (errorFiles != 0) {
    AppendReport(VTEXT(", errors with %u.\r\n"), {errorFiles});
  } else {
    AppendReport(VTEXT(", no errors found.\r\n"), {});
  }
}

Text QueuedCountText(uint32_t fileCount) {
  Text text = FormatText(VTEXT("%u file"), {fileCount});
  AppendPlural(text, fileCount);
  text += VTEXT(" waiting for scanning...");
  return text;
}

Text LocalDateText(int64_t secondsSince1970) {
  const auto time = static_cast<std::time_t>(secondsSince1970);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &time);
#else
  localtime_r(&time, &local);
#endif
  return FormatText(VTEXT("%04u-%02u-%02u %02u:%02u"),
                    {static_cast<uint32_t>(local.tm_year + 1900), static_cast<uint32_t>(local.tm_mon + 1),
                     static_cast<uint32_t>(local.tm_mday), static_cast<uint32_t>(local.tm_hour),
                     static_cast<uint32_t>(local.tm_min)});
}

Text FormatTime(uint32_t hours, uint32_t minutes, uint32_t seconds) {
  if (hours != 0) return FormatText(VTEXT("%02u:%02u:%02u"), {hours, minutes, seconds});
  return FormatText(VTEXT("%02u:%02u"), {minutes, seconds});
}

uint32_t PlaySeconds(uint32_t goodFrames, double sampleRate) {
  const uint32_t samples = goodFrames * 1152u;
  const double seconds = std::trunc(static_cast<double>(samples) / sampleRate);
  if (!std::isfinite(seconds) || seconds < 0) return 0;
  return static_cast<uint32_t>(std::fmod(seconds, 4294967296.0));
}

Text PlayTimeText(uint32_t goodFrames, double sampleRate) {
  const uint32_t seconds = PlaySeconds(goodFrames, sampleRate);
  return FormatTime(seconds / 3600, (seconds / 60) % 60, seconds % 60);
}

}  // namespace velkscan
