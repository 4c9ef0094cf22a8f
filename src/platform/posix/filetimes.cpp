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

namespace {

void FromStat(const struct stat& status, FileStamp& stamp) {
  stamp.file.device = static_cast<uint64_t>(status.st_dev);
  stamp.file.file = static_cast<uint64_t>(status.st_ino);
  stamp.file.size = static_cast<uint64_t>(status.st_size);
  stamp.modifiedNs = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
  stamp.changedNs = int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
}

}  // namespace

bool ReadFileStamp(NativeHandle handle, FileStamp& stamp) {
  struct stat status;
  if (fstat(handle, &status) != 0) return false;
  FromStat(status, stamp);
  return true;
}

bool ReadPathStamp(const Text& path, FileStamp& stamp) {
  struct stat status;
  // A name cut short at a zero byte would be another file.
  if (path.find('\0') != Text::npos || stat(path.c_str(), &status) != 0) return false;
  FromStat(status, stamp);
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
