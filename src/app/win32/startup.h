// Start-up of the Windows programs: the texts a start brings (its command
// line, a drop), the single-instance mark and the forwarding of a second
// start's command line to the running window.
#pragma once

#include "platform/win32/winapi.h"
// After windows.h, which it needs.
#include <shellapi.h>

#include <vector>

#include "platform/text.h"
#include "scan/commandline.h"

namespace velkscan {

// Each build has its own mark, so the two builds can run side by side.
#if defined(UNICODE)
inline constexpr const wchar_t* kInstanceMutexName = L"Velkscan U";
#else
inline constexpr const wchar_t* kInstanceMutexName = L"Velkscan A";
#endif
// The running instance is found by its caption, whichever build it is.
inline constexpr const wchar_t* kWindowTitle = L"Velkscan";
// WM_COPYDATA's dwData for a forwarded command line: in the build's own
// characters, or (what both builds send, so that either build's window
// understands it) in UTF-16.
inline constexpr ULONG_PTR kForwardedCommandLine = 1;
inline constexpr ULONG_PTR kForwardedWideCommandLine = 2;

// How long a second start waits for the first instance's window to appear,
// and for it to take the forwarded command line.
inline constexpr DWORD kWindowWaitMs = 5000;
inline constexpr DWORD kForwardTimeoutMs = 5000;

// The process's command line (GetCommandLineW) in the build's characters;
// the narrow build converts it without best fit (platform/win32/widetext.h).
Text OwnCommandLine();

// CopiedText: scan/commandline.h.

// A second start's own command line as it is forwarded: every argument
// (as the file list splits them) made absolute from this process's working
// folder (the running window has another one), each in double quotes,
// which no Windows name contains; the program name left out.
Text AbsoluteCommandLine(TextView ownCommandLine);

// The paths of a drop, each in full (DragQueryFileW; the narrow build
// converts without best fit). Releases the drop.
std::vector<Text> TakeDroppedPaths(HDROP drop);

// The text a WM_COPYDATA carries, up to its terminating zero and never
// beyond cbData, in the build's characters: false (and empty) unless the
// message comes from no window (sender 0) and carries data. `exact` is false
// when a UTF-16 text held characters the narrow build's code page lacks
// (they became '?').
bool ForwardedText(WPARAM sender, const COPYDATASTRUCT* data, Text& text, bool& exact);

// The single-instance mark: created owned, in one step with the test
// whether it existed already, so two starts at the same moment cannot both
// become the first instance.
class InstanceMark {
 public:
  InstanceMark();
  ~InstanceMark();
  InstanceMark(const InstanceMark&) = delete;
  InstanceMark& operator=(const InstanceMark&) = delete;

  // False: another instance of this build holds the mark.
  bool first() const { return first_; }

 private:
  HANDLE mutex_ = nullptr;
  bool first_ = true;
};

// The second instance's work: finds the window titled "Velkscan" (waiting
// up to kWindowWaitMs for it, as the first instance may still be creating
// it) and sends it this process's command line without the program name in
// one WM_COPYDATA (in UTF-16), waiting at most kForwardTimeoutMs. Nothing happens when
// hasArguments is false. Returns the exit code, 0.
int ForwardCommandLine(bool hasArguments);

}  // namespace velkscan
