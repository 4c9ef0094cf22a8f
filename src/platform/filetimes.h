// Access and modification times of an open file, kept across a header
// repair when the user asks for it.
#pragma once

#include <cstdint>

#include "platform/filestream.h"
#include "platform/text.h"

namespace velkscan {

struct FileTimes {
  // POSIX: access then modification time as seconds and nanoseconds.
  // Windows: the two FILETIMEs as 64-bit numbers (the slots 1 and 3 unused).
  int64_t value[4] = {};
};

// False when the times cannot be read.
bool SaveFileTimes(NativeHandle handle, FileTimes& times);
// False when the times cannot be set.
bool RestoreFileTimes(NativeHandle handle, const FileTimes& times);

// What tells, without reading a byte, that a file is still as it was
// checked: the same file (device, file number, size) and the same
// modification and change times (nanoseconds since 1970).
struct FileStamp {
  FileIdentity file;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// False when it cannot be had (always on Windows, where nothing keeps it).
bool ReadFileStamp(NativeHandle handle, FileStamp& stamp);
// Of the file a path names, following links.
bool ReadPathStamp(const Text& path, FileStamp& stamp);

}  // namespace velkscan
