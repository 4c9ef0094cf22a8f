#include "cli/terminal.h"

#include <nlohmann/json.hpp>

#include "scan/filecheck.h"
#include "scan/progress.h"
#include "scan/report.h"

namespace velkscan::cli {

namespace {

std::string Dump(const nlohmann::ordered_json& object) {
  // File names need not be UTF-8; bytes that are not become U+FFFD (the
  // exact bytes are in "pathHex").
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Length of the UTF-8 sequence at text[i] (a shortest form, no surrogate,
// at most U+10FFFF), or 0 when the bytes there are not one.
std::size_t Utf8Length(TextView text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t length;
  uint32_t code;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2, code = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, code = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, code = b & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
      (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
    return 0;
  return length;
}

}  // namespace

bool IsUtf8(TextView text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8Length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Hex(TextView text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

namespace {

// Why a repair did not happen; null when it did or was not asked for.
const char* NotRepairedName(RepairOutcome repair) {
  switch (repair) {
    case RepairOutcome::kReadOnly:
      return "read-only";
    case RepairOutcome::kJournalFailed:
      return "journal-failed";
    case RepairOutcome::kWriteFailed:
      return "write-failed";
    case RepairOutcome::kChanged:
      return "changed";
    case RepairOutcome::kAlreadyRepaired:
      return "already-repaired";
    case RepairOutcome::kNone:
    case RepairOutcome::kRepaired:
      break;
  }
  return nullptr;
}

const char* NotCheckedName(NotCheckedReason reason) {
  switch (reason) {
    case NotCheckedReason::kTooLong:
      return "too-long";
    case NotCheckedReason::kMissing:
      return "missing";
    case NotCheckedReason::kUnreadableFolder:
      return "unreadable-folder";
    case NotCheckedReason::kBusy:
      return "busy";
    case NotCheckedReason::kNotInCodePage:
      return "code-page";
    case NotCheckedReason::kLinkNowhere:
      return "link-nowhere";
    case NotCheckedReason::kOtherFileSystem:
      return "other-file-system";
    case NotCheckedReason::kUnknownType:
      break;
  }
  return "unknown-type";
}

}  // namespace

Text EscapeForTerminal(TextView path) {
  static constexpr char kDigits[] = "0123456789abcdef";
  Text out;
  for (std::size_t i = 0; i < path.size();) {
    const std::size_t length = Utf8Length(path, i);
    const auto b = static_cast<unsigned char>(path[i]);
    // C1 controls are U+0080..U+009F: 0xC2 0x80..0x9F.
    const bool control = b < 0x20 || b == 0x7F || (length == 2 && b == 0xC2 && (path[i + 1] & 0xE0) == 0x80);
    if (path[i] == '\\') {
      out += "\\\\";
    } else if (length == 0 || control) {
      for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
        const auto c = static_cast<unsigned char>(path[i + k]);
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
      }
    } else {
      out.append(path.substr(i, length));
    }
    i += std::max<std::size_t>(length, 1);
  }
  return out;
}

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
  if (outcome.status != FileStatus::kStopped) ++reported_;
  if (outcome.status != FileStatus::kOk && outcome.status != FileStatus::kStopped) ++errorFiles_;
  if (outcome.opened() && outcome.id3()) ++tagged_;
  if (outcome.repair == RepairOutcome::kRepaired) ++repaired_;
  // A repair asked for that did not happen: a failed write, a file changed
  // under the check (another run is wanted), one that opened read-only.
  if (outcome.repair == RepairOutcome::kJournalFailed || outcome.repair == RepairOutcome::kWriteFailed ||
      outcome.repair == RepairOutcome::kChanged || outcome.repair == RepairOutcome::kReadOnly)
    repairFailed_ = true;

  if (outcome.recalled) ++unchanged_;
  // A recalled file is neither recovered nor recorded: on a re-check that
  // is most files, and without --json it adds only its count.
  if (outcome.recalled && !options_.json) return;
  std::string recoveryLines;
  nlohmann::ordered_json recoveryFields = nlohmann::ordered_json::object();
  if (recovery != nullptr && !outcome.recalled)
    RecoverFile(*recovery, outcome, std::string(path), recoveryLines, recoveryFields);
  if (recoveryFields.contains("salvage") && recoveryFields["salvage"].value("written", false)) ++salvaged_;
  if (outcome.silentChange) {
    if (outcome.status == FileStatus::kOk) ++errorFiles_;
    ++silentChanges_;
    damaged_ = true;
  }
  if (remember != nullptr) {
    const nlohmann::ordered_json damage = recoveryFields.value("damage", nlohmann::ordered_json());
    RememberFile(*remember, outcome, std::string(path), damage, recoveryFields);
  }
  if (!options_.json) {
    if (!recoveryLines.empty()) Write(recoveryLines);
    return;
  }
  using json = nlohmann::ordered_json;
  json object = {{"type", "file"}, {"path", std::string(path)}};
  if (!IsUtf8(path)) object["pathHex"] = Hex(path);  // the exact bytes of a name that is not UTF-8
  object["status"] = StatusName(outcome.status);
  const bool opened = outcome.opened();
  // No code where no header was read: the file did not open, or reading it failed.
  object["code"] = outcome.status == FileStatus::kOpenFailed || (outcome.status == FileStatus::kReadError &&
                                                                 outcome.headerResult != HeaderResult::kOk)
                       ? json(nullptr)
                       : json(UnrecognizedCode(outcome.headerResult));
  object["goodFrames"] = opened ? json(outcome.goodFrames) : json(nullptr);
  object["declaredFrames"] = opened ? json(outcome.declaredFrames) : json(nullptr);
  object["playSeconds"] = opened ? json(PlaySeconds(outcome.goodFrames, outcome.sampleRate)) : json(nullptr);
  object["failOffset"] = outcome.failAt ? json(outcome.failAt->byte) : json(nullptr);
  object["id3v2"] = outcome.status == FileStatus::kOpenFailed ? json(nullptr) : json(outcome.headerPos > 0);
  object["headerRewritten"] = outcome.rewriteTried();
  object["rewriteOk"] =
      outcome.rewriteTried() ? json(outcome.repair == RepairOutcome::kRepaired) : json(nullptr);
  const char* note = NotRepairedName(outcome.repair);
  object["notRepaired"] = note != nullptr ? json(note) : json(nullptr);
  for (const auto& [key, value] : recoveryFields.items()) object[key] = value;
  Write(Dump(object));
}

void TerminalDisplay::PathNotChecked(TextView path, NotCheckedReason reason) {
  if (!options_.json) return;  // the report has its line
  nlohmann::ordered_json object = {{"type", "notChecked"}, {"path", std::string(path)}};
  if (!IsUtf8(path)) object["pathHex"] = Hex(path);
  object["reason"] = NotCheckedName(reason);
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
  std::fprintf(err_, "\r%s\x1b[K", ProgressLineText(figures, elapsed).c_str());
  std::fflush(err_);
  progressShown_ = true;
}

namespace {

std::string Counted(uint32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A name as a shell takes it back: in single quotes unless it needs none.
std::string ShellWord(const std::string& name) {
  if (!name.empty() &&
      name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./-+=:,@%") ==
          std::string::npos)
    return name;
  std::string quoted = "'";
  for (char c : name) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void TerminalDisplay::Finish(const JobEnd& end) {
  ClearProgressLine();
  if (!end.ended && !outputFailed_) {
    std::fprintf(err_, "Stopped after %u of %s.\n", reported_, Counted(end.listed, "file", "files").c_str());
    std::fflush(err_);
  }
  const auto shown = [this](const std::string& name) {
    return options_.shownPath != nullptr ? options_.shownPath(name) : name;
  };
  if (!options_.json) {
    std::string done;
    if (options_.repair && (end.ended || repaired_ > 0)) {
      done += "Repaired " + Counted(repaired_, "file", "files");
      if (repaired_ > 0 && !options_.journal.empty())
        done += ", journalled in " + shown(options_.journal) + ".\nUndo with: velkscan-cli --undo " +
                ShellWord(shown(options_.journal));
      else
        done += ".";
      done += "\n";
    }
    if (!options_.salvageDir.empty() && (end.ended || salvaged_ > 0))
      done +=
          "Salvaged " + Counted(salvaged_, "copy", "copies") + " under " + shown(options_.salvageDir) + ".\n";
    if (!done.empty()) Write(done);
    return;
  }
  nlohmann::ordered_json summary = {{"type", "summary"},
                                    {"stopped", !end.ended},
                                    {"files", end.ended ? end.listed : reported_},
                                    {"listed", end.listed},
                                    {"errors", end.ended ? end.errorFiles : errorFiles_ + end.notChecked},
                                    {"ok", ok_},
                                    {"broken", broken_},
                                    {"unrecognized", unrecognized_},
                                    {"openFailed", openFailures_},
                                    {"notChecked", end.notChecked},
                                    {"unchanged", unchanged_},
                                    {"silentChanges", silentChanges_},
                                    {"id3v2", tagged_},
                                    {"repaired", repaired_}};
  if (!options_.salvageDir.empty()) summary["salvaged"] = salvaged_;
  Write(Dump(summary));
}

}  // namespace velkscan::cli
