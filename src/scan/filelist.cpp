#include "scan/filelist.h"

#include <algorithm>
#include <functional>
#include <new>

#include "platform/directory.h"
#include "platform/filestream.h"

#if defined(_WIN32) && !defined(UNICODE)
#include <windows.h>
#endif

namespace velkscan {

namespace {

// Characters of the text at index i: 2 for a double-byte character of the
// narrow Windows build's code page, else 1. A trail byte may look like "."
// or a letter and must be neither searched nor folded.
std::size_t CharLength(TextView text, std::size_t i) {
#if defined(_WIN32) && !defined(UNICODE)
  if (i + 1 < text.size() && IsDBCSLeadByte(static_cast<BYTE>(text[i]))) return 2;
#else
  (void)text;
  (void)i;
#endif
  return 1;
}

std::size_t LastDot(TextView path) {
#if defined(_WIN32) && !defined(UNICODE)
  std::size_t dot = TextView::npos;
  for (std::size_t i = 0; i < path.size(); i += CharLength(path, i)) {
    if (path[i] == VTEXT('.')) dot = i;
  }
  return dot;
#else
  return path.rfind(VTEXT('.'));
#endif
}

Char FoldLetter(Char c) {
  return c >= VTEXT('a') && c <= VTEXT('z') ? static_cast<Char>(c - VTEXT('a') + VTEXT('A')) : c;
}

// The path as the duplicate check compares it, by the platform's rule:
// Windows folds letter case (into folded), Linux compares exactly (folding
// there would leave one of two files unchecked).
TextView KeyOf(TextView path, Text& folded) {
  if (!kNamesFoldCase) return path;
  folded = FoldLettersAZ(path);
  return folded;
}

// The part of a path's hash its slot keeps: its place in the table, and
// most of the compare of two paths.
uint32_t TagOf(TextView own) {
  return static_cast<uint32_t>(std::hash<TextView>{}(own));
}

}  // namespace

Text FoldLettersAZ(TextView text) {
  Text folded(text);
  for (std::size_t i = 0; i < folded.size();) {
    const std::size_t length = CharLength(text, i);
    if (length == 1) folded[i] = FoldLetter(folded[i]);
    i += length;
  }
  return folded;
}

bool HasVelkExtension(TextView path) {
  const std::size_t dot = LastDot(path);
  if (dot == TextView::npos || path.size() - dot != 4) return false;
  // Each of the three is a character of its own: no lead byte of a
  // double-byte character is a letter from A to Z.
  const Char a = FoldLetter(path[dot + 1]), b = FoldLetter(path[dot + 2]), c = FoldLetter(path[dot + 3]);
  return a == VTEXT('V') && ((b == VTEXT('L') && c == VTEXT('K')) || (b == VTEXT('K') && c == VTEXT('Q')) ||
                             (b == VTEXT('Q') && c == VTEXT('K')));
}

void FileList::ClearFileList() {
  paths.clear();
  paths.shrink_to_fit();
  stamps.clear();
  stamps.shrink_to_fit();
  index_.clear();
  index_.shrink_to_fit();
  walked_.clear();
  notChecked.clear();
}

std::size_t FileList::SlotOf(TextView own, uint32_t tag) const {
  const std::size_t mask = index_.size() - 1;
  Text folded;
  for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
    const Slot& slot = index_[at];
    if (slot.entry == 0 || (slot.tag == tag && KeyOf(paths[slot.entry - 1], folded) == own)) return at;
  }
}

std::size_t FileList::FreeSlotFor(TextView path, uint32_t& tag) {
  Text folded;
  const TextView own = KeyOf(path, folded);
  tag = TagOf(own);
  if (2 * (static_cast<std::size_t>(count()) + 1) > index_.size()) {
    // Twice the room, every path placed again by its tag (all differ).
    std::vector<Slot> old(std::max<std::size_t>(64, 2 * index_.size()));
    old.swap(index_);
    const std::size_t mask = index_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.entry == 0) continue;
      std::size_t at = slot.tag & mask;
      while (index_[at].entry != 0) at = (at + 1) & mask;
      index_[at] = slot;
    }
  }
  const std::size_t at = SlotOf(own, tag);
  return index_[at].entry != 0 ? kListed : at;
}

bool FileList::AddFile(const Text& path) {
  return AddFile(path, std::nullopt);
}

bool FileList::AddFile(const Text& path, const std::optional<FileStamp>& listed) {
  if (!HasVelkExtension(path)) return true;
  try {
    uint32_t tag;
    const std::size_t slot = FreeSlotFor(path, tag);
    if (slot == kListed) return true;
    // One stat per file (the listing's, where it read one): its size for the
    // progress, and its stamp.
    FileStamp stamp = listed.value_or(FileStamp{});
    const bool known = listed.has_value() || ReadPathStamp(path, stamp);
    stamps.emplace_back(known ? std::optional<FileStamp>(stamp) : std::nullopt);
    paths.push_back(path);
    index_[slot] = Slot{tag, count()};
    totalBytes += known ? static_cast<uint32_t>(stamp.file.size) : FileSizeOf(path);
  } catch (const std::bad_alloc&) {
    ClearFileList();
    return false;
  }
  return true;
}

uint32_t FileList::Join(FileList& other) {
  const uint32_t before = count();
  try {
    for (uint32_t i = 0; i < other.count(); ++i) {
      Text& path = other.paths[i];
      uint32_t tag;
      const std::size_t slot = FreeSlotFor(path, tag);
      if (slot == kListed) continue;
      const std::optional<FileStamp>& stamp = other.stamps[i];
      stamps.push_back(stamp);
      paths.push_back(std::move(path));
      index_[slot] = Slot{tag, count()};
      totalBytes += stamp ? static_cast<uint32_t>(stamp->file.size) : FileSizeOf(paths.back());
    }
  } catch (const std::bad_alloc&) {
    // What was moved stays listed; stamps and paths keep one length.
    stamps.resize(count());
  }
  return count() - before;
}

