// Preloaded into a program by the tests (LD_PRELOAD) to make file I/O fail as a failing disk does, with EIO:
//   VELKSCAN_FAIL_WRITE=SUFFIX        every write() or pwrite64() to a file whose path ends in SUFFIX
//   VELKSCAN_FAIL_READ=SUFFIX:OFFSET  every read() of such a file from byte OFFSET on
// or to kill the program (SIGKILL) in the middle of writing a file:
//   VELKSCAN_KILL_WRITE=SUFFIX:OFFSET the write() to such a file that reaches byte OFFSET
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The variable's suffix matches the descriptor's path; offset: the number after a colon.
bool Matches(int fd, const char* variable, long long* offset) {
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0' || fd <= 2) return false;
  const char* colon = std::strrchr(value, ':');
  const size_t wanted = colon != nullptr ? static_cast<size_t>(colon - value) : std::strlen(value);
  if (offset != nullptr) *offset = colon != nullptr ? std::atoll(colon + 1) : 0;
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, target, sizeof target - 1);
  return length >= static_cast<ssize_t>(wanted) && std::memcmp(target + length - wanted, value, wanted) == 0;
}

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  if (Matches(fd, "VELKSCAN_FAIL_WRITE", nullptr)) return errno = EIO, -1;
  long long killAt = 0;
  if (Matches(fd, "VELKSCAN_KILL_WRITE", &killAt)) {
    const long long at = lseek(fd, 0, SEEK_CUR);
    if (at + static_cast<long long>(count) >= killAt) {
      if (killAt > at) real(fd, buffer, static_cast<size_t>(killAt - at));
      raise(SIGKILL);
    }
  }
  return real(fd, buffer, count);
}

// Positioned writes, as a database writes its pages.
extern "C" ssize_t pwrite64(int fd, const void* buffer, size_t count, off64_t offset) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  if (Matches(fd, "VELKSCAN_FAIL_WRITE", nullptr)) return errno = EIO, -1;
  return real(fd, buffer, count, offset);
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  long long from = 0;
  if (Matches(fd, "VELKSCAN_FAIL_READ", &from) &&
      lseek(fd, 0, SEEK_CUR) + static_cast<long long>(count) > from)
    return errno = EIO, -1;
  return real(fd, buffer, count);
}
