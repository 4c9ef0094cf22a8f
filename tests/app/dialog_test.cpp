// The window on the offscreen platform: its look, the state table of the
// display (initial, files queued, scanning, finished, stopped), Enter and
// Escape, drops while idle and during a scan, and closing during a scan.
#include <sched.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <cmath>
#include <memory>

#include "apptest.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

// A drag enters the window and is dropped, as a file manager does it. The
// drop is sent even when the drag was refused, so the window's own guard
// is tried as well. Returns whether the drag was taken.
bool Drop(MainDialog& dialog, const std::vector<QUrl>& urls) {
  QMimeData data;
  data.setUrls(QList<QUrl>(urls.begin(), urls.end()));
  const QPoint position = dialog.rect().center();
  QDragEnterEvent enter(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  QDropEvent drop(QPointF(position), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &drop);
  return enter.isAccepted();
}

bool Drop(MainDialog& dialog, const std::vector<fs::path>& paths) {
  std::vector<QUrl> urls;
  for (const fs::path& path : paths) urls.push_back(QUrl::fromLocalFile(ToQ(path)));
  return Drop(dialog, urls);
}

QString BoxText(QString report) {
  return report.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

bool HasIdleThread() {
  for (const ThreadFigures& thread : ThreadsOf("self")) {
    if (thread.policy == SCHED_IDLE) return true;
  }
  return false;
}

}  // namespace

class DialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();

  void initialWindowAndLayout();
  void startupFilesAreQueued();
  void dropsWhileIdle();
  void scanRunsToItsReport();
  void scanningRefusesDropsAndStopsWithEnter();
  void closingDuringScanLeavesFilesWhole();
  void overlongPathsAreTold();

 private:
  std::unique_ptr<ScratchDir> shared_;
  fs::path master_;
  gen::Bytes masterBytes_;
};

void DialogTest::initTestCase() {
  shared_ = std::make_unique<ScratchDir>("app_dialog_shared");
  master_ = shared_->path() / "master.vlk";
  LongJob::WriteMaster(master_);
  masterBytes_ = ReadBytes(master_);
}

void DialogTest::cleanupTestCase() {
  shared_.reset();
}

