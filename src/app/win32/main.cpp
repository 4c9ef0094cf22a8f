// VelkscanU.exe (wide characters) and VelkscanA.exe (narrow characters):
// the Velkscan dialog for Windows.
//
// One instance per build. A second start hands its command line to the
// running window and ends with 0; the first lists the files named on its
// command line, shows the dialog above other windows and runs at idle
// priority until the dialog is closed.
#include "platform/win32/winapi.h"
// (first: the headers below need the Windows settings it makes)
#include "platform/priority.h"
#include "win32/maindialog.h"
#include "win32/startup.h"

namespace {

int Run(HINSTANCE instance, bool hasArguments, int showState) {
  velkscan::InstanceMark mark;
  if (!mark.first()) return velkscan::ForwardCommandLine(hasArguments);

  // From here on the whole program, dialog included, runs at idle priority.
  velkscan::LowerProcessPriority();

  velkscan::MainDialog dialog;
  // The program name is not a file.
  dialog.job().AddCommandLine(velkscan::OwnCommandLine(), true);
  HWND window = dialog.Create(instance);
  if (window == nullptr) return 1;

  // Above other windows, where it is and as large as it is.
  RECT rect;
  if (GetWindowRect(window, &rect)) {
    SetWindowPos(window, HWND_TOPMOST, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                 0);
  }
  ShowWindow(window, showState);
  UpdateWindow(window);

  // The dialog is a Unicode window in both builds (texts in the narrow
  // build's code page are converted as they are set), so the loop is too.
  MSG message;
  message.wParam = 0;
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) return 1;
    if (dialog.SwallowsKey(message)) continue;
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    dialog.NoteInputServed();
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

#if defined(UNICODE)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showState) {
#else
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, PSTR arguments, int showState) {
#endif
  return Run(instance, arguments != nullptr && arguments[0] != 0, showState);
}
