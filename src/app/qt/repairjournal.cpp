#include "qt/repairjournal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

namespace velkscan {

namespace {

// The folder and the ones above it that are not there yet, private to the
// user as a state folder is; "" when they are there, else the reason.
std::string MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    struct stat st;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return part + ": " + std::strerror(errno);
    if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return part + ": not a folder";
    if (slash == std::string::npos) return "";
  }
}

// The run's journal in a new file named after this moment (a second run in
// the same second takes the next free number); "" when it cannot be made,
// with the reason.
std::string MakeJournal(std::string& error) {
  const std::string folder = RepairJournal::Folder();
  if (folder.empty()) {
    error = "neither XDG_STATE_HOME nor HOME is an absolute path";
    return "";
  }
  if (error = MakeFolders(folder); !error.empty()) return "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
  for (int number = 1;; ++number) {
    const std::string path = folder + "/repairs-" + stamp +
                             (number > 1 ? "-" + std::to_string(number) : std::string()) + ".journal";
    error = journal::CreateJournal(path);
    if (error.empty()) return path;
    // Taken (or a partial one left by a crash): the next number.
    if (error != std::strerror(EEXIST) || number == 1000) {
      error = path + ": " + error;
      return "";
    }
  }
}

}  // namespace

std::string RepairJournal::Folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/velkscan/journals";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/velkscan/journals";
  return "";
}

void RepairJournal::Begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  path_.clear();
  writer_.reset();
  error_.clear();
  told_ = false;
}

bool RepairJournal::Append(TextView path, const FileOutcome& planned) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!error_.empty()) return false;
  if (!writer_) {
    std::string made = MakeJournal(error_);
    if (made.empty()) return false;
    path_ = std::move(made);
    writer_ = std::make_unique<journal::JournalWriter>();
    if (!writer_->Open(path_)) {
      error_ = path_ + ": " + writer_->error();
      return false;
    }
  }
  journal::JournalEntry entry;
  entry.path = std::string(path);
  entry.offset = static_cast<uint32_t>(planned.headerPos);
  std::copy(std::begin(planned.headerBefore), std::end(planned.headerBefore), entry.before);
  std::copy(std::begin(planned.headerAfter), std::end(planned.headerAfter), entry.after);
  if (writer_->Append(std::move(entry))) return true;
  error_ = path_ + ": " + writer_->error();
  return false;
}

std::string RepairJournal::path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

Text RepairJournal::WhyNotJournalled(const FileOutcome& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Refused for a Stop under way, the journal has nothing to say.
  if (outcome.repair != RepairOutcome::kJournalFailed || error_.empty() || told_) return Text();
  told_ = true;
  return "Cannot write the journal of this run's repairs (" + error_ +
         "): a file whose journal was not written is left as it was.\r\n";
}

RepairJournal::Undone RepairJournal::Undo() const {
  return UndoWhere({});
}

RepairJournal::Undone RepairJournal::UndoFile(const Text& path) const {
  // The journal holds the path made absolute, as it was when listed.
  const std::optional<std::string> absolute = journal::AbsolutePath(path);
  if (!absolute)
    return Undone{journal::kUndoUnread, "velkscan: the working folder cannot be had; nothing was changed\n"};
  return UndoWhere([&](const std::string& journalled) { return journalled == *absolute; });
}

RepairJournal::Undone RepairJournal::UndoWhere(const journal::OnlyPath& only) const {
  const std::string journalPath = path();
  Undone undone{journal::kUndoUnread, ""};
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  if (out == nullptr) {
    undone.lines = std::string("velkscan: ") + std::strerror(errno) + "; nothing was changed\n";
    return undone;
  }
  // Faults of the journal follow the lines, in the same text.
  undone.status = journal::UndoJournal(journalPath, false, out, out, nullptr, {}, "velkscan", only);
  std::fclose(out);
  undone.lines.assign(text, size);
  std::free(text);
  return undone;
}

}  // namespace velkscan