void DialogTest::initialWindowAndLayout() {
  MainDialog dialog;
  VELK_SHOW(dialog);
  VELK_EXPECT_IDLE(dialog, kPrompt, false);
  QCOMPARE(dialog.windowTitle(), QStringLiteral("Velkscan"));
  QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  QVERIFY(dialog.button()->isDefault());
  QVERIFY(dialog.reportBox()->isReadOnly());
  QCOMPARE(dialog.reportBox()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QCOMPARE(dialog.progressBar()->minimum(), 0);
  QCOMPARE(dialog.progressBar()->maximum(), 100);
  QVERIFY(!dialog.progressBar()->isTextVisible());
  QCOMPARE(dialog.reportText(), QString());
  QCOMPARE(dialog.minimumSize(), dialog.maximumSize());  // not resizable

  // Template 101: 212 x 114 units; the box spans 7..205 across and 7..92
  // down; progress bar (7..153) and button (155..205) share the row 93..107.
  // Its proportions, to within a pixel of rounding:
  const QRect box = dialog.reportBox()->geometry(), bar = dialog.progressBar()->geometry(),
              button = dialog.button()->geometry();
  const QSize size = dialog.size();
  const double unitX = size.width() / 212.0, unitY = size.height() / 114.0;
  const std::pair<int, double> edges[] = {{box.left(), 7 * unitX},      {box.top(), 7 * unitY},
                                          {box.width(), 198 * unitX},   {box.height(), 85 * unitY},
                                          {bar.left(), 7 * unitX},      {bar.width(), 146 * unitX},
                                          {button.left(), 155 * unitX}, {button.width(), 50 * unitX}};
  for (const auto& [pixels, expected] : edges)
    QVERIFY2(std::abs(pixels - expected) <= 1.5, qPrintable(QString::number(pixels)));
  QCOMPARE(bar.top(), button.top());
  QCOMPARE(bar.height(), button.height());
  QCOMPARE(box.right(), button.right());
  QVERIFY(bar.right() < button.left());
  QVERIFY(box.bottom() < button.top());
  // A dialog unit is a quarter of the font's average letter and an eighth
  // of its height: the window is some 53 letters wide and 14 lines high.
  const QFontMetrics metrics(dialog.font());
  QVERIFY(std::abs(size.height() - 114.0 * metrics.height() / 8) <= 1.5);
  QVERIFY(size.width() > 40 * metrics.averageCharWidth() && size.width() < 70 * metrics.averageCharWidth());

  // The desktop's font decides the size: twice the font, twice the window.
  const QFont normal = QApplication::font();
  QFont big = normal;
  big.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(big);
  MainDialog bigDialog;
  QApplication::setFont(normal);
  const double ratio = static_cast<double>(bigDialog.height()) / size.height();
  QVERIFY2(ratio > 1.7 && ratio < 2.3, qPrintable(QString::number(ratio)));
}

void DialogTest::startupFilesAreQueued() {
  ScratchDir dir("app_dialog");
  const fs::path a = WriteStream(dir / "a.vlk", 10, 1);
  const fs::path b = WriteStream(dir / "sub" / "b.VKQ", 10, 2);
  const fs::path c = WriteStream(dir / "sub" / "deeper" / "c.vqk", 10, 3);
  WriteText(dir / "sub" / "notes.txt", "not for the list");
  const QByteArray line = CommandLineOf({a, dir / "sub", dir / "missing.txt"});
  MainDialog dialog(TextView(line.constData(), line.size()));
  dialog.show();
  QVERIFY(QTest::qWaitForWindowActive(&dialog));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("3 files waiting for scanning..."), true);
  QVERIFY(dialog.button()->hasFocus());
  // In the order named; folders walked depth-first, entries by name.
  QVERIFY(ListedPaths(dialog) == Strings({a, b, c}));

  const QByteArray one = CommandLineOf({a});
  MainDialog single(TextView(one.constData(), one.size()));
  VELK_EXPECT_IDLE(single, QStringLiteral("1 file waiting for scanning..."), true);
}

