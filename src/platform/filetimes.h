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

}  // namespace velkscan
