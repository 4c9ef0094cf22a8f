#include "journal/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/newfile.h"
#include "scan/filelist.h"

namespace velkscan::journal {

namespace {

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

}  // namespace

std::optional<std::string> AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return std::nullopt;
  std::string absolute = std::string(cwd) + (cwd[1] == '\0' ? "" : "/") + path;
  std::free(cwd);
  return absolute;
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

std::string CreateJournal(const std::string& path) {
  const std::string partial = path + ".velkscan-partial";
  std::string error;
  // Only its owner reads where the files of a run were.
  const NativeHandle fd = CreateNewFile(partial, error, 0600);
  if (fd == kInvalidHandle) return error;
  const std::string heading = std::string(kJournalHeading) + '\n';
  bool written = true;
  for (std::size_t done = 0; done < heading.size() && written;) {
    const ssize_t n = ::write(fd, heading.data() + done, heading.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = std::strerror(n < 0 ? errno : ENOSPC);
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  written = written && SyncFile(fd, error);
  if (::close(fd) != 0 && written) {
    error = std::strerror(errno);
    written = false;
  }
  if (!written || !RenameNoReplace(partial, path, error)) {
    RemoveFile(partial);
    return error;
  }
  return "";
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

bool JournalWriter::Open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = std::strerror(errno);
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
      error_ = std::strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    // EINVAL: a file that cannot be synced (a pipe, a terminal): written is all there is.
    error_ = std::strerror(errno);
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
    error_ = std::string("no absolute path: ") + std::strerror(errno);
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

}  // namespace velkscan::journal
