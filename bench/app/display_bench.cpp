// What a flood of report lines costs the Qt window: a real scan job over a
// folder of N links that lead nowhere (one "file open failed." line each, as
// fast as the worker can write them), shown by the real window on the offscreen
// platform, first with the report box alone (the window before it had a
// table: its rows not kept), then with the table fed. Prints for each the
// window thread's processor time, the longest wait of a 10 ms timer (how
// late input would be served), the box updates and the memory taken; then
// what appending rows costs early and late, and how long sorting and
// filtering all the rows take.
//
//   qt_display_bench [LINES]   (default 100000)
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTextBlock>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "qt/maindialog.h"
#include "qt/resultsview.h"

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

struct Flood {
  double cpu = 0, wall = 0, longestWait = 0, reportMb = 0, memoryMb = 0;
  int updates = 0, boxLines = 0;
  QSize box;
  bool whole = false;
  // Window-thread time of the first and the last batch of rows, per row.
  double firstRowsUs = 0, lastRowsUs = 0;
  int batches = 0, firstBatch = 0, lastBatch = 0;
  double sortMs[3] = {}, filterMs[3] = {}, sortCpuMs[3] = {}, filterCpuMs[3] = {};
};

// One flood of `lines` lines through a window of its own, with its table
// fed or not (the window as it was before it had one).
Flood RunFlood(int lines, bool table) {
  Flood result;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("velkscan-display-bench-" + std::to_string(getpid()));
  // Links whose target is missing are listed by the walk and fail to open.
  std::filesystem::create_directories(folder);
  for (int i = 0; i < lines; ++i)
    std::filesystem::create_symlink("/nonexistent", folder / ("file-" + std::to_string(i) + ".vlk"));
  std::vector<velkscan::Text> names = {folder.string()};
  velkscan::MainDialog dialog(names);
  std::filesystem::remove_all(folder);
  dialog.job().settings.idlePriority = false;
  velkscan::ResultsModel* model = dialog.results()->model();
  model->fed = table;
  dialog.show();
  names.clear();
  names.shrink_to_fit();
  QApplication::processEvents();

  QObject::connect(dialog.reportBox()->document(), &QTextDocument::contentsChange, [&] { ++result.updates; });
  auto lastTick = std::chrono::steady_clock::now();
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const auto now = std::chrono::steady_clock::now();
    result.longestWait =
        std::max(result.longestWait, std::chrono::duration<double, std::milli>(now - lastTick).count());
    lastTick = now;
  });
  probe.start(10);
  double batchStart = 0, firstSeconds = 0, lastSeconds = 0;
  int firstRows = 0, lastRows = 0;
  QObject::connect(model, &QAbstractItemModel::rowsAboutToBeInserted, [&] { batchStart = ThreadSeconds(); });
  QObject::connect(model, &QAbstractItemModel::rowsInserted, [&](const QModelIndex&, int first, int last) {
    const double spent = ThreadSeconds() - batchStart;
    // The first batch, and the last one (the batch that reaches the end).
    if (first == 0) firstSeconds = spent, firstRows = last - first + 1;
    lastSeconds = spent, lastRows = last - first + 1;
    ++result.batches;
  });

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
  result.cpu = ThreadSeconds() - cpuBefore;
  result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.memoryMb = (ResidentKb() - kbBefore) / 1024.0;
  probe.stop();
  result.firstBatch = firstRows, result.lastBatch = lastRows;
  if (firstRows > 0) result.firstRowsUs = firstSeconds * 1e6 / firstRows;
  if (lastRows > 0) result.lastRowsUs = lastSeconds * 1e6 / lastRows;

  const QString shown = dialog.reportBox()->toPlainText();
  result.reportMb = shown.toUtf8().size() / 1048576.0;
  result.boxLines = dialog.reportBox()->blockCount();
  result.box = dialog.reportBox()->size();
  result.whole =
      shown.endsWith(QStringLiteral(" errors with %1.").arg(lines)) && (!table || model->rowCount() == lines);
  if (!table) return result;
  // Sorting and filtering the rows, each until the view has its answer.
  // Wall time, and the window thread's processor time in cpuMs.
  double cpuMs = 0;
  auto timed = [&cpuMs](const auto& what) {
    const auto begin = std::chrono::steady_clock::now();
    const double cpu = ThreadSeconds();
    what();
    QApplication::processEvents();
    cpuMs = (ThreadSeconds() - cpu) * 1000;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  };
  QTableView* view = dialog.results()->table();
  const int columns[3] = {velkscan::ResultsModel::kName, velkscan::ResultsModel::kFolder,
                          velkscan::ResultsModel::kVerdict};
  for (int i = 0; i < 3; ++i)
    result.sortMs[i] =
        timed([&] { view->sortByColumn(columns[i], i == 1 ? Qt::DescendingOrder : Qt::AscendingOrder); }),
    result.sortCpuMs[i] = cpuMs;
  const velkscan::ResultsFilter::Show shows[3] = {velkscan::ResultsFilter::kEverything,
                                                  velkscan::ResultsFilter::kChecked,
                                                  velkscan::ResultsFilter::kAttention};
  for (int i = 0; i < 3; ++i)
    result.filterMs[i] = timed([&] { dialog.results()->showBox()->setCurrentIndex(shows[i]); }),
    result.filterCpuMs[i] = cpuMs;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  // Settings of its own: the window opens at its first size, not at the
  // size some earlier run left it (a larger box lays out and paints more).
  const std::filesystem::path config = std::filesystem::temp_directory_path() /
                                       ("velkscan-display-bench-" + std::to_string(getpid()) + "-config");
  std::filesystem::create_directories(config);
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.string()));
  QApplication app(argc, argv);

  // The report box alone first (as before the table), then with the table.
  const Flood box = RunFlood(lines, false);
  const Flood both = RunFlood(lines, true);
  std::printf("lines                  %d (%d lines in the box)\n", lines, both.boxLines);
  std::printf("report                 %.1f MB\n", both.reportMb);
  std::printf("report box             %d x %d px\n", both.box.width(), both.box.height());
  std::printf("                       without the table   with it\n");
  std::printf("window thread CPU      %8.3f s          %8.3f s   (%.2fx; wall %.2f s and %.2f s)\n", box.cpu,
              both.cpu, both.cpu / box.cpu, box.wall, both.wall);
  std::printf("box updates            %8d            %8d\n", box.updates, both.updates);
  std::printf("longest 10 ms tick     %8.1f ms         %8.1f ms\n", box.longestWait, both.longestWait);
  std::printf(
      "memory taken           %8.1f MB         %8.1f MB   (%.1f x the report with the table; job's own copy "
      "included)\n",
      box.memoryMb, both.memoryMb, both.memoryMb / both.reportMb);
  std::printf(
      "rows appended          %d batches: the first %.2f us per row (%d rows), the last %.2f us per row (%d "
      "rows; window thread)\n",
      both.batches, both.firstRowsUs, both.firstBatch, both.lastRowsUs, both.lastBatch);
  std::printf(
      "sort %d rows (wall, processor)    by name %.0f, %.0f ms; by folder (descending) %.0f, %.0f ms; by "
      "verdict %.0f, %.0f ms\n",
      lines, both.sortMs[0], both.sortCpuMs[0], both.sortMs[1], both.sortCpuMs[1], both.sortMs[2],
      both.sortCpuMs[2]);
  std::printf(
      "filter %d rows (wall, processor)  everything %.0f, %.0f ms; all checked %.0f, %.0f ms; needing "
      "attention %.0f, %.0f ms\n",
      lines, both.filterMs[0], both.filterCpuMs[0], both.filterMs[1], both.filterCpuMs[1], both.filterMs[2],
      both.filterCpuMs[2]);
  std::filesystem::remove_all(config);
  return box.whole && both.whole ? 0 : 1;
}
