// The window's report box and progress through the event queue: a flood of lines the box follows while a
// selection stays, a drop joins the scan and the progress runs, Stop keeps the report, the progress line of a
// known library, the report against velkscan-cli's for each choice for broken files, a line's path and
// folder, the saved report against velkscan-cli's (asked before replacing, a failing write: failio
// preloaded).
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <atomic>
#include <chrono>
#include <thread>

#include "../support/snapshot.h"
#include "apptest.h"
#include "urlcatcher.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

// Ctrl+S, then the file dialog's answer path; then, when the window asks whether to replace
// a file, the answer given (the question's absence when answer is 0).
void Save(MainDialog& dialog, const fs::path& path,
          QMessageBox::StandardButton answer = QMessageBox::NoButton) {
  dialog.activateWindow();  // the offscreen platform gives it back to no window
  QVERIFY(QTest::qWaitForWindowActive(&dialog));
  QTest::keyClick(&dialog, Qt::Key_S, Qt::ControlModifier);
  QFileDialog* chooser = nullptr;
  QTRY_VERIFY((chooser = dialog.findChild<QFileDialog*>("saveReportDialog")) && chooser->isVisible());
  chooser->selectFile(QString::fromStdString(path.string()));
  QMetaObject::invokeMethod(chooser, "accept");
  QMessageBox* ask = dialog.findChild<QMessageBox*>("replaceFileBox");
  QCOMPARE(ask != nullptr, answer != QMessageBox::NoButton);
  if (ask != nullptr) ask->button(answer)->click();
  QTest::qWait(50);  // the boxes go at the next turn
}

}  // namespace

class ReportBoxTest : public QObject {
  Q_OBJECT

 private slots:
  void floodOfLinesKeepsTheBoxUsable();
  void eachChoiceMatchesTheCommandLineProgram();
  void progressLineOfAKnownLibrary();
};

void ReportBoxTest::floodOfLinesKeepsTheBoxUsable() {
  constexpr int kFiles = 10000;
  Scratch dir;
  const fs::path master = WriteStream(dir / "master.bin", 16, 5, true);
  WriteStream(dir / "more" / "whole.vlk", 16, 6);
  fs::create_directories(dir / "flood");
  for (int i = 0; i < kFiles; ++i)
    fs::copy_file(master, dir / "flood" / ("f" + std::to_string(10000 + i) + ".vlk"));
  MainDialog dialog;
  dialog.job().settings.idlePriority = false;  // else it waits for every other test beside it
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);  // the hook below holds rewrites
  // However fast the check, lines come in while the test looks: over the last 200 files
  // the worker slows to 100 a second, and before the last it waits for the Stop.
  std::atomic<int> rewrites{0};
  dialog.job().hooks.beforeRewrite = [&](TextView, const FileOutcome&) {
    const int n = ++rewrites;
    for (int i = 0; n > kFiles - 200 && (i == 0 || n == kFiles) && dialog.job().running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  };
  VELK_SHOW(dialog);
  QVERIFY(Drop(dialog, dir / "flood"));
  QCOMPARE(dialog.job().fileCount(), static_cast<uint32_t>(kFiles));
  int boxUpdates = 0;
  double addedChars = 0;
  connect(dialog.reportBox()->document(), &QTextDocument::contentsChange,
          [&](int, int, int added) { ++boxUpdates, addedChars += added; });
  QTRY_VERIFY(dialog.button()->isEnabled());
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  // The bar and the progress line run (their first figures come when the machine lets them).
  // The file in hand named after the figures, its middle elided where there is no room.
  const QRegularExpression figures(
      "^(\\d+)/(10000|10001) files, [0-9.]+/[0-9.]+ MB, [0-9.]+ MB/s, \\S+ left \u2014 .*vlk$");
  QTRY_VERIFY_WITH_TIMEOUT(
      figures.match(dialog.figuresLine()->text()).hasMatch() && dialog.progressBar()->value() > 0, kHangMs);
  const QRegularExpressionMatch early = figures.match(dialog.figuresLine()->text());
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");
  QVERIFY(Drop(dialog, dir / "more"));  // a drop joins the scan
  // The box follows the end and stays where the user scrolled to.
  QPlainTextEdit* box = dialog.reportBox();
  QScrollBar* bar = box->verticalScrollBar();
  QTRY_VERIFY(bar->maximum() > 0);
  QCOMPARE(bar->value(), bar->maximum());
  bar->setValue(0);
  QTest::qWait(400);
  QCOMPARE(bar->value(), 0);
  // Ctrl+End shows the last line (and the box follows the end again).
  QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
  QVERIFY(bar->value() >= bar->maximum() - 1);
  QTest::qWait(400);
  QCOMPARE(bar->value(), bar->maximum());
  // Ctrl+A selects the lines there are, not those appended after it.
  QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
  const int selected = box->textCursor().selectionEnd();
  QTest::qWait(400);
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");
  QVERIFY(box->document()->characterCount() > selected + 1);
  QCOMPARE(box->textCursor().selectionStart(), 0);
  QCOMPARE(box->textCursor().selectionEnd(), selected);
  QCOMPARE(bar->value(), bar->maximum());
  QVERIFY(figures.match(dialog.figuresLine()->text()).captured(1).toInt() > early.captured(1).toInt());
  QTRY_VERIFY(Report(dialog).contains("\n1 file joined the scan.\n"));
  QTRY_COMPARE(figures.match(dialog.figuresLine()->text()).captured(2), QString("10001"));
  const auto stop = std::chrono::steady_clock::now();
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QVERIFY(!dialog.job().running());
  qInfo("Stop under the flood: %.0f ms",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stop).count());
  // Every line stays, and the last says how far the scan came.
  const QRegularExpression stopped(
      "(?s)^Scanning 10000 files...\n.*\nStopped after (\\d+) of 10001 files\\.$");
  QTRY_VERIFY(stopped.match(Report(dialog)).hasMatch());
  QVERIFY(Report(dialog).count(": broken after") == stopped.match(Report(dialog)).captured(1).toInt() &&
          dialog.progressBar()->value() > 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // One update per repaint interval and one per slice of a long text (the
  // start and the Stop replace the text), not one per line.
  const double slices = addedChars / QtDisplay::kSliceBytes;
  const double intervals = seconds / std::chrono::duration<double>(QtDisplay::kRepaintInterval).count();
  QVERIFY2(boxUpdates <= 10 + intervals + slices, qPrintable(QString("%1 slices").arg(slices)));
  // The folder that joined the stopped scan is not one the next scan's copies keep their place below.
  WriteStream(dir / "more" / "sub" / "broken.vlk", 16, 7, true);
  dialog.choices()->SetSalvageFolder(QString::fromStdString((dir / "copies").string()));
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kSalvage);
  QVERIFY(Drop(dialog, dir / "more" / "sub" / "broken.vlk"));
  QTRY_VERIFY(dialog.button()->isEnabled());
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY2(fs::exists(dir / "copies" / "broken.vlk"), qPrintable(Report(dialog).right(1500)));
}

