#include "cli/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/filestream.h"
#include "platform/filetimes.h"
#include "scan/filecheck.h"
#include "scan/filelist.h"
#include "stream/headerblock.h"

namespace velkscan::cli {

namespace {

constexpr const char* kTag = "velkscan-repair";
constexpr char kHex[] = "0123456789abcdef";

std::string Hex(const uint8_t (&bytes)[kHeaderBlockSize]) {
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool FromHex(std::string_view text, uint8_t (&bytes)[kHeaderBlockSize]) {
  if (text.size() != 2 * kHeaderBlockSize) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (int i = 0; i < kHeaderBlockSize; ++i) {
    const int high = digit(text[2 * i]);
    const int low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

std::string Escape(const std::string& path) {
  std::string out;
  for (char c : path) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return out;
}

// The bytes of the header block that hold the version's frame count.
bool InFrameCountField(uint32_t version, int byte) {
  const StreamVersion& entry = *FindStreamVersion(version);
  return byte >= entry.countByte && byte < entry.countByte + entry.countBytes;
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// Why a line may not be undone; empty when it may. already: the file holds
// the old bytes again.
std::string CheckUndo(const JournalEntry& entry, FileStream& stream, bool& already) {
  StreamInfo info{};
  const HeaderResult header = ReadStreamHeader(info, stream);
  if (stream.ReadError()) return "header not readable";  // a failed read says nothing of the file
  if (header != HeaderResult::kOk || !info.fieldsRead || !IsCheckedStreamVersion(info.streamVersion))
    return "no stream header this program repairs";
  if (info.headerPos != static_cast<int32_t>(entry.offset))
    return "stream header not at the journalled offset";
  for (int i = 0; i < kHeaderBlockSize; ++i) {
    if (entry.before[i] != entry.after[i] && !InFrameCountField(info.streamVersion, i))
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
    result.fault = "cannot open: " + ErrnoText(errno);
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
      result.fault = "read error after line " + std::to_string(number - 1) + ": " + ErrnoText(errno);
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

// The first line of a regular file (at most kMaxJournalLine bytes of it),
// without its line end; nullopt when it cannot be read.
std::optional<std::string> FirstLine(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::string line(kMaxJournalLine + 1, '\0');
  std::size_t got = 0;
  while (got < line.size()) {
    const ssize_t n = ::read(fd, line.data() + got, line.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (std::memchr(line.data(), '\n', got) != nullptr) break;
  }
  ::close(fd);
  line.resize(got);
  return line.substr(0, line.find('\n'));
}

std::string ShownAsIs(std::string_view name) {
  return std::string(name);
}

}  // namespace

std::optional<std::string> AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return std::nullopt;
  std::string absolute = std::string(cwd) + (cwd[1] == '\0' ? "" : "/") + path;
  std::free(cwd);
  return absolute;
}

bool IsJournalFirstLine(std::string_view line) {
  return line == kJournalHeading || ParseJournalLine(line).has_value();
}

std::string RefuseJournalPath(const std::string& journalPath, const std::vector<std::string>& paths) {
  if (HasVelkExtension(journalPath)) return "its name has a Velk file extension";
  struct stat journal;
  if (::stat(journalPath.c_str(), &journal) != 0) {
    // Not there yet: only a path to check under the same name can be it.
    for (const std::string& path : paths)
      if (path == journalPath) return "it is one of the paths to check";
    return "";
  }
  for (const std::string& path : paths) {
    struct stat checked;
    if (::stat(path.c_str(), &checked) == 0 && checked.st_dev == journal.st_dev &&
        checked.st_ino == journal.st_ino)
      return "it is one of the paths to check";
  }
  if (S_ISDIR(journal.st_mode)) return "it is a folder";
  // A device or a pipe has no content to keep; a regular file may.
  if (!S_ISREG(journal.st_mode) || journal.st_size == 0) return "";
  const std::optional<std::string> first = FirstLine(journalPath);
  if (!first) return "it cannot be read";
  if (!IsJournalFirstLine(*first)) return "it is not empty and not a repair journal";
  return "";
}

std::string FormatJournalLine(const JournalEntry& entry) {
  return std::string(kTag) + '\t' + std::to_string(entry.offset) + '\t' + Hex(entry.before) + '\t' +
         Hex(entry.after) + '\t' + Escape(entry.path) + '\n';
}

std::optional<JournalEntry> ParseJournalLine(std::string_view line) {
  std::string_view fields[5];
  for (int i = 0; i < 4; ++i) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    fields[i] = line.substr(0, tab);
    line.remove_prefix(tab + 1);
  }
  fields[4] = line;
  JournalEntry entry;
  if (fields[0] != kTag || fields[1].empty() || fields[1].size() > 10) return std::nullopt;
  uint64_t offset = 0;
  for (char c : fields[1]) {
    if (c < '0' || c > '9') return std::nullopt;
    offset = offset * 10 + static_cast<uint64_t>(c - '0');
  }
  if (offset > 0x7FFFFFFF) return std::nullopt;
  entry.offset = static_cast<uint32_t>(offset);
  if (!FromHex(fields[2], entry.before) || !FromHex(fields[3], entry.after)) return std::nullopt;
  const std::optional<std::string> path = Unescape(fields[4]);
  if (!path || path->empty()) return std::nullopt;
  entry.path = *path;
  return entry;
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool JournalWriter::Open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = ErrnoText(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
      !WriteAndSync(std::string(kJournalHeading) + '\n')) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool JournalWriter::WriteAndSync(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // EFBIG: the file size limit, like a full disk.
      error_ = ErrnoText(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    // EINVAL: a file that cannot be synced (a pipe, a terminal): written is all there is.
    error_ = ErrnoText(errno);
    return false;
  }
  return true;
}

bool JournalWriter::Append(JournalEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || !error_.empty()) {
    if (error_.empty()) error_ = "not open";
    return false;
  }
  std::optional<std::string> absolute = AbsolutePath(entry.path);
  if (!absolute) {
    error_ = "no absolute path: " + ErrnoText(errno);
    return false;
  }
  entry.path = std::move(*absolute);
  // One write of the whole line, so a kill leaves at most one torn last line.
  return WriteAndSync(FormatJournalLine(entry));
}

std::string JournalWriter::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

int UndoJournal(const std::string& journalPath, bool keepTimes, std::FILE* out, std::FILE* err,
                ShowName shown, const Restored& restored) {
  if (shown == nullptr) shown = ShownAsIs;
  const std::string journalName = shown(journalPath);
  const JournalLines journal = ReadJournal(journalPath);
  if (!journal.fault.empty()) {
    std::fprintf(err, "velkscan-cli: journal %s: %s; nothing was changed\n", journalName.c_str(),
                 journal.fault.c_str());
    return kUndoUnread;
  }
  int result = kUndoDone;
  // One line of the report; false when it could not be written.
  auto say = [out](const std::string& name, const std::string& text) {
    return std::fprintf(out, "%s%s\n", name.c_str(), text.c_str()) >= 0 && std::fflush(out) == 0;
  };
  auto outputFailed = [&] {
    std::fprintf(err, "velkscan-cli: the report cannot be written (%s); the undo stopped there\n",
                 ErrnoText(errno).c_str());
    return kUndoOutputFailed;
  };
  for (auto it = journal.lines.rbegin(); it != journal.lines.rend(); ++it) {
    const auto& [number, text] = *it;
    if (number == 1 && text == kJournalHeading) continue;
    const std::optional<JournalEntry> entry = ParseJournalLine(text);
    const bool torn = journal.tornLast && it == journal.lines.rbegin();
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

}  // namespace velkscan::cli
