// velkscan: the Velkscan window for Linux desktops.
//
//   velkscan [PATH...]
//
// Files and folders named here are listed at once; a second start while a
// window runs hands them to that window and ends with status 0. Only the
// checking threads run at idle priority: the window answers at once even
// on a busy machine.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "qt/maindialog.h"
#include "qt/singleinstance.h"
#include "velkscan_version.h"

namespace {

constexpr const char* kHelp =
    "Usage: velkscan [PATH...]\n"
    "Checks Velk files (.vlk, .vkq, .vqk) frame by frame in a window and repairs the frame\n"
    "count of broken headers (or, as chosen in the window, saves a copy of their good frames\n"
    "or only reports them). Directories are walked recursively. A second start hands its\n"
    "PATHs to the window that is already open (during a scan they join it).\n"
    "Each repair is journalled first, in a journal per run in $XDG_STATE_HOME/velkscan/journals\n"
    "(else ~/.local/state/velkscan/journals): the report's menu undoes the run's repairs, and\n"
    "velkscan-cli --undo JOURNAL those of any run.\n"
    "\n"
    "  -h,--help    Print this help and exit\n"
    "  --version    Print the version and exit\n";

// --help and --version answer on the terminal, before any window or the
// instance check (they are never handed to a running window).
bool AnswerInfoOption(int argc, char** argv) {
  if (argc != 2) return false;
  const std::string arg = argv[1];
  if (arg == "-h" || arg == "--help") {
    std::fputs(kHelp, stdout);
  } else if (arg == "--version") {
    std::printf("velkscan %s\n", VELKSCAN_VERSION);
  } else {
    return false;
  }
  return true;
}

// Termination requests (logout, kill, Ctrl-C in a terminal) close the
// window like its close button, so a running worker stops between frames.
int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool CatchTerminationSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInfoOption(argc, argv)) return 0;
  const std::vector<std::string> arguments = velkscan::AbsoluteArguments(argc, argv);
  velkscan::SingleInstance instance(velkscan::SingleInstance::DefaultSocketPath());
  instance.Lock();
  if (instance.ForwardToFirst(arguments)) return 0;
  // Caught from before the socket shows this instance to others: a request
  // that comes while the window is still being set up closes it once it is.
  const bool signalsCaught = CatchTerminationSignals();
  instance.Claim();
  instance.Unlock();

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velkscan"));
  QApplication::setDesktopFileName(QStringLiteral("velkscan"));
  instance.Listen();

  velkscan::MainDialog dialog(std::vector<velkscan::Text>(arguments.begin(), arguments.end()));
  QObject::connect(&instance, &velkscan::SingleInstance::pathsReceived, &dialog,
                   &velkscan::MainDialog::AddForwardedPaths);

  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (signalsCaught) {
    signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &dialog, [&dialog] {
      dialog.close();
      QCoreApplication::quit();
    });
  }

  dialog.show();
  return app.exec();
}
