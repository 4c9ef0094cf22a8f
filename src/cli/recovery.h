// velkscan-cli --map and --salvage: after a file's report lines, the lines of
// its recovery (recover/recovery.h) and the fields of its JSON object.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "recover/recovery.h"
#include "scan/filecheck.h"

namespace velkscan::cli {

// The lines to print under the file's report line ("\n"-terminated) and the
// fields to add to its JSON object. Reads the file again (read-only) and
// writes only the salvaged copy.
void RecoverFile(const RecoveryOptions& options, const FileOutcome& outcome, const std::string& path,
                 std::string& lines, nlohmann::ordered_json& fields);

}  // namespace velkscan::cli
