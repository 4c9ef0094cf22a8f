#include "platform/newfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velkscan {

NativeHandle CreateNewFile(const Text& path, std::string& error) {
  if (path.find('\0') != Text::npos) {
    error = "invalid name";
    return kInvalidHandle;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = std::strerror(errno);
  return fd < 0 ? kInvalidHandle : fd;
}

bool SyncFile(NativeHandle handle, std::string& error) {
  if (::fsync(handle) == 0) return true;
  error = std::strerror(errno);
  return false;
}

std::string LastWriteError() {
  return std::strerror(errno);
}

bool RemoveFile(const Text& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace velkscan
