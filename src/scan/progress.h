// The progress line of a running job, one text for every front end that
// shows one (the terminal's line on standard error, the window's line under
// its report): "F/N files, D/T MB, S MB/s, mm:ss left".
#pragma once

#include <string>

#include "scan/display.h"

namespace velkscan {

// The figures after elapsedSeconds of checking. The speed is the mean since
// the start; the megabytes and the time left are those of the bytes listed
// less the files recalled unread (bytesSkipped), at that speed; "--:--" while there is no speed yet or when
// the files grew past what was listed.
std::string ProgressLineText(const JobFigures& figures, double elapsedSeconds);

}  // namespace velkscan
