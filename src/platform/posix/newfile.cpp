#include "platform/newfile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velkscan {

NativeHandle CreateNewFile(const Text& path, std::string& error, uint32_t permissions) {
  if (path.find('\0') != Text::npos) {
    error = "invalid name";
    return kInvalidHandle;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                static_cast<mode_t>(permissions & 0666));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = std::strerror(errno);
  return fd < 0 ? kInvalidHandle : fd;
}

uint32_t PermissionsOf(NativeHandle handle) {
  struct stat st;
  return ::fstat(handle, &st) == 0 ? static_cast<uint32_t>(st.st_mode & 07777) : 0600;
}

bool SyncFile(NativeHandle handle, std::string& error) {
  if (::fsync(handle) == 0) return true;
  error = std::strerror(errno);
  return false;
}

std::string LastWriteError() {
  return std::strerror(errno);
}

bool RenameNoReplace(const Text& from, const Text& to, std::string& error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    // File systems without it: a second link fails where the name is taken.
    if (errno != EINVAL && errno != ENOSYS) {
      error = std::strerror(errno);
      return false;
    }
    if (::link(from.c_str(), to.c_str()) != 0) {
      error = std::strerror(errno);
      return false;
    }
    ::unlink(from.c_str());
  }
  // The new name lasts only once its folder is on the disk.
  const size_t slash = to.rfind('/');
  const Text folder = slash == Text::npos ? Text(".") : slash == 0 ? Text("/") : to.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool RemoveFile(const Text& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace velkscan
