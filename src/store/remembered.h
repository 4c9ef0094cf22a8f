// What every front end that records its checks shares: whether a file's
// last record stands for a check now, and the record a finished check makes.
#pragma once

#include <optional>
#include <string>

#include "scan/filecheck.h"
#include "store/checkstore.h"

namespace velkscan::store {

struct RememberOptions {
  CheckStore* store = nullptr;
  bool changed = false;  // recall the result of a file unchanged since its last check
  bool verify = false;   // compare each file's content hash with the last one recorded
  bool repair = false;   // the job repairs: a broken file never repaired is checked again
  // Only a check that found the file whole is recalled (the window, which
  // repairs what it finds broken); otherwise a broken or unrecognised one
  // too (velkscan-cli, whose exit status keeps it).
  bool onlyWhole = false;
  // The stamp the listing found stands for the file now: the list was made
  // just before the job. A window lists at a drop, perhaps long before its
  // Scan, and asks again.
  bool listedStampIsFresh = true;
};

// A file's status as the store and the JSON report name it ("ok", "broken", ...).
const char* StatusName(FileStatus status);

// True when the file's last record (under key, the path as the store keeps
// it) stands for a check now: the same device, inode, size and times, and a
// result worth keeping. outcome then holds that result.
bool RecallFile(const RememberOptions& options, const std::string& key, const std::string& path,
                FileOutcome& outcome);

// The record of a file's check, under key; none for a file not checked to a
// result (stopped) or whose stamp could not be had. Its action is "repair"
// when the header was rewritten; it keeps outcome.silentChange.
std::optional<CheckRecord> RecordOf(const FileOutcome& outcome, const std::string& key);

// After a file's check, before it is recorded: the rest of the report line
// when its content differs from the one last accepted while size and
// modification time do not, or did not when it was found so and no new
// content has been accepted since; else empty. A file stays flagged until
// AcceptContent, however many checks come after.
std::string FindSilentChange(CheckStore& store, const std::string& key, const FileOutcome& outcome);

// The user's word that a flagged file's content now is as it should be:
// read whole, it must be the content of its last check; then an "accept"
// record makes it the one later checks compare with (the records of the
// content before are kept). "" when recorded, else why not.
std::string AcceptContent(CheckStore& store, const std::string& key, const std::string& path);

}  // namespace velkscan::store
