// Writing a file that did not exist before: created exclusively (an existing
// file is never opened, let alone overwritten) under a name of its own,
// written through a FileStream, forced to the disk, and only then given its
// final name, never in place of a file that got there meanwhile. Removed
// again when any of that fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A folder held open, in which files and folders are made, named and
// removed by name relative to the handle, never through a link: whatever
// another program renames, swaps or links meanwhile, a step can fail but
// cannot lead out of the folders opened (a folder or file a link names is
// never opened, made or written). Names are single names, without a
// separator.
class Folder {
 public:
  Folder() = default;
  Folder(Folder&& other) noexcept : handle_(other.handle_) { other.handle_ = kInvalidHandle; }
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  bool open() const { return handle_ != kInvalidHandle; }
  // The folder at path, links in the path followed (it is the one the
  // user named), made first when missing (its parents too).
  static Folder OpenPath(const Text& path, std::string& error);
  // The folder `name` in this one, made when missing; a link, or anything
  // else that is not a folder, is refused (error says so).
  Folder Child(const Text& name, std::string& error) const;
  // As CreateNewFile, in this folder; a link of that name is not followed.
  NativeHandle CreateNewFile(const Text& name, std::string& error, uint32_t permissions = 0666) const;
  // The regular file `name` for reading; kInvalidHandle for a link or anything else.
  NativeHandle OpenForReading(const Text& name) const;
  // As RenameNoReplace, both names in this folder; then syncs it.
  bool RenameNoReplace(const Text& from, const Text& to, std::string& error) const;
  // Removes the file `name`; false (and the reason) when it could not.
  bool Remove(const Text& name, std::string& error) const;
  // The names in this folder; false when it cannot be read.
  bool Names(std::vector<Text>& names) const;

 private:
  explicit Folder(NativeHandle handle) : handle_(handle) {}
  NativeHandle handle_ = kInvalidHandle;
};

}  // namespace velkscan
