#include "platform/directory.h"

#include <windows.h>

namespace velkscan {

bool ListDirectory(const Text& directory, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  // The pattern is the directory and "\*", whatever its last character.
  const Text pattern = directory + VTEXT("\\*");
  WIN32_FIND_DATA data;
  HANDLE search = FindFirstFile(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  try {
    do {
      const Text name = data.cFileName;
      if (name == VTEXT(".") || name == VTEXT("..")) continue;
      const bool isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      // A reparse point to a directory (junction, directory link) is not
      // walked, so a walk cannot loop.
      EntryKind kind = EntryKind::kFile;
      if (isDirectory) {
        kind = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::kSkipped
                                                                           : EntryKind::kDirectory;
      }
      entries.push_back(DirectoryEntry{name, kind});
    } while (FindNextFile(search, &data));
  } catch (...) {
    FindClose(search);
    entries.clear();
    throw;
  }
  FindClose(search);
  return true;
}

}  // namespace velkscan
