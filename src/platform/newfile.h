// Writing a file that did not exist before: created exclusively (an existing
// file is never opened, let alone overwritten) under a name of its own,
// written through a FileStream, forced to the disk, and only then given its
// final name, never in place of a file that got there meanwhile. Removed
// again when any of that fails.
#pragma once

#include <cstdint>
#include <string>

#include "platform/filestream.h"
#include "platform/text.h"

namespace velkscan {

// Creates path for writing, with at most the permission bits given (the
// umask takes its share too); kInvalidHandle when it exists or cannot be
// made. error receives the system's reason on failure.
NativeHandle CreateNewFile(const Text& path, std::string& error, uint32_t permissions = 0666);
// The permission bits of an open file; 0600 when they cannot be learnt.
uint32_t PermissionsOf(NativeHandle handle);
// Forces what was written to the disk; false (and the reason) on failure.
bool SyncFile(NativeHandle handle, std::string& error);
// The system's reason for the latest failed write on this thread.
std::string LastWriteError();
// Gives the file at `from` the name `to`, in the same folder, failing (and
// leaving `from` as it is) when `to` exists; then syncs the folder.
bool RenameNoReplace(const Text& from, const Text& to, std::string& error);
// Removes a file this program created; false when it could not.
bool RemoveFile(const Text& path);

}  // namespace velkscan