bool FileList::AddDirectory(const Text& directory) {
  belowFrom_ = directory.size() + (!directory.empty() && directory.back() != kPathSeparator ? 1 : 0);
  givenDevice_.reset();
  return Walk(directory, true);
}

bool FileList::Walk(const Text& directory, bool given) {
  try {
    std::vector<DirectoryEntry> entries;
    FolderIdentity identity;
    if (!given && rules.oneFileSystem && givenDevice_) {
      identity = IdentityOf(directory);
      if (identity.known && identity.device != *givenDevice_) {
        notChecked.push_back({directory, NotCheckedReason::kOtherFileSystem});
        return true;
      }
    }
    if (!ListDirectory(directory, entries, &identity, [](TextView name) { return HasVelkExtension(name); })) {
      notChecked.push_back({directory, NotCheckedReason::kUnreadableFolder});
      return true;
    }
    if (given && identity.known) givenDevice_ = identity.device;
    // Met before, by this path or another (a link): walked already.
    if (identity.known && !walked_.insert(identity).second) return true;
    Text path;
    for (const DirectoryEntry& entry : entries) {
      if (entry.kind == EntryKind::kSkipped) continue;
      JoinPath(path, directory, entry.name);
      if (rules.leaveOut &&
          rules.leaveOut(TextView(path).substr(belowFrom_), entry.kind == EntryKind::kDirectory))
        continue;
      // Either may hold Velk files, whatever its name.
      const bool mayHoldFiles = entry.kind == EntryKind::kDirectory || entry.kind == EntryKind::kUnknown ||
                                entry.kind == EntryKind::kLinkNowhere;
      if (path.size() >= kWalkPathLimit) {
        if (mayHoldFiles || HasVelkExtension(path)) notChecked.push_back({path, NotCheckedReason::kTooLong});
        continue;
      }
      // A link to nothing with a Velk extension is a file whose open fails in its
      // turn, as any missing name with one is; without one it may have been a folder.
      if (entry.kind == EntryKind::kLinkNowhere && HasVelkExtension(path)) {
        if (!AddFile(path)) return false;
        continue;
      }
      if (entry.kind == EntryKind::kUnknown || entry.kind == EntryKind::kLinkNowhere) {
        notChecked.push_back({path, entry.kind == EntryKind::kUnknown ? NotCheckedReason::kUnknownType
                                                                      : NotCheckedReason::kLinkNowhere});
        continue;
      }
      if (!(entry.kind == EntryKind::kDirectory ? Walk(path, false) : AddFile(path, entry.stamp)))
        return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool FileList::AddPath(const Text& path) {
  bool added = true;
  try {
    if (path.size() >= kArgumentPathLimit) {
      notChecked.push_back({path, NotCheckedReason::kTooLong});
      return true;
    }
    switch (KindOfPath(path)) {
      case PathKind::kDirectory:
        added = AddDirectory(path);
        break;
      case PathKind::kFile:
        added = AddFile(path);
        break;
      case PathKind::kMissing:
        // A name that names nothing is a file: with a Velk extension it is
        // listed, and its open fails in list order. Without one it may have
        // been meant as a folder, so it is not passed over in silence. An
        // empty argument (runs of spaces on a command line) is no path.
        if (HasVelkExtension(path)) {
          added = AddFile(path);
        } else if (!path.empty()) {
          notChecked.push_back({path, NotCheckedReason::kMissing});
        }
        break;
      case PathKind::kUnknown:
        notChecked.push_back({path, NotCheckedReason::kUnknownType});
        break;
    }
  } catch (const std::bad_alloc&) {
    added = false;
  }
  if (!added) ClearFileList();
  return added;
}

void FileList::AddPaths(const std::vector<Text>& list) {
  for (const Text& path : list) {
    if (!AddPath(path)) return;
  }
}

namespace {

// The argument at the start of text: quoted (up to the next double quote,
// spaces ordinary) or unquoted (up to the first space, quotes ordinary).
TextView ArgumentAt(TextView text) {
  std::size_t begin = 0;
  Char end = VTEXT(' ');
  if (!text.empty() && text[0] == VTEXT('"')) {
    begin = 1;
    end = VTEXT('"');
  }
  const std::size_t stop = text.find(end, begin);
  return text.substr(begin, stop == TextView::npos ? TextView::npos : stop - begin);
}

}  // namespace

void FileList::AddArgument(TextView text) {
  try {
    AddPath(Text(ArgumentAt(text)));
  } catch (const std::bad_alloc&) {
    ClearFileList();
  }
}

std::vector<TextView> CommandLineArguments(TextView text, bool isOwnCommandLine) {
  std::vector<TextView> arguments;
  bool start = true;
  bool quoted = false;
  bool first = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (start) {
      if (!(isOwnCommandLine && first)) arguments.push_back(ArgumentAt(text.substr(i)));
      first = false;
      start = false;
    }
    if (text[i] == VTEXT('"')) {
      quoted = !quoted;
    } else if (text[i] == VTEXT(' ') && !quoted) {
      start = true;
    }
  }
  return arguments;
}

void FileList::AddCommandLine(TextView text, bool isOwnCommandLine) {
  try {
    for (TextView argument : CommandLineArguments(text, isOwnCommandLine)) AddPath(Text(argument));
  } catch (const std::bad_alloc&) {
    ClearFileList();
  }
}

}  // namespace velkscan
