#include "platform/filetimes.h"

#include <sys/stat.h>

namespace velkscan {

bool SaveFileTimes(NativeHandle handle, FileTimes& times) {
  struct stat status;
  if (fstat(handle, &status) != 0) return false;
  times.value[0] = status.st_atim.tv_sec;
  times.value[1] = status.st_atim.tv_nsec;
  times.value[2] = status.st_mtim.tv_sec;
  times.value[3] = status.st_mtim.tv_nsec;
  return true;
}

bool RestoreFileTimes(NativeHandle handle, const FileTimes& times) {
  timespec both[2];
  both[0].tv_sec = static_cast<time_t>(times.value[0]);
  both[0].tv_nsec = static_cast<long>(times.value[1]);
  both[1].tv_sec = static_cast<time_t>(times.value[2]);
  both[1].tv_nsec = static_cast<long>(times.value[3]);
  return futimens(handle, both) == 0;
}

}  // namespace velkscan
