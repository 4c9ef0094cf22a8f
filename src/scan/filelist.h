// The list of files the next scan checks.
//
// Every entry, named directly or found while walking a directory tree,
// passes one filter: its extension (the text from the last "." of the whole
// path) is ".vlk", ".vkq" or ".vqk", letters A to Z compared without regard
// to case, and the path is not listed already (on Windows compared the same
// way, as its file systems fold case; on Linux compared exactly). The scan
// takes the files in the order they were added.
//
// Changed only by the front end's thread while no scan runs; the worker reads
// it during a scan and clears it at the end of the job.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "platform/directory.h"
#include "platform/filetimes.h"
#include "platform/text.h"

namespace velkscan {

// Why a path was not checked.
enum class NotCheckedReason {
  kTooLong,           // longer than the platform can open by name
  kMissing,           // a path given that names nothing and has no Velk extension
  kUnreadableFolder,  // a folder that could not be opened or read to its end
  kUnknownType,       // the system would not say whether it is a file or a folder
  kBusy,              // handed to a window while a scan ran
  kNotInCodePage,     // a name the narrow Windows build's code page cannot hold
  kLinkNowhere,       // a symbolic link met while walking whose target does not exist
  kOtherFileSystem,   // a folder met while walking on another file system (WalkRules::oneFileSystem)
};

// A path the scan will not check. The job reports each one, and counts it
// as an error: what was never read is never "no errors found".
struct NotCheckedPath {
  Text path;
  NotCheckedReason reason;
};

struct FileList {
  // What a walk leaves alone below each folder it is given; kept by
  // ClearFileList.
  struct WalkRules {
    // The path below the folder given ("sub/name.vlk") and whether it is a
    // folder: true leaves it out, not read, not listed, not counted. Null:
    // nothing is left out.
    std::function<bool(TextView below, bool folder)> leaveOut;
    // A folder on another file system than the folder given is not walked,
    // and noted in notChecked (kOtherFileSystem); where the platform tells.
    bool oneFileSystem = false;
  };
  WalkRules rules;

  std::vector<Text> paths;  // in the order of adding
  // Each path's stamp as the listing's one stat found it (none where the
  // platform keeps none): a job that starts at once may take it for the
  // file's state instead of asking again.
  std::vector<std::optional<FileStamp>> stamps;
  // Sum of the sizes of the listed files (their low 32 bits), each as
  // measured when it was added. ClearFileList leaves it; the end of a job
  // and Stop reset it.
  uint64_t totalBytes = 0;
  // Paths that could hold files to check but will not be checked, in the
  // order met: too long to open by name (arguments and drops, directories
  // and files with a Velk extension met while walking; a path is never cut
  // short), given but naming nothing (without a Velk extension), folders that cannot be read, entries
  // whose type cannot be read, names a window could not take. ClearFileList
  // clears them too.
  std::vector<NotCheckedPath> notChecked;

  uint32_t count() const { return static_cast<uint32_t>(paths.size()); }

  // Frees every path (and the paths not checked); count() becomes 0.
  void ClearFileList();
  // Every Add below is false only when memory ran out.
  // Added, or skipped by the filter; out of memory, the list is emptied.
  bool AddFile(const Text& path);
  // The same with the stamp the walk's listing read (none: read now).
  bool AddFile(const Text& path, const std::optional<FileStamp>& listed);
  // Depth-first walk in listing order (sorted by name on POSIX), every
  // sub-directory at once when it is met, links to directories too; each
  // real folder is walked once per list, so a link back up the tree adds
  // nothing and says nothing. A link that leads nowhere is noted in
  // notChecked. Done also when the directory cannot be read (it is then
  // noted in notChecked).
  // The walk keeps to rules below the directory.
  bool AddDirectory(const Text& directory);
  // One path of a drop or of an argument: a directory is walked, anything
  // else is a file, also a path that names nothing (with a Velk extension it
  // is listed, and fails to open when its turn comes); one that names
  // nothing without a Velk extension, or whose type cannot be read, is noted
  // in notChecked. Out of memory, the list is emptied.
  bool AddPath(const Text& path);
  // A drop: AddPath for each path in order, stopping where memory ran out.
  void AddPaths(const std::vector<Text>& list);
  // The argument at the start of text: quoted (up to the next double quote,
  // spaces ordinary) or unquoted (up to the first space, quotes ordinary).
  void AddArgument(TextView text);
  // Moves the files of other that this list lacks to its end, each with its
  // stamp and size, in other's order (other's paths are spent, its
  // notChecked left to it). The number moved; out of memory, fewer.
  uint32_t Join(FileList& other);
  // Splits a command line at unquoted spaces and calls AddArgument at the
  // start of every argument, the first one (the program name) left out when
  // the text is the process's own command line. Runs of spaces give empty
  // arguments, which add nothing; a tab does not separate.
  void AddCommandLine(TextView text, bool isOwnCommandLine);

 private:
  // The duplicate check without comparing every listed path: an open
  // table of the paths' hashes (folded where names fold), at most half
  // full, each slot 32 bits of the hash (its place too) and the index in
  // paths plus one (0: empty). One look into memory that lies together per
  // path, not a node of its own, and no path hashed again as it grows.
  struct Slot {
    uint32_t tag = 0;
    uint32_t entry = 0;
  };
  std::vector<Slot> index_;
  // The slot of the path, as the duplicate check compares it (own), with
  // that tag: the one that lists it, else the empty one it would take.
  std::size_t SlotOf(TextView own, uint32_t tag) const;
  // The empty slot a path not listed takes, with its tag, the table grown
  // first when half full; kListed for a path listed already. The caller
  // fills the slot once the path is in paths. Throws std::bad_alloc.
  static constexpr std::size_t kListed = ~std::size_t{0};
  std::size_t FreeSlotFor(TextView path, uint32_t& tag);
  // The folders walked so far (device and number; where the platform tells).
  std::set<FolderIdentity> walked_;
  // The walk of one directory given: where the path below it starts in a
  // walked path, and its file system (rules.oneFileSystem).
  bool Walk(const Text& directory, bool given);
  std::size_t belowFrom_ = 0;
  std::optional<uint64_t> givenDevice_;
};

// The arguments of a command line as AddCommandLine takes them (views into
// text; empty ones included), the first left out when it is the program's.
std::vector<TextView> CommandLineArguments(TextView text, bool isOwnCommandLine);

// True when the path's extension passes the filter.
bool HasVelkExtension(TextView path);

// The text with the letters a to z turned into A to Z and nothing else
// changed (in the narrow Windows build, double-byte characters are kept).
Text FoldLettersAZ(TextView text);

}  // namespace velkscan
