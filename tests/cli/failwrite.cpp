// Preloaded into velkscan-cli by the tests: write() to a file whose path
// ends in $VELKSCAN_FAIL_WRITE fails with EIO, as on a failing disk.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  using Write = ssize_t (*)(int, const void*, size_t);
  static const Write real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
  const char* suffix = std::getenv("VELKSCAN_FAIL_WRITE");
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = suffix != nullptr && fd > 2 ? readlink(link, target, sizeof target - 1) : -1;
  const size_t wanted = suffix != nullptr ? std::strlen(suffix) : 0;
  if (length >= static_cast<ssize_t>(wanted) && std::memcmp(target + length - wanted, suffix, wanted) == 0) {
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, count);
}
