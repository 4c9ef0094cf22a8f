// The README's pictures of the window: the real window on the offscreen
// platform over a library, grabbed after its Scan (docs/screenshots.sh runs
// it over a library velkgen writes).
//
//   qt_window_screenshots LIBRARY OUTDIR
//
// OUTDIR/window.png: the window at its first size once the run is over (the
// files that need attention); OUTDIR/window-damage.png: larger, every file
// listed and the damage strip of a broken file shown.
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>
#include <cstdio>

#include "qt/choices.h"
#include "qt/maindialog.h"
#include "qt/resultsview.h"

namespace {

void Settle(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Save(QWidget& window, const QString& path) {
  if (window.grab().save(path)) return true;
  std::fprintf(stderr, "qt_window_screenshots: %s could not be written\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: qt_window_screenshots LIBRARY OUTDIR\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[2]);
  velkscan::MainDialog dialog({velkscan::Text(argv[1])});
  dialog.job().settings.idlePriority = false;
  dialog.choices()->brokenBox()->setCurrentIndex(velkscan::Choices::kRepair);
  dialog.show();
  Settle(200);
  dialog.button()->click();
  while (dialog.job().running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  dialog.job().WaitForWorker();
  Settle(800);
  if (!Save(dialog, out + "/window.png")) return 1;

  dialog.resize(1100, 760);
  velkscan::ResultsView& results = *dialog.results();
  results.showBox()->setCurrentIndex(velkscan::ResultsFilter::kChecked);
  results.table()->sortByColumn(velkscan::ResultsModel::kVerdict, Qt::DescendingOrder);
  QAbstractItemModel* rows = results.table()->model();
  // A file with good frames after its damage, else any broken one.
  int shown = -1;
  for (int row = 0; row < rows->rowCount(); ++row) {
    if (!rows->index(row, velkscan::ResultsModel::kVerdict).data().toString().startsWith("broken at"))
      continue;
    if (shown < 0 || rows->index(row, velkscan::ResultsModel::kName).data().toString().startsWith("flip"))
      shown = row;
  }
  for (int row = shown; row >= 0; row = -1) {
    results.table()->setCurrentIndex(rows->index(row, 0));
    results.table()->scrollTo(rows->index(row, 0), QAbstractItemView::PositionAtCenter);
    results.damageAction()->trigger();
  }
  results.table()->setFocus();
  Settle(500);
  return Save(dialog, out + "/window-damage.png") ? 0 : 1;
}