void DialogTest::dropsWhileIdle() {
  ScratchDir dir("app_dialog");
  const fs::path folder = dir / "folder";
  const fs::path x = WriteStream(folder / "x.vlk", 10, 1);
  const fs::path y = WriteStream(folder / "inner" / "y.vkq", 10, 2);
  const fs::path z = WriteStream(dir / "z.vqk", 10, 3);
  MainDialog dialog;
  VELK_SHOW(dialog);

  // Nothing local in it: the drag is refused. Only another extension:
  // taken, but nothing changes.
  QVERIFY(!Drop(dialog, std::vector<QUrl>{QUrl(QStringLiteral("https://example.org/a.vlk"))}));
  QVERIFY(Drop(dialog, {WriteText(dir / "notes.txt", "text")}));
  VELK_EXPECT_IDLE(dialog, kPrompt, false);
  // A folder: walked; the button is enabled and takes the focus.
  QVERIFY(Drop(dialog, {folder}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("2 files waiting for scanning..."), true);
  // The same files again, by folder and by name: listed once.
  QVERIFY(Drop(dialog, {folder, x}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("2 files waiting for scanning..."), true);
  // One more: the count moves on.
  QVERIFY(Drop(dialog, {z}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("3 files waiting for scanning..."), true);
  QVERIFY(ListedPaths(dialog) == Strings({y, x, z}));
}

void DialogTest::scanRunsToItsReport() {
  ScratchDir dir("app_dialog");
  const fs::path good = WriteStream(dir / "1-good.vlk", 40, 1);
  const fs::path broken = WriteStream(dir / "2-broken.vlk", 40, 2, Kind::Broken);
  const fs::path tagged = WriteStream(dir / "3-tagged.vkq", 40, 3, Kind::Tagged);
  const fs::path strange = WriteText(dir / "4-strange.vqk", "no Velk stream in here at all, only text");
  const gen::Bytes goodBefore = ReadBytes(good), brokenBefore = ReadBytes(broken),
                   taggedBefore = ReadBytes(tagged);
  MainDialog dialog;
  VELK_SHOW(dialog);
  dialog.AddForwardedCommandLine(CommandLineOf({dir.path()}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("4 files waiting for scanning..."), true);

  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  // Finished: the report stays in the box, the list is empty.
  const QString report = dialog.reportText();
  QVERIFY2(report.startsWith(QStringLiteral("Scanning 4 files...\r\n")), qPrintable(report));
  QVERIFY2(report.endsWith(QStringLiteral("----------\r\nScanned 4 files, errors with 2.\r\n")),
           qPrintable(report));
  QVERIFY(report.contains(ToQ(broken) + QStringLiteral(": broken after frame ")));
  QVERIFY(report.contains(ToQ(tagged) + QStringLiteral(": invalid Velk, contains ID3v2 tag!\r\n")));
  QVERIFY(report.contains(ToQ(strange) + QStringLiteral(": unrecognized format (")));
  VELK_EXPECT_IDLE(dialog, BoxText(report), false);
  QCOMPARE(dialog.job().fileCount(), 0u);
  // Only the broken file was written to.
  QCOMPARE(ReadBytes(good), goodBefore);
  QCOMPARE(ReadBytes(tagged), taggedBefore);
  QVERIFY(ReadBytes(broken) != brokenBefore);
  QCOMPARE(ReadBytes(broken).size(), brokenBefore.size());

  // It stays until files are added, which bring the queued count.
  QTest::qWait(200);
  VELK_EXPECT_IDLE(dialog, BoxText(report), false);
  QVERIFY(Drop(dialog, {good}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("1 file waiting for scanning..."), true);
  // A second job after the first one's worker has ended.
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_EXPECT_IDLE(
      dialog, QStringLiteral("Scanning 1 file...\n----------\nScanned 1 file, no errors found.\n"), false);
}

void DialogTest::scanningRefusesDropsAndStopsWithEnter() {
  ScratchDir dir("app_dialog");
  const LongJob job(master_, dir / "long");
  const fs::path extra = WriteStream(dir / "extra.vlk", 10, 1);
  MainDialog dialog;
  dialog.show();
  QVERIFY(QTest::qWaitForWindowActive(&dialog));
  // Button disabled: Enter does nothing; Escape never closes the window.
  QTest::keyClick(dialog.reportBox(), Qt::Key_Return);
  QTest::keyClick(&dialog, Qt::Key_Escape);
  QTest::keyClick(dialog.reportBox(), Qt::Key_Escape);
  QVERIFY(dialog.isVisible());
  VELK_EXPECT_IDLE(dialog, kPrompt, false);
  QVERIFY(Drop(dialog, {job.directory()}));
  VELK_EXPECT_IDLE(dialog, QStringLiteral("50 files waiting for scanning..."), true);
  QTest::keyClick(&dialog, Qt::Key_Escape);
  QVERIFY(dialog.isVisible());
  QVERIFY(!dialog.job().running());

  // Enter, wherever the focus is, presses the enabled button: Scan...
  QTest::keyClick(dialog.reportBox(), Qt::Key_Return);
  QVERIFY(dialog.job().running());
  QCoreApplication::sendPostedEvents();
  QCOMPARE(dialog.button()->text(), QStringLiteral("Stop"));
  QVERIFY(dialog.button()->isEnabled());
  QVERIFY(!dialog.acceptDrops());
  QVERIFY(dialog.reportBox()->toPlainText().startsWith(QStringLiteral("Scanning 50 files...\n")));
  QTRY_VERIFY_WITH_TIMEOUT(HasIdleThread(), 60000);  // the worker runs in the idle scheduling class
  QVERIFY(!Drop(dialog, {extra}));                   // not taken during a scan
  QTest::keyClick(dialog.reportBox(), Qt::Key_Escape);
  QTest::keyClick(&dialog, Qt::Key_Escape);
  QVERIFY(dialog.isVisible());
  QCOMPARE(dialog.job().fileCount(), 50u);
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");

  // ... and Stop (the keypad's Enter too): the clean reset, without a summary.
  QTest::keyClick(dialog.button(), Qt::Key_Enter, Qt::KeypadModifier);
  QVERIFY(!dialog.job().running());
  VELK_EXPECT_IDLE(dialog, kPrompt, false);
  QCOMPARE(dialog.job().fileCount(), 0u);
  QCOMPARE(dialog.job().files().totalBytes, uint64_t{0});
  QVERIFY(!dialog.reportText().contains(QStringLiteral("Scanned")));
  QCOMPARE(ReadBytes(job.file(0)), masterBytes_);
  // A stopped job lost its list: Enter has nothing to start.
  QTest::keyClick(dialog.reportBox(), Qt::Key_Return);
  QVERIFY(!dialog.job().running());
}

void DialogTest::closingDuringScanLeavesFilesWhole() {
  ScratchDir dir("app_dialog");
  const fs::path first = WriteStream(dir / "a" / "first.vlk", 60, 11, Kind::Broken);
  const LongJob job(master_, dir / "b");
  const fs::path last = WriteStream(dir / "c" / "last.vlk", 60, 12, Kind::Broken);
  const gen::Bytes firstBefore = ReadBytes(first), lastBefore = ReadBytes(last);

  auto dialog = std::make_unique<MainDialog>();
  // This test waits for the bar to move: a worker in the idle class would
  // wait for every other test running beside it.
  dialog->job().idlePriority = false;
  VELK_SHOW(*dialog);
  dialog->AddForwardedCommandLine(CommandLineOf({first, job.directory(), last}));
  VELK_SETTLE(*dialog);
  QTest::mouseClick(dialog->button(), Qt::LeftButton);
  // Once the first file has been reported (and repaired) and the bar
  // moves through the long files, close mid-job.
  QTRY_VERIFY_WITH_TIMEOUT(dialog->reportText().contains(QStringLiteral("broken after frame")), 60000);
  QTRY_VERIFY_WITH_TIMEOUT(dialog->progressBar()->value() > 0, 60000);
  QVERIFY2(dialog->job().running(), "the job ended before the test was done with it");

  QVERIFY(dialog->close());
  // The worker has stopped before close() returned: nothing runs on.
  QVERIFY(!dialog->job().running());
  QVERIFY(!HasIdleThread());
  dialog.reset();

  QVERIFY(ReadBytes(first) != firstBefore);  // finished before the close
  QCOMPARE(ReadBytes(first).size(), firstBefore.size());
  for (int i = 0; i < LongJob::kNames; i += 7) QCOMPARE(ReadBytes(job.file(i)), masterBytes_);
  QCOMPARE(ReadBytes(last), lastBefore);  // never reached
}

void DialogTest::overlongPathsAreTold() {
  MainDialog dialog;
  VELK_SHOW(dialog);
  const std::string overlong = "/" + std::string(5000, 'a') + ".vlk";
  dialog.AddForwardedCommandLine(QByteArray::fromStdString(overlong));
  auto* box = dialog.findChild<QMessageBox*>(QStringLiteral("overlongPathsBox"));
  QVERIFY(box != nullptr);
  QVERIFY(box->isVisible());
  QVERIFY(box->text().contains(QString::fromStdString(overlong)));
  VELK_EXPECT_IDLE(dialog, kPrompt, false);
  box->close();
}

QTEST_MAIN(DialogTest)
#include "dialog_test.moc"
