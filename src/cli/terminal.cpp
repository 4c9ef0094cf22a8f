#include "cli/terminal.h"

#include <nlohmann/json.hpp>

#include "cli/journal.h"
#include "scan/filecheck.h"
#include "scan/report.h"

namespace velkscan::cli {

namespace {

const char* StatusName(FileStatus status) {
  switch (status) {
    case FileStatus::kOk:
      return "ok";
    case FileStatus::kBroken:
      return "broken";
    case FileStatus::kOpenFailed:
      return "open-failed";
    case FileStatus::kUnrecognized:
      return "unrecognized";
    case FileStatus::kReadError:
      return "read-error";
    case FileStatus::kStopped:
      break;
  }
  return "stopped";
}

std::string Dump(const nlohmann::ordered_json& object) {
  // File names need not be UTF-8; bytes that are not become U+FFFD.
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string Clock(uint64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return text;
}

}  // namespace

TerminalDisplay::TerminalDisplay(std::FILE* out, std::FILE* err, const TerminalOptions& options)
    : out_(out), err_(err), options_(options), start_(std::chrono::steady_clock::now()) {}

void TerminalDisplay::Write(const std::string& text) {
  if (outputFailed_) return;
  ClearProgressLine();
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
    outputFailed_ = true;
    if (onOutputFailed != nullptr) onOutputFailed();
  }
}

void TerminalDisplay::ShowReport(TextView report) {
  if (options_.json) return;
  if (report.size() < printed_) printed_ = 0;  // a new report
  std::string text;
  for (std::size_t i = printed_; i < report.size(); ++i) {
    if (report[i] == '\r' && i + 1 < report.size() && report[i + 1] == '\n') continue;
    text += static_cast<char>(report[i]);
  }
  printed_ = report.size();
  if (!text.empty()) Write(text);
}

void TerminalDisplay::FileReported(const FileOutcome& outcome, TextView path) {
  switch (outcome.status) {
    case FileStatus::kOk:
      ++ok_;
      break;
    case FileStatus::kBroken:
      ++broken_;
      damaged_ = true;
      break;
    case FileStatus::kUnrecognized:
      ++unrecognized_;
      damaged_ = true;
      break;
    case FileStatus::kOpenFailed:
      ++openFailures_;
      openFailed_ = true;
      break;
    case FileStatus::kReadError:
      // Could not be checked to the end: exit status 3 unless something
      // was found broken as well.
      openFailed_ = true;
      break;
    case FileStatus::kStopped:
      break;
  }
  if (outcome.opened() && outcome.id3()) ++tagged_;
  const bool rewritten = outcome.rewriteRun && outcome.rewriteResult == 0;
  if (rewritten) ++repaired_;

  if (rewritten && outcome.headerBytesKnown && options_.journal != nullptr && !journalFailed_) {
    JournalEntry entry;
    entry.path = std::string(path);
    entry.offset = static_cast<uint32_t>(outcome.headerPos);
    std::copy(std::begin(outcome.headerBefore), std::end(outcome.headerBefore), entry.before);
    std::copy(std::begin(outcome.headerAfter), std::end(outcome.headerAfter), entry.after);
    const std::string line = FormatJournalLine(entry);
    if (std::fwrite(line.data(), 1, line.size(), options_.journal) != line.size() ||
        std::fflush(options_.journal) != 0) {
      journalFailed_ = true;
      ClearProgressLine();
      std::fprintf(err_, "velkscan-cli: cannot write the journal %s; later repairs are not in it\n",
                   options_.journalPath.c_str());
    }
  }

  std::string recoveryLines;
  nlohmann::ordered_json recoveryFields = nlohmann::ordered_json::object();
  if (recovery != nullptr) RecoverFile(*recovery, outcome, std::string(path), recoveryLines, recoveryFields);
  if (!options_.json) {
    if (!recoveryLines.empty()) Write(recoveryLines);
    return;
  }
  using json = nlohmann::ordered_json;
  json object = {{"type", "file"}, {"path", std::string(path)}, {"status", StatusName(outcome.status)}};
  const bool opened = outcome.opened();
  object["code"] = outcome.status == FileStatus::kOpenFailed
                       ? json(nullptr)
                       : json(static_cast<uint32_t>(outcome.headerCode));
  object["goodFrames"] = opened ? json(outcome.goodFrames) : json(nullptr);
  object["declaredFrames"] = opened ? json(outcome.declaredFrames) : json(nullptr);
  object["playSeconds"] = opened ? json(PlaySeconds(outcome.goodFrames, outcome.sampleRate)) : json(nullptr);
  object["failOffset"] = outcome.failOffsetKnown ? json(outcome.failOffset) : json(nullptr);
  object["id3v2"] = outcome.status == FileStatus::kOpenFailed ? json(nullptr) : json(outcome.headerPos > 0);
  object["headerRewritten"] = outcome.rewriteRun;
  object["rewriteOk"] = outcome.rewriteRun ? json(outcome.rewriteResult == 0) : json(nullptr);
  for (const auto& [key, value] : recoveryFields.items()) object[key] = value;
  Write(Dump(object));
}

void TerminalDisplay::ClearProgressLine() {
  if (!progressShown_) return;
  std::fputs("\r\x1b[K", err_);
  std::fflush(err_);
  progressShown_ = false;
}

void TerminalDisplay::ShowFigures(const JobFigures& figures) {
  if (!options_.progress) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double megabyte = 1024.0 * 1024.0;
  const double rate = elapsed > 0 ? static_cast<double>(figures.bytesChecked) / megabyte / elapsed : 0;
  std::string left = "--:--";
  if (rate > 0 && figures.totalBytes >= figures.bytesChecked) {
    const double seconds = static_cast<double>(figures.totalBytes - figures.bytesChecked) / megabyte / rate;
    left = Clock(static_cast<uint64_t>(seconds));
  }
  std::fprintf(err_, "\r%u/%u files, %.1f/%.1f MB, %.1f MB/s, %s left\x1b[K", figures.filesDone,
               figures.fileCount, static_cast<double>(figures.bytesChecked) / megabyte,
               static_cast<double>(figures.totalBytes) / megabyte, rate, left.c_str());
  std::fflush(err_);
  progressShown_ = true;
}

void TerminalDisplay::Finish(bool ended, uint32_t fileCount, uint32_t errorFiles) {
  ClearProgressLine();
  if (!ended || !options_.json) return;
  Write(Dump({{"type", "summary"},
              {"files", fileCount},
              {"errors", errorFiles},
              {"ok", ok_},
              {"broken", broken_},
              {"unrecognized", unrecognized_},
              {"openFailed", openFailures_},
              {"id3v2", tagged_},
              {"repaired", repaired_}}));
}

}  // namespace velkscan::cli
