// What a flood of report lines costs the Qt window: a real scan job over a
// folder of N links that lead nowhere (one "file open failed." line each, as
// fast as the worker can write them), shown by the real window on the offscreen
// platform. Prints the window thread's processor time, the longest wait of
// a 10 ms timer (how late input would be served), the box updates, and the
// memory taken against the size of the report.
//
//   qt_display_bench [LINES]   (default 100000)
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qt/maindialog.h"

namespace {

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("velkscan-display-bench-" + std::to_string(getpid()));
  // Settings of its own: the window opens at its first size, not at the
  // size some earlier run left it (a larger box lays out and paints more).
  const std::filesystem::path config = folder.string() + "-config";
  std::filesystem::create_directories(config);
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
  QApplication app(argc, argv);

  // Links whose target is missing are listed by the walk and fail to open.
  std::filesystem::create_directories(folder);
  for (int i = 0; i < lines; ++i)
    std::filesystem::create_symlink("/nonexistent", folder / ("file-" + std::to_string(i) + ".vlk"));
  std::vector<velkscan::Text> names = {folder.string()};
  velkscan::MainDialog dialog(names);
  std::filesystem::remove_all(folder);
  dialog.job().settings.idlePriority = false;
  dialog.show();
  names.clear();
  names.shrink_to_fit();
  QApplication::processEvents();

  int updates = 0;
  QObject::connect(dialog.reportBox()->document(), &QTextDocument::contentsChange, [&] { ++updates; });
  auto lastTick = std::chrono::steady_clock::now();
  double longestWait = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const auto now = std::chrono::steady_clock::now();
    longestWait = std::max(longestWait, std::chrono::duration<double, std::milli>(now - lastTick).count());
    lastTick = now;
  });
  probe.start(10);

  const long kbBefore = ResidentKb();
  const double cpuBefore = ThreadSeconds();
  const auto start = std::chrono::steady_clock::now();
  dialog.button()->click();
  // processEvents with a time limit drops WaitForMoreEvents and returns at
  // once when nothing is queued: this loop would spin and count its own
  // turns as the window's. Without one it sleeps until an event (the probe
  // comes every 10 ms).
  while (dialog.job().running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  dialog.job().WaitForWorker();
  // The last changes, up to the summary.
  const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  // (The box holds no line break after its last line.)
  while (!dialog.reportBox()->document()->lastBlock().text().startsWith(QStringLiteral("Scanned")) &&
         std::chrono::steady_clock::now() < waitUntil) {
    QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  const double cpu = ThreadSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long kbAfter = ResidentKb();

  const QString shown = dialog.reportBox()->toPlainText();
  const double reportMb = shown.toUtf8().size() / 1048576.0;
  std::printf("lines                  %d (%d lines in the box)\n", lines, dialog.reportBox()->blockCount());
  std::printf("report                 %.1f MB\n", reportMb);
  std::printf("report box             %d x %d px\n", dialog.reportBox()->width(),
              dialog.reportBox()->height());
  std::printf("window thread CPU      %.3f s (wall %.2f s)\n", cpu, wall);
  std::printf("box updates            %d\n", updates);
  std::printf("longest 10 ms tick     %.1f ms\n", longestWait);
  std::printf("memory taken           %.1f MB (%.1f x the report; job's own copy included)\n",
              (kbAfter - kbBefore) / 1024.0, (kbAfter - kbBefore) / 1024.0 / reportMb);
  std::filesystem::remove_all(config);
  return shown.endsWith(QStringLiteral(" errors with %1.").arg(lines)) ? 0 : 1;
}
