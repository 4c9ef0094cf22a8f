// velkscan-cli with a store of remembered checks (--db, --remember): each
// check recorded, --changed that reads only what changed since, --verify
// that finds a change the frame check cannot see, and --history.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scan/filecheck.h"
#include "store/checkstore.h"
#include "store/remembered.h"

namespace velkscan::cli {

using store::RememberOptions;

// The path as the store keeps it: absolute, as given otherwise (no link is
// resolved), so that runs from other folders find the same records.
std::string StorePath(const std::string& path);

// --changed: true when the file's last record stands for a check now (same
// device, inode, size and times, and a result worth keeping); outcome then
// holds that result.
bool RecallFile(const RememberOptions& options, const std::string& path, FileOutcome& outcome);

// --verify, after a file's check, before it is recorded: the rest of the
// report line of a silent change (store::FindSilentChange); else empty.
std::string FindSilentChange(const RememberOptions& options, const std::string& path,
                             const FileOutcome& outcome);

// After a file's check: records it, and adds its JSON fields. damage: the
// --map fields of the file, if any.
void RememberFile(const RememberOptions& options, const FileOutcome& outcome, const std::string& path,
                  const nlohmann::ordered_json& damage, nlohmann::ordered_json& fields);

// Why storePath cannot be the store of a run over paths, "" when it can: a
// name with a Velk extension, SQLite's own names (":memory:", "file:..."),
// a folder, one of the paths, a place inside a folder to check.
std::string RefuseStorePath(const std::string& storePath, const std::vector<std::string>& paths);

// --accept: each flagged file's content now accepted (store::AcceptContent),
// a line each. 0, or 1 when one was not.
int AcceptPaths(store::CheckStore& store, const std::vector<std::string>& paths, std::FILE* out,
                std::string (*shownPath)(std::string_view));

// The record of a header put back by --undo.
void RememberUndo(store::CheckStore& store, const std::string& path);

// --history: every recorded check of the paths, newest first. 0, or 2 (usage) when
// a path has none.
int PrintHistory(store::CheckStore& store, const std::vector<std::string>& paths, bool json, std::FILE* out,
                 std::string (*shownPath)(std::string_view));

}  // namespace velkscan::cli
