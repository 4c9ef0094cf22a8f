// Directory listing for the file list's walk, and the platform's path rules.
//
// The walk itself (filter, duplicates, recursion order) is portable code in
// scan/filelist.cpp; this layer only lists one directory and says what each
// entry is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/filestream.h"
#include "platform/text.h"

namespace velkscan {

#if defined(_WIN32)
inline constexpr Char kPathSeparator = VTEXT('\\');
// The file systems fold letter case: B.VLK and b.vlk name one file.
inline constexpr bool kNamesFoldCase = true;
// A path formed while walking, terminator included (a directory below
// MAX_PATH, a separator and a name of up to 255 characters); a path from a
// drop or an argument has the same limit, so a file that can be checked one
// way can be checked the other. Longer paths are opened with "\\?\".
inline constexpr std::size_t kWalkPathLimit = 520;
inline constexpr std::size_t kArgumentPathLimit = kWalkPathLimit;
#else
inline constexpr Char kPathSeparator = '/';
// B.VLK and b.vlk are two files.
inline constexpr bool kNamesFoldCase = false;
// PATH_MAX, terminator included: longer paths cannot be opened by name.
inline constexpr std::size_t kArgumentPathLimit = 4096;
inline constexpr std::size_t kWalkPathLimit = 4096;
#endif

// destination := directory, a separator unless the directory is empty or
// already ends in one, and the name. Any character type: the narrow Windows
// build also joins wide names.
template <class C>
void JoinPath(std::basic_string<C>& destination, std::type_identity_t<std::basic_string_view<C>> directory,
              std::type_identity_t<std::basic_string_view<C>> name) {
  const C separator = static_cast<C>(kPathSeparator);
  destination.assign(directory);
  if (!destination.empty() && destination.back() != separator) destination += separator;
  destination += name;
}

enum class EntryKind {
  kFile,         // anything that is not a directory: listed as a file
  kDirectory,    // walked (a symbolic link to one too)
  kSkipped,      // not looked at (an entry gone meanwhile; on Windows a reparse point to a directory)
  kUnknown,      // the system would not say what it is: not checked, and said so
  kLinkNowhere,  // a symbolic link whose target does not exist (or links on in a loop): said so
};

struct DirectoryEntry {
  Text name;
  EntryKind kind;
  // A file's stamp, read with the listing where asked (ListDirectory).
  std::optional<FileStamp> stamp = std::nullopt;
};

// Which folder a listing read, whatever path led there: the walk takes each
// one once, so a link back up the tree does not make it loop. Not known on
// Windows, whose walk does not follow links to folders.
struct FolderIdentity {
  uint64_t device = 0;
  uint64_t number = 0;
  bool known = false;
  bool operator<(const FolderIdentity& o) const {
    return device != o.device ? device < o.device : number < o.number;
  }
};

// The identity of the folder a path names (a link followed), without
// reading it; not known where the platform does not tell or stat fails.
FolderIdentity IdentityOf(const Text& folder);

// The entries of a directory other than "." and "..", hidden ones included,
// and the identity of the directory read (when `identity` is given).
// On POSIX they come sorted by name (byte order), so walks are reproducible;
// a symbolic link to a directory is kDirectory, one that leads nowhere
// kLinkNowhere, and one to anything else kFile. Windows lists in the order
// the system gives. False when the directory cannot be opened or read to its
// end; entries is then empty. Where the platform keeps stamps, each file
// whose name wantsStamp takes gets its stamp, read in the folder opened.
// Throws std::bad_alloc when memory runs out.
bool ListDirectory(const Text& directory, std::vector<DirectoryEntry>& entries,
                   FolderIdentity* identity = nullptr, bool (*wantsStamp)(TextView name) = nullptr);

}  // namespace velkscan