// Whatever becomes of broken files, the window's report (one line for an only-reported file), the files and
// the copies it leaves are velkscan-cli's with as many checkers as the window has by default, one per
// processor. Of a repair's report, a broken line's path (with its ": ") goes to the clipboard and its folder
// to the desktop; saved, it is velkscan-cli's to the byte (asked before replacing, a failing write: failio).
void ReportBoxTest::eachChoiceMatchesTheCommandLineProgram() {
  Scratch dir;
  const QString jobs = QString::number(std::max(1u, std::thread::hardware_concurrency()));
  const QString copies = QString::fromStdString((dir / "copies").string());
  struct Case {
    Choices::Broken broken;
    QStringList options;  // velkscan-cli's for the same choice
  };
  const Case cases[] = {{Choices::kRepair, {"--repair"}},
                        {Choices::kSalvage, {"--map", "--salvage", copies}},
                        {Choices::kReport, {}}};
  // A folder's files and their bytes, by their paths below it.
  auto files = [](const fs::path& root) {
    test::Snapshot found;
    if (fs::exists(root))
      for (auto& [path, bytes] : test::Take(root)) found[path.substr(root.string().size())] = bytes;
    return found;
  };
  for (const Case& c : cases) {
    for (const char* side : {"window", "cli"}) {
      fs::remove_all(dir / side);
      gen::GenerateLibrary(dir / side / "lib", {0.5, 7});
      WriteStream(dir / side / "lib" / "with space" / "x: y.vlk", 30, 3, true);
    }
    const test::Snapshot before = files(dir / "cli");
    fs::remove_all(dir / "copies");
    Program cli(VELKSCAN_CLI, c.options + QStringList{"-j", jobs, "lib", "missing.vlk"}, dir / "cli");
    QTRY_VERIFY_WITH_TIMEOUT(!cli.running(), kHangMs);
    // The report to its summary: what follows it (what was repaired or salvaged) is the terminal's own.
    QByteArray cliReport = cli.output();
    cliReport.truncate(cliReport.indexOf('\n', cliReport.lastIndexOf("\nScanned ") + 1) + 1);
    const QString expected = QString::fromUtf8(cliReport);
    QVERIFY2(expected.contains("broken after frame"), qPrintable(expected));
    const test::Snapshot cliCopies = files(dir / "copies");
    fs::remove_all(dir / "copies");
    // Both name the library by the same relative path, so the paths agree.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QString::fromStdString((dir / "window").string())));
    QString report;
    {
      MainDialog dialog({"lib", "missing.vlk"});
      dialog.job().settings.idlePriority = false;
      QCOMPARE(dialog.choices()->checkersBox()->value(), jobs.toInt());
      dialog.choices()->SetSalvageFolder(copies);
      dialog.choices()->brokenBox()->setCurrentIndex(c.broken);
      VELK_SHOW(dialog);
      QTest::mouseClick(dialog.button(), Qt::LeftButton);
      VELK_SETTLE(dialog);
      QCOMPARE(dialog.job().settings.checkers, static_cast<uint32_t>(jobs.toInt()));
      report = Report(dialog) + '\n';
      // No empty line after the summary: Ctrl+End goes to it.
      QPlainTextEdit* box = dialog.reportBox();
      QTest::keyClick(box, Qt::Key_End, Qt::ControlModifier);
      QCOMPARE(box->textCursor().block().text() + '\n', report.section('\n', -2));
      if (c.broken == Choices::kRepair) {
        box->setTextCursor(QTextCursor(box->document()->find("y.vlk: broken")));
        QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("lib/with space/x: y.vlk"));
        UrlCatcher desktop;
        QDesktopServices::setUrlHandler("file", &desktop, "open");
        QTest::keyClick(box, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(desktop.urls, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(
                                   (dir / "window" / "lib" / "with space").string()))});
        const fs::path saved = dir / "saved.txt";
        Save(dialog, saved);
        QCOMPARE(ReadAll(saved), cliReport);
        // Onto a file there: asked first; kept on No, and when the write fails.
        QFile(QString::fromStdString(saved.string())).resize(3);
        const QByteArray kept = ReadAll(saved);
        Save(dialog, saved, QMessageBox::No);
        qputenv("VELKSCAN_FAIL_WRITE", ".velkscan-partial");
        Save(dialog, saved, QMessageBox::Yes);
        qunsetenv("VELKSCAN_FAIL_WRITE");
        QMessageBox* failed = nullptr;
        QTRY_VERIFY((failed = dialog.findChild<QMessageBox*>("saveFailedBox")));
        QVERIFY2(failed->text().contains("saved.txt (Input/output error)"), qPrintable(failed->text()));
        failed->close();
        QCOMPARE(ReadAll(saved), kept);
        QCOMPARE(QDir(dir.dir.path()).entryList(QDir::Files), QStringList{"saved.txt"});
        Save(dialog, saved, QMessageBox::Yes);
        QCOMPARE(ReadAll(saved), cliReport);
        // Writes cut short: the rest follows, and the file is whole.
        QFile(QString::fromStdString(saved.string())).resize(3);
        qputenv("VELKSCAN_SHORT_WRITE", ".velkscan-partial:7");
        Save(dialog, saved, QMessageBox::Yes);
        qunsetenv("VELKSCAN_SHORT_WRITE");
        QCOMPARE(ReadAll(saved), cliReport);
      }
    }
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(report, expected);
    QVERIFY(files(dir / "window") == files(dir / "cli"));
    QCOMPARE(files(dir / "cli") == before, c.broken != Choices::kRepair);
    QVERIFY(cliCopies == files(dir / "copies"));
    QCOMPARE(cliCopies.empty(), c.broken != Choices::kSalvage);
  }
}

// At the end: every file, every megabyte of the library, the mean speed and nothing left.
void ReportBoxTest::progressLineOfAKnownLibrary() {
  Scratch dir;
  uint64_t bytes = 0;
  for (int i = 0; i < 3; ++i)
    bytes += fs::file_size(WriteStream(dir / "lib" / (std::to_string(i) + ".vlk"), 1000, i + 1));
  MainDialog dialog({ToText(QString::fromStdString((dir / "lib").string()))});
  dialog.job().settings.idlePriority = false;
  VELK_SHOW(dialog);
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  const QString mb = QString::number(bytes / 1048576.0, 'f', 1);
  QVERIFY(mb != "0.0");
  const QRegularExpression expected("^3/3 files, " + mb + "/" + mb + " MB, [0-9]+\\.[0-9] MB/s, 00:00 left$");
  QVERIFY2(expected.match(dialog.figuresLine()->text()).hasMatch(), qPrintable(dialog.figuresLine()->text()));
  QCOMPARE(dialog.progressBar()->value(), 100);
}

QTEST_MAIN(ReportBoxTest)
#include "reportbox_test.moc"
