#include "platform/filetimes.h"

#include <windows.h>

namespace velkscan {

namespace {

int64_t FromFileTime(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME ToFileTime(int64_t value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(value));
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
  return time;
}

}  // namespace

bool SaveFileTimes(NativeHandle handle, FileTimes& times) {
  FILETIME access;
  FILETIME write;
  if (!GetFileTime(static_cast<HANDLE>(handle), nullptr, &access, &write)) return false;
  times.value[0] = FromFileTime(access);
  times.value[2] = FromFileTime(write);
  return true;
}

bool RestoreFileTimes(NativeHandle handle, const FileTimes& times) {
  const FILETIME access = ToFileTime(times.value[0]);
  const FILETIME write = ToFileTime(times.value[2]);
  return SetFileTime(static_cast<HANDLE>(handle), nullptr, &access, &write) != 0;
}

bool ReadFileStamp(NativeHandle, FileStamp&) {
  return false;
}

bool ReadPathStamp(const Text&, FileStamp&) {
  return false;
}

}  // namespace velkscan
