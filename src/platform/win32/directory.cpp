// The directory listing of the file list's walk: FindFirstFileW and
// FindNextFileW in both builds. The narrow build converts each name itself,
// without best fit (platform/win32/widetext.h), instead of letting the A
// operations hand it a look-alike of a name the code page cannot hold.
#include "platform/directory.h"

#include <string>

#include "platform/win32/widetext.h"

namespace velkscan {

namespace {

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

EntryKind KindOf(const WIN32_FIND_DATAW& data) {
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return EntryKind::kFile;
  // A reparse point to a directory (junction, directory link) is not walked,
  // so a walk cannot loop.
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::kSkipped
                                                                     : EntryKind::kDirectory;
}

[[maybe_unused]] std::wstring JoinWide(const std::wstring& directory, const wchar_t* name) {
  std::wstring path;
  JoinPath(path, directory, name);
  return path;
}

// Lists one directory; calls take(data) for each entry but "." and
// "..". False when the directory cannot be read.
template <typename Take>
bool ForEachEntry(const std::wstring& directory, Take&& take) {
  const std::wstring pattern = LongPathForOpening(directory) + L"\\*";
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  // Not even "." and "..": an empty drive root.
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  try {
    do {
      if (!IsDotEntry(data.cFileName)) take(data);
    } while (FindNextFileW(search, &data));
  } catch (...) {
    FindClose(search);
    throw;
  }
  // Anything but the end of the list is a directory not read in full.
  const bool readToEnd = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return readToEnd;
}

#if !defined(UNICODE)
// A directory whose name the code page cannot hold cannot be named in this
// build, so the walk could not descend into it. Its files are listed here
// instead, depth-first, under the converted names ("?" in place of what did
// not convert): with a Velk extension they join the list and are reported
// as files that could not be opened, rather than vanishing without a word.
void ListUnreachableFiles(const std::wstring& directory, const Text& prefix,
                          std::vector<DirectoryEntry>& entries, int depth) {
  // Far below any real tree; a bound on the recursion all the same.
  constexpr int kDepthLimit = 128;
  if (depth > kDepthLimit) return;
  ForEachEntry(directory, [&](const WIN32_FIND_DATAW& data) {
    Text name;
    JoinPath(name, prefix, WideToText(data.cFileName));
    switch (KindOf(data)) {
      case EntryKind::kFile:
        entries.push_back(DirectoryEntry{name, EntryKind::kFile});
        break;
      case EntryKind::kDirectory:
        ListUnreachableFiles(JoinWide(directory, data.cFileName), name, entries, depth + 1);
        break;
      case EntryKind::kSkipped:
      case EntryKind::kUnknown:
      case EntryKind::kLinkNowhere:
        break;
    }
  });
}
#endif

}  // namespace

FolderIdentity IdentityOf(const Text&) {
  return {};
}

// Windows keeps no stamps: wantsStamp is not asked.
bool ListDirectory(const Text& directory, std::vector<DirectoryEntry>& entries, FolderIdentity* /*identity*/,
                   bool (*)(TextView)) {
  entries.clear();
  // The pattern is the directory and "\*", whatever its last character. A
  // directory with a wildcard in its path is not searched: '?' stands for a
  // character that did not convert, and a search would take it for "any".
  if (directory.find_first_of(VTEXT("?*")) != Text::npos) return false;
  const std::wstring wideDirectory = TextToWide(directory);
  try {
    const bool read = ForEachEntry(wideDirectory, [&](const WIN32_FIND_DATAW& data) {
      Text name;
      const bool exact = WideToText(data.cFileName, name);
      const EntryKind kind = KindOf(data);
#if !defined(UNICODE)
      if (!exact && kind == EntryKind::kDirectory) {
        ListUnreachableFiles(JoinWide(wideDirectory, data.cFileName), name, entries, 1);
        return;
      }
#else
      (void)exact;
#endif
      entries.push_back(DirectoryEntry{name, kind});
    });
    if (!read) entries.clear();
    return read;
  } catch (...) {
    entries.clear();
    throw;
  }
}

}  // namespace velkscan
