// The report as a file and its lines as paths: what the window's Save, Copy
// the path and Open the folder act on.
#pragma once

#include <string>

#include "platform/text.h"

namespace velkscan {

// The report in a file as the box and the terminal show it: "\n" line ends.
Text ReportFileText(TextView text);

// The path a report line is about; empty for a line about no file.
Text PathOfReportLine(TextView line);

// Writes bytes to path in place of what is there: under a name of its own
// beside it, forced to the disk and only then renamed over it, so a failure
// leaves the file that was there as it was. Empty, or the reason it failed.
std::string ReplaceFileWhole(const Text& path, TextView bytes);

}  // namespace velkscan
