#include "platform/newfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

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

namespace {

// A single name: no separator, not "." or "..", no NUL.
bool IsOneName(const Text& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of(Text("/\0", 2)) == Text::npos;
}

}  // namespace

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (open()) ::close(handle_);
    handle_ = other.handle_;
    other.handle_ = kInvalidHandle;
  }
  return *this;
}

Folder::~Folder() {
  if (open()) ::close(handle_);
}

Folder Folder::OpenPath(const Text& path, std::string& error) {
  if (path.empty() || path.find('\0') != Text::npos) {
    error = "invalid name";
    return Folder();
  }
  std::error_code made;
  std::filesystem::create_directories(path, made);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) error = std::strerror(errno);
  return Folder(fd);
}

Folder Folder::Child(const Text& name, std::string& error) const {
  if (!IsOneName(name)) {
    error = "invalid name";
    return Folder();
  }
  if (::mkdirat(handle_, name.c_str(), 0777) != 0 && errno != EEXIST) {
    error = std::strerror(errno);
    return Folder();
  }
  // O_NOFOLLOW: a link of that name is refused (ELOOP), whatever it leads to.
  const int fd = ::openat(handle_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) error = errno == ELOOP || errno == ENOTDIR ? "a link or not a folder" : std::strerror(errno);
  return Folder(fd);
}

NativeHandle Folder::CreateNewFile(const Text& name, std::string& error, uint32_t permissions) const {
  if (!IsOneName(name)) {
    error = "invalid name";
    return kInvalidHandle;
  }
  int fd;
  do {
    // O_EXCL makes no file through a link of that name either.
    fd = ::openat(handle_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(permissions & 0666));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = std::strerror(errno);
  return fd < 0 ? kInvalidHandle : fd;
}

NativeHandle Folder::OpenForReading(const Text& name) const {
  if (!IsOneName(name)) return kInvalidHandle;
  const int fd = ::openat(handle_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kInvalidHandle;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) == -1) {
    ::close(fd);
    return kInvalidHandle;
  }
  return fd;
}

bool Folder::RenameNoReplace(const Text& from, const Text& to, std::string& error) const {
  if (!IsOneName(from) || !IsOneName(to)) {
    error = "invalid name";
    return false;
  }
  if (::renameat2(handle_, from.c_str(), handle_, to.c_str(), RENAME_NOREPLACE) != 0) {
    // File systems without it: a second link fails where the name is taken.
    if (errno != EINVAL && errno != ENOSYS) {
      error = std::strerror(errno);
      return false;
    }
    if (::linkat(handle_, from.c_str(), handle_, to.c_str(), 0) != 0) {
      error = std::strerror(errno);
      return false;
    }
    ::unlinkat(handle_, from.c_str(), 0);
  }
  // The new name lasts only once its folder is on the disk.
  ::fsync(handle_);
  return true;
}

bool Folder::Remove(const Text& name, std::string& error) const {
  if (IsOneName(name) && ::unlinkat(handle_, name.c_str(), 0) == 0) return true;
  error = IsOneName(name) ? std::strerror(errno) : "invalid name";
  return false;
}

bool Folder::Names(std::vector<Text>& names) const {
  names.clear();
  // The listing takes a handle of its own: closing it must leave this one open.
  const int fd = ::openat(handle_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool readToEnd = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      readToEnd = errno == 0;
      break;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return readToEnd;
}

}  // namespace velkscan
