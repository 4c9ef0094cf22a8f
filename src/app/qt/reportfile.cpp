#include "qt/reportfile.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "platform/newfile.h"
#include "recover/salvage.h"
#include "scan/report.h"

namespace velkscan {

namespace {

// The phrases that follow "PATH: " in the report's lines about a file.
bool FollowsPath(TextView rest) {
  for (const Char* line :
       {kOpenFailedLine, kUnrecognizedLine, kId3Line, kBrokenLine, kReadErrorLine, kRepairFailedLine,
        kNotRepairedLine, kChangedLine, kUnchangedLine, kNotCheckedLine}) {
    TextView phrase(line);
    phrase.remove_prefix(4);  // "%s: "
    phrase = phrase.substr(0, phrase.find_first_of("%\r"));
    if (rest.substr(0, phrase.size()) == phrase) return true;
  }
  return false;
}

}  // namespace

Text PathOfReportLine(TextView line) {
  // A name may hold ": " too: the path ends at the last one that a file's
  // phrase follows.
  for (std::size_t end = line.rfind(VTEXT(": ")); end != TextView::npos && end > 0;
       end = line.rfind(VTEXT(": "), end - 1)) {
    if (FollowsPath(line.substr(end + 2))) return Text(line.substr(0, end));
  }
  return {};
}

Text ReportFileText(TextView text) {
  Text out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') out += text[i];
  }
  return out;
}

std::string ReplaceFileWhole(const Text& path, TextView bytes) {
  const Text partial = path + "." + std::to_string(getpid()) + kPartialSuffix;
  std::string error;
  const NativeHandle file = CreateNewFile(partial, error);
  if (file == kInvalidHandle) return error;
  for (std::size_t done = 0; done < bytes.size() && error.empty();) {
    const ssize_t wrote = write(file, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno != EINTR) {
      error = LastWriteError();
    }
  }
  if (error.empty()) SyncFile(file, error);
  if (close(file) != 0 && error.empty()) error = LastWriteError();
  std::error_code renamed;
  if (error.empty()) std::filesystem::rename(partial, path, renamed);
  if (renamed) error = renamed.message();
  if (!error.empty()) RemoveFile(partial);
  return error;
}

}  // namespace velkscan
