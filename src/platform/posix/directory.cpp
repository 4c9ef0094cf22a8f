#include "platform/directory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velkscan {

namespace {

EntryKind KindOf(const Text& directory, const dirent* entry) {
  switch (entry->d_type) {
    case DT_DIR:
      return EntryKind::kDirectory;
    case DT_REG:
    case DT_FIFO:
    case DT_CHR:
    case DT_BLK:
    case DT_SOCK:
      return EntryKind::kFile;
    default:
      break;
  }
  // A symbolic link, or a file system that does not fill d_type.
  Text path = directory;
  if (!path.empty() && path.back() != '/') path += '/';
  path += entry->d_name;
  struct stat own;
  // Gone since it was listed: nothing left to check. Otherwise (a folder
  // that may be read but not searched) it may be a folder full of files.
  if (lstat(path.c_str(), &own) != 0) return errno == ENOENT ? EntryKind::kSkipped : EntryKind::kUnknown;
  if (S_ISDIR(own.st_mode)) return EntryKind::kDirectory;
  if (!S_ISLNK(own.st_mode)) return EntryKind::kFile;
  // A link to a directory is walked like one (the walk takes each real
  // folder once); a link to nothing is no file to open and is said to be one.
  struct stat target;
  if (stat(path.c_str(), &target) == 0)
    return S_ISDIR(target.st_mode) ? EntryKind::kDirectory : EntryKind::kFile;
  return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? EntryKind::kLinkNowhere
                                                               : EntryKind::kUnknown;
}

}  // namespace

FolderIdentity IdentityOf(const Text& folder) {
  struct stat own;
  if (stat(folder.c_str(), &own) != 0) return {};
  return FolderIdentity{static_cast<uint64_t>(own.st_dev), static_cast<uint64_t>(own.st_ino), true};
}

bool ListDirectory(const Text& directory, std::vector<DirectoryEntry>& entries, FolderIdentity* identity,
                   bool (*wantsStamp)(TextView name)) {
  entries.clear();
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  // The folder this listing reads, not whatever the path names by now.
  struct stat own;
  if (identity != nullptr && fstat(dirfd(dir), &own) == 0)
    *identity = FolderIdentity{static_cast<uint64_t>(own.st_dev), static_cast<uint64_t>(own.st_ino), true};
  // Read the whole directory before the caller descends, so a deep tree
  // holds one open directory at a time.
  // readdir tells an error from the end only by errno.
  bool readToEnd = false;
  try {
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir);
      if (entry == nullptr) {
        readToEnd = errno == 0;
        break;
      }
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      entries.push_back(DirectoryEntry{entry->d_name, KindOf(directory, entry)});
      FileStamp stamp;
      if (entries.back().kind == EntryKind::kFile && wantsStamp != nullptr && wantsStamp(entry->d_name) &&
          ReadStampAt(dirfd(dir), entry->d_name, stamp))
        entries.back().stamp = stamp;
    }
  } catch (...) {
    closedir(dir);
    entries.clear();
    throw;
  }
  closedir(dir);
  if (!readToEnd) {
    entries.clear();
    return false;
  }
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

}  // namespace velkscan
