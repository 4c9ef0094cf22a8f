// Writing a file that did not exist before: created exclusively (an existing
// file is never opened, let alone overwritten), written through a FileStream,
// forced to the disk before it counts as written, removed again when any of
// that fails.
#pragma once

#include <string>

#include "platform/text.h"
#include "platform/filestream.h"

namespace velkscan {

// Creates path for writing; kInvalidHandle when it exists or cannot be
// made. error receives the system's reason on failure.
NativeHandle CreateNewFile(const Text& path, std::string& error);
// Forces what was written to the disk; false (and the reason) on failure.
bool SyncFile(NativeHandle handle, std::string& error);
// The system's reason for the latest failed write on this thread.
std::string LastWriteError();
// Removes a file this program created; false when it could not.
bool RemoveFile(const Text& path);

}  // namespace velkscan
