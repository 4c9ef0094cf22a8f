// The window's own glue through the event queue: Escape and Enter, the icon, the tab order,
// resizing and the size kept, a flood of lines the box follows while a selection stays, drops
// are refused and the progress runs, the progress line of a known library, the saved report
// against velkscan-cli's (asked before replacing, a failing write: failio preloaded), a line's
// path and folder, the report against velkscan-cli's for each choice for broken files.
// Stop, Enter and closing through the display server: e2e.sh.
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTextBlock>
#include <atomic>
#include <chrono>
#include <thread>

#include "../support/snapshot.h"
#include "apptest.h"
#include "qt/resultsview.h"
#include "qt/windowsettings.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

// A drop of local files delivered as the platform delivers one; true when the window took it.
bool Drop(MainDialog& dialog, const fs::path& path) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
  const QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &drop);
  return drop.isAccepted();
}

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

// A file's URL the window asks the desktop to open.
struct UrlCatcher : QObject {
  Q_OBJECT
 public slots:
  void open(const QUrl& url) { urls << url; }

 public:
  QList<QUrl> urls;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void escapeDoesNothingEnterScans();
  void aPathNotCheckedIsAnError();
  void windowHasItsIcon();
  void tabOrderAndNames();
  void roomGoesToTheReportAndTheSizeIsKept();
  void floodOfLinesKeepsTheBoxUsable();
  void eachChoiceMatchesTheCommandLineProgram();
  void progressLineOfAKnownLibrary();
};

void WindowTest::escapeDoesNothingEnterScans() {
  Scratch dir;
  MainDialog dialog({ToText(QString::fromStdString(WriteStream(dir / "a.vlk", 20, 1).string()))});
  dialog.job().settings.idlePriority = false;
  VELK_SHOW(dialog);
  for (QWidget* target : std::initializer_list<QWidget*>{dialog.reportBox(), dialog.button()}) {
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(dialog.isVisible() && dialog.result() == 0 && dialog.job().fileCount() == 1u);
  }
  QTest::keyClick(dialog.reportBox(), Qt::Key_Return);
  VELK_SETTLE(dialog);
  QVERIFY2(Report(dialog).contains("Scanned 1 file, no errors found."), qPrintable(Report(dialog)));
}

// Only a folder that is not there: Scan is offered, and the summary counts it. A missing name with a Velk
// extension, dropped or from a second start, is a file that fails to open.
void WindowTest::aPathNotCheckedIsAnError() {
  Scratch dir;
  MainDialog dialog({ToText(QString::fromStdString((dir / "no such folder").string()))});
  dialog.job().settings.idlePriority = false;
  VELK_SHOW(dialog);
  QTRY_VERIFY(dialog.button()->isEnabled());
  QVERIFY(Drop(dialog, dir / "dropped.vqk"));
  dialog.AddForwardedPaths({QByteArray::fromStdString((dir / "sent.vkq").string())});
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY2(Report(dialog).endsWith("Scanned 2 files, errors with 3."), qPrintable(Report(dialog)));
}

void WindowTest::windowHasItsIcon() {
  MainDialog dialog;
  QVERIFY(!dialog.windowIcon().availableSizes().isEmpty());
}

// Report, the choices, the button; each named for a screen reader.
void WindowTest::tabOrderAndNames() {
  MainDialog dialog({"x.vlk"});
  VELK_SHOW(dialog);
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);
  dialog.reportBox()->setFocus();
  for (QWidget* next : std::initializer_list<QWidget*>{
           dialog.skipUnchangedBox(), dialog.choices()->brokenBox(), dialog.choices()->checkersBox(),
           dialog.button(), dialog.results()->showBox(), dialog.results()->table(), dialog.reportBox()}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), next);
  }
  for (QWidget* control : std::initializer_list<QWidget*>{
           dialog.reportBox(), dialog.figuresLine(), dialog.progressBar(), dialog.skipUnchangedBox(),
           dialog.choices()->brokenBox(), dialog.choices()->checkersBox(), dialog.button()})
    QVERIFY2(!QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
             qPrintable(control->objectName()));
}

// Resized, the table and the report box take the room and the controls keep their places at the bottom;
// the next start opens at that size, and maximised when left so.
void WindowTest::roomGoesToTheReportAndTheSizeIsKept() {
  WindowSettings().remove("geometry");
  QSize first, report;
  QPoint button;
  {
    MainDialog dialog;
    VELK_SHOW(dialog);
    first = dialog.size(), report = dialog.splitter()->size();
    button = dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight();
    dialog.resize(first + QSize(300, 200));
    QTRY_COMPARE(dialog.splitter()->size(), report + QSize(300, 200));
    QCOMPARE(dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight(), button);
    dialog.close();
  }
  {
    MainDialog dialog;
    VELK_SHOW(dialog);
    QCOMPARE(dialog.size(), first + QSize(300, 200));
    dialog.showMaximized();
    QTRY_VERIFY(dialog.isMaximized());
    dialog.close();
  }
  MainDialog dialog;
  VELK_SHOW(dialog);
  QVERIFY(dialog.isMaximized());
  QCOMPARE(dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight(), button);
}

