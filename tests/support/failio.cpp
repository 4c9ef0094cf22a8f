// Preloaded into a program by the tests (LD_PRELOAD) to make file I/O fail as a failing disk does, with EIO:
//   VELKSCAN_FAIL_WRITE=SUFFIX        every write() to a file whose path ends in SUFFIX
//   VELKSCAN_FAIL_READ=SUFFIX:OFFSET  every read() of such a file from byte OFFSET on
//   VELKSCAN_FAIL_OPEN=SUFFIX         every open() of a path that ends in SUFFIX
//   VELKSCAN_SHORT_WRITE=SUFFIX:N     every write() to such a file writes at most N bytes, as a
//                                     signal or a pipe may cut one short (not the positioned ones)
// to hold a program at a file until the test lets it go on:
//   VELKSCAN_HOLD_READ=SUFFIX:FLAG    every read() of such a file waits until the file FLAG exists
// or to kill the program (SIGKILL) in the middle of writing a file:
//   VELKSCAN_KILL_WRITE=SUFFIX:OFFSET the write() to such a file that reaches byte OFFSET
// Reads and writes at a position (pread, pwrite and their 64 forms) count as well.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
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

// Whether a read of count bytes is to fail. at(): its position, asked only of a file that matches, so
// that no other call sees errno change.
template <typename At>
bool FailsRead(int fd, At at, size_t count) {
  if (Matches(fd, "VELKSCAN_HOLD_READ", nullptr))
    while (access(std::strrchr(std::getenv("VELKSCAN_HOLD_READ"), ':') + 1, F_OK) != 0) usleep(1000);
  long long from = 0;
  return Matches(fd, "VELKSCAN_FAIL_READ", &from) && at() + static_cast<long long>(count) > from;
}

// Whether a write of count bytes is to fail; one that reaches the kill offset writes the bytes before it
// (part) and dies.
template <typename At, typename Part>
bool FailsWrite(int fd, At at, size_t count, Part part) {
  if (Matches(fd, "VELKSCAN_FAIL_WRITE", nullptr)) return true;
  long long killAt = 0;
  if (Matches(fd, "VELKSCAN_KILL_WRITE", &killAt)) {
    const long long from = at();
    if (from + static_cast<long long>(count) >= killAt) {
      if (killAt > from) part(static_cast<size_t>(killAt - from));
      raise(SIGKILL);
    }
  }
  return false;
}

bool FailsOpen(const char* path) {
  const char* value = std::getenv("VELKSCAN_FAIL_OPEN");
  if (value == nullptr || *value == '\0' || path == nullptr) return false;
  const size_t length = std::strlen(path), wanted = std::strlen(value);
  return length >= wanted && std::strcmp(path + length - wanted, value) == 0;
}

}  // namespace

#define FAILIO_OPEN(OPEN)                                                 \
  extern "C" int OPEN(const char* path, int flags, ...) {                 \
    static const auto real = Real<int (*)(const char*, int, ...)>(#OPEN); \
    mode_t mode = 0;                                                      \
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {     \
      va_list rest;                                                       \
      va_start(rest, flags);                                              \
      mode = va_arg(rest, mode_t);                                        \
      va_end(rest);                                                       \
    }                                                                     \
    if (FailsOpen(path)) return errno = EIO, -1;                          \
    return real(path, flags, mode);                                       \
  }
FAILIO_OPEN(open)
FAILIO_OPEN(open64)

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  const auto at = [fd] { return static_cast<long long>(lseek(fd, 0, SEEK_CUR)); };
  if (FailsWrite(fd, at, count, [&](size_t n) { real(fd, buffer, n); })) return errno = EIO, -1;
  long long most = 0;
  if (Matches(fd, "VELKSCAN_SHORT_WRITE", &most) && most > 0)
    count = std::min(count, static_cast<size_t>(most));
  return real(fd, buffer, count);
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  const auto at = [fd] { return static_cast<long long>(lseek(fd, 0, SEEK_CUR)); };
  if (FailsRead(fd, at, count)) return errno = EIO, -1;
  return real(fd, buffer, count);
}

#define FAILIO_POSITIONED(READ, WRITE, OFFSET)                                                             \
  extern "C" ssize_t READ(int fd, void* buffer, size_t count, OFFSET offset) {                             \
    static const auto real = Real<ssize_t (*)(int, void*, size_t, OFFSET)>(#READ);                         \
    const auto at = [offset] { return static_cast<long long>(offset); };                                   \
    if (FailsRead(fd, at, count)) return errno = EIO, -1;                                                  \
    return real(fd, buffer, count, offset);                                                                \
  }                                                                                                        \
  extern "C" ssize_t WRITE(int fd, const void* buffer, size_t count, OFFSET offset) {                      \
    static const auto real = Real<ssize_t (*)(int, const void*, size_t, OFFSET)>(#WRITE);                  \
    const auto at = [offset] { return static_cast<long long>(offset); };                                   \
    if (FailsWrite(fd, at, count, [&](size_t n) { real(fd, buffer, n, offset); })) return errno = EIO, -1; \
    return real(fd, buffer, count, offset);                                                                \
  }
FAILIO_POSITIONED(pread, pwrite, off_t)
FAILIO_POSITIONED(pread64, pwrite64, off64_t)
