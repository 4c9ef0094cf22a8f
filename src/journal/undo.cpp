#include "journal/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "journal/journalline.h"
#include "platform/filestream.h"
#include "platform/filetimes.h"
#include "scan/filecheck.h"
#include "scan/filelist.h"
#include "stream/headerblock.h"

namespace velkscan::journal {

namespace {

// The bytes of the header block that hold the version's frame count.
bool InFrameCountField(const StreamVersion& entry, int byte) {
  return byte >= entry.countByte && byte < entry.countByte + entry.countBytes;
}

// Why a line may not be undone; empty when it may. already: the file holds
// the old bytes again.
std::string CheckUndo(const JournalEntry& entry, FileStream& stream, bool& already) {
  StreamInfo info{};
  const HeaderResult header = ReadStreamHeader(info, stream);
  if (stream.ReadError()) return "header not readable";  // a failed read says nothing of the file
  const StreamVersion* version = header == HeaderResult::kOk ? WritableHeader(info) : nullptr;
  if (version == nullptr) return "no stream header this program repairs";
  if (info.headerPos != static_cast<int32_t>(entry.offset))
    return "stream header not at the journalled offset";
  for (int i = 0; i < kHeaderBlockSize; ++i) {
    if (entry.before[i] != entry.after[i] && !InFrameCountField(*version, i))
      return "journalled bytes differ outside the frame count";
  }
  uint8_t now[kHeaderBlockSize];
  if (!ReadHeaderBlock(stream, static_cast<int32_t>(entry.offset), now)) return "header not readable";
  if (std::equal(now, now + kHeaderBlockSize, entry.before)) {
    already = true;
    return "";
  }
  if (!std::equal(now, now + kHeaderBlockSize, entry.after)) return "the header holds other bytes";
  return "";
}

struct JournalLines {
  std::vector<std::pair<int, std::string>> lines;  // line number, text
  bool tornLast = false;                           // the last line has no line end
  std::string fault;                               // empty: read in full
};

JournalLines ReadJournal(const std::string& path) {
  JournalLines result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.fault = std::string("cannot open: ") + std::strerror(errno);
    return result;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    result.fault = "is a directory";
    return result;
  }
  std::string line;
  int number = 1;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result.fault = "read error after line " + std::to_string(number - 1) + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\n') {
        line += buffer[i];
        if (line.size() > kMaxJournalLine) {
          result.fault =
              "line " + std::to_string(number) + " longer than " + std::to_string(kMaxJournalLine) + " bytes";
          break;
        }
        continue;
      }
      if (result.lines.size() == kMaxJournalEntries) {
        result.fault = "more than " + std::to_string(kMaxJournalEntries) + " lines";
        break;
      }
      result.lines.emplace_back(number++, std::move(line));
      line.clear();
    }
    if (!result.fault.empty()) break;
  }
  ::close(fd);
  if (result.fault.empty() && !line.empty()) {
    result.tornLast = true;
    result.lines.emplace_back(number, std::move(line));
  }
  return result;
}

std::string ShownAsIs(std::string_view name) {
  return std::string(name);
}

}  // namespace

int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err,
                ShowName shown, const Restored& restored, const char* program, const OnlyPath& only) {
  if (shown == nullptr) shown = ShownAsIs;
  const std::string journalName = shown(journalPath);
  const JournalLines journal = ReadJournal(journalPath);
  if (!journal.fault.empty()) {
    std::fprintf(err, "%s: journal %s: %s; nothing was changed\n", program, journalName.c_str(),
                 journal.fault.c_str());
    return kUndoUnread;
  }
  int result = kUndoDone;
  // One line of the report; false when it could not be written.
  auto say = [out](const std::string& name, const std::string& text) {
    return std::fprintf(out, "%s%s\n", name.c_str(), text.c_str()) >= 0 && std::fflush(out) == 0;
  };
  auto outputFailed = [&] {
    std::fprintf(err, "%s: the report cannot be written (%s); the undo stopped there\n", program,
                 std::strerror(errno));
    return kUndoOutputFailed;
  };
  for (auto it = journal.lines.rbegin(); it != journal.lines.rend(); ++it) {
    const auto& [number, text] = *it;
    if (number == 1 && text == kJournalHeading) continue;
    const std::optional<JournalEntry> entry = ParseJournalLine(text);
    const bool torn = journal.tornLast && it == journal.lines.rbegin();
    if (only && (!entry || torn || !only(entry->path))) continue;
    if (!entry || torn) {
      // A torn last line is a repair that was never made: its header is
      // written only after the whole line was synced.
      std::string line = journalName;
      line += ':';
      line += std::to_string(number);
      line += torn ? ": not restored (torn last line)." : ": not restored (not a journal line).";
      if (!say(line, "")) return outputFailed();
      result = kUndoRefused;
      continue;
    }
    const std::string name = shown(entry->path);
    const char* refused = entry->path[0] != '/'            ? "path not absolute"
                          : !HasVelkExtension(entry->path) ? "not a Velk file name"
                                                           : nullptr;
    if (refused != nullptr) {
      if (!say(name, std::string(": not restored (") + refused + ").")) return outputFailed();
      result = kUndoRefused;
      continue;
    }
    FileStream stream(OpenFileForScan(entry->path, true));
    if (stream.handle() == kInvalidHandle) {
      if (!say(name, ": not restored (file open failed).")) return outputFailed();
      result = kUndoRefused;
      continue;
    }
    FileTimes times;
    const bool timesSaved = keepTimes && SaveFileTimes(stream.handle(), times);
    bool already = false;
    std::string reason = CheckUndo(*entry, stream, already);
    if (reason.empty() && !already &&
        !WriteHeaderBlock(stream, static_cast<int32_t>(entry->offset), entry->before,
                          timesSaved ? &times : nullptr))
      reason = "write failed";
    if (reason.empty() && !already && restored) restored(entry->path);
    const std::string offset = std::to_string(entry->offset);
    if (!reason.empty()) result = kUndoRefused;
    if (!say(name, !reason.empty() ? ": not restored (" + reason + ")."
                   : already       ? ": header at " + offset + " already restored."
                                   : ": header at " + offset + " restored."))
      return outputFailed();
  }
  return result;
}

}  // namespace velkscan::journal