void WindowTest::floodOfLinesKeepsTheBoxUsable() {
  constexpr int kFiles = 10000;
  Scratch dir;
  const fs::path master = WriteStream(dir / "master.bin", 16, 5, true);
  fs::create_directories(dir / "flood");
  for (int i = 0; i < kFiles; ++i)
    fs::copy_file(master, dir / "flood" / ("f" + std::to_string(10000 + i) + ".vlk"));
  MainDialog dialog;
  dialog.job().settings.idlePriority = false;  // else it waits for every other test beside it
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
  const QRegularExpression figures("^(\\d+)/10000 files, [0-9.]+/[0-9.]+ MB, [0-9.]+ MB/s, \\S+ left$");
  QTRY_VERIFY_WITH_TIMEOUT(
      figures.match(dialog.figuresLine()->text()).hasMatch() && dialog.progressBar()->value() > 0, 15000);
  const QRegularExpressionMatch early = figures.match(dialog.figuresLine()->text());
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");
  QVERIFY(!Drop(dialog, master));  // no drop while scanning
  // The box follows the end and stays where the user scrolled to.
  QPlainTextEdit* box = dialog.reportBox();
  QScrollBar* bar = box->verticalScrollBar();
  QVERIFY(bar->maximum() > 0);
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
  const auto stop = std::chrono::steady_clock::now();
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QVERIFY(!dialog.job().running());
  qInfo("Stop under the flood: %.0f ms",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stop).count());
  QTest::qWait(100);
  QCOMPARE(dialog.progressBar()->value(), 0);
  QCOMPARE(dialog.figuresLine()->text(), QString());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // One update per repaint interval and one per slice of a long text (the
  // start and the Stop replace the text), not one per line.
  const double slices = addedChars / QtDisplay::kSliceBytes;
  const double intervals = seconds / std::chrono::duration<double>(QtDisplay::kRepaintInterval).count();
  QVERIFY2(boxUpdates <= 10 + intervals + slices, qPrintable(QString("%1 slices").arg(slices)));
}

// Whatever becomes of broken files, the window's report (an only-reported file's line apart), the files and
// the copies it leaves are velkscan-cli's with as many checkers as the window has by default, one per
// processor. Of a repair's report, a broken line's path (with its ": ") goes to the clipboard and its folder
// to the desktop; saved, it is velkscan-cli's to the byte (asked before replacing, a failing write: failio).
void WindowTest::eachChoiceMatchesTheCommandLineProgram() {
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
  // The window's own line for each broken file it only reported.
  const QRegularExpression onlyReported("^.*: not repaired \\(only reported\\)\\.\n",
                                        QRegularExpression::MultilineOption);
  for (const Case& c : cases) {
    for (const char* side : {"window", "cli"}) {
      fs::remove_all(dir / side);
      gen::GenerateLibrary(dir / side / "lib", {0.5, 7});
      WriteStream(dir / side / "lib" / "with space" / "x: y.vlk", 30, 3, true);
    }
    const test::Snapshot before = files(dir / "cli");
    fs::remove_all(dir / "copies");
    Program cli(VELKSCAN_CLI, c.options + QStringList{"-j", jobs, "lib", "missing.vlk"}, dir / "cli");
    QTRY_VERIFY_WITH_TIMEOUT(!cli.running(), 15000);
    const QString expected = QString::fromUtf8(cli.output());
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
        QCOMPARE(ReadAll(saved), cli.output());
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
        QCOMPARE(ReadAll(saved), cli.output());
        // Writes cut short: the rest follows, and the file is whole.
        QFile(QString::fromStdString(saved.string())).resize(3);
        qputenv("VELKSCAN_SHORT_WRITE", ".velkscan-partial:7");
        Save(dialog, saved, QMessageBox::Yes);
        qunsetenv("VELKSCAN_SHORT_WRITE");
        QCOMPARE(ReadAll(saved), cli.output());
      }
    }
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(report.count(onlyReported), c.broken == Choices::kReport ? expected.count("broken after") : 0);
    QCOMPARE(report.remove(onlyReported), expected);
    QVERIFY(files(dir / "window") == files(dir / "cli"));
    QCOMPARE(files(dir / "cli") == before, c.broken != Choices::kRepair);
    QVERIFY(cliCopies == files(dir / "copies"));
    QCOMPARE(cliCopies.empty(), c.broken != Choices::kSalvage);
  }
}

// At the end: every file, every megabyte of the library, the mean speed and nothing left.
void WindowTest::progressLineOfAKnownLibrary() {
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
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
