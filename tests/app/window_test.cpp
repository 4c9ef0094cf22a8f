// The window's own glue through the event queue: Escape and Enter, the icon, the tab order and
// mnemonics, resizing and the size kept, a flood of lines the box follows while a selection stays,
// a drop joins the scan and the progress runs, Stop keeps the report, the progress line of a known
// library, the saved report against velkscan-cli's (asked before replacing, a failing write: failio
// preloaded), a line's path and folder, the report against velkscan-cli's for each choice for broken
// files, moving through the choices asks nothing, files added by the dialogs wait under the last report.
// Stop, Enter, closing, a second start and the keys through the display server: e2e.sh.
#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenu>
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
#include <QTimer>
#include <QToolButton>
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
bool Drop(MainDialog& dialog, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  const QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&dialog, &drop);
  return drop.isAccepted();
}
bool Drop(MainDialog& dialog, const fs::path& path) {
  return Drop(dialog, {QUrl::fromLocalFile(QString::fromStdString(path.string()))});
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
  void theChoiceForBrokenFilesNeedsAFolderForCopies();
  void tabOrderAndNames();
  void roomGoesToTheReportAndTheSizeIsKept();
  void openedAtAnotherScale();
  void floodOfLinesKeepsTheBoxUsable();
  void eachChoiceMatchesTheCommandLineProgram();
  void progressLineOfAKnownLibrary();
  void pickingCopiesAsksForTheirFolder();
  void addedFilesWaitUnderTheLastReport();
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
  QVERIFY(!Drop(dialog, {QUrl("https://example.org/a.vlk")}) &&
          !Drop(dialog, QList<QUrl>{}));  // no local file
  QVERIFY(Drop(dialog, dir / "dropped.vqk"));
  dialog.AddForwardedPaths({QByteArray::fromStdString((dir / "sent.vkq").string())});
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY2(Report(dialog).endsWith("Scanned 2 files, errors with 3."), qPrintable(Report(dialog)));
}

// The icon; a report box that is read but moved about by keys, keeps no undo record of its lines, wraps them,
// scrolls only up and down, and leaves drops and Tab to the window.
void WindowTest::windowHasItsIcon() {
  MainDialog dialog;
  QVERIFY(!dialog.windowIcon().availableSizes().isEmpty());
  const QPlainTextEdit* box = dialog.reportBox();
  QVERIFY(box->isReadOnly() && !box->isUndoRedoEnabled() && !box->acceptDrops() && box->tabChangesFocus());
  QCOMPARE(box->textInteractionFlags(), Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  QVERIFY(box->lineWrapMode() == QPlainTextEdit::WidgetWidth &&
          box->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn &&
          box->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOff);
}

// The choice for broken files comes back from the settings, a copy only with a folder to put it in (else the
// repair); the folder button serves only the copy.
// Each control sits in the grid, a label beside it.
void WindowTest::theChoiceForBrokenFilesNeedsAFolderForCopies() {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "velkscan", "velkscan");
  const struct {
    const char* kept;
    bool folder;
    int shown;
  } cases[] = {{"salvage", false, Choices::kRepair},
               {"salvage", true, Choices::kSalvage},
               {"report", false, Choices::kReport},
               {"elsewhere", true, Choices::kRepair}};
  for (const auto& c : cases) {
    settings.setValue("brokenFiles", c.kept);
    c.folder ? settings.setValue("salvageFolder", "/copies") : settings.remove("salvageFolder");
    settings.sync();
    Choices choices;
    QComboBox* box = choices.brokenBox();
    const auto* folderButton = choices.findChild<QToolButton*>("salvageFolderButton");
    QCOMPARE(box->currentIndex(), c.shown);
    QCOMPARE(folderButton->isEnabled(), c.shown == Choices::kSalvage);
    for (QWidget* w : choices.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      QVERIFY2(choices.layout()->indexOf(w) >= 0, qPrintable(w->objectName()));
      if (auto* label = qobject_cast<QLabel*>(w)) QVERIFY(label->buddy() != nullptr);
    }
    if (c.folder) continue;
    // Moved onto copies without a folder: shown, and a Scan asks for the folder first.
    box->setCurrentIndex(Choices::kSalvage);
    QVERIFY(!choices.Ready() && choices.salvageFolder().isEmpty());
  }
  settings.remove("brokenFiles");
  settings.remove("salvageFolder");
}

// Report, the choices, the add buttons, the button; each named for a screen reader; a mnemonic of its own
// for every label and button but Scan (Enter).
void WindowTest::tabOrderAndNames() {
  MainDialog dialog({"x.vlk"});
  VELK_SHOW(dialog);
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);
  dialog.reportBox()->setFocus();
  for (QWidget* next : std::initializer_list<QWidget*>{
           dialog.skipUnchangedBox(), dialog.choices()->brokenBox(), dialog.choices()->checkersBox(),
           dialog.addFilesButton(), dialog.addFolderButton(), dialog.button(), dialog.results()->showBox(),
           dialog.results()->table(), dialog.reportBox()}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), next);
  }
  for (QWidget* control : std::initializer_list<QWidget*>{
           dialog.reportBox(), dialog.figuresLine(), dialog.progressBar(), dialog.skipUnchangedBox(),
           dialog.choices()->brokenBox(), dialog.choices()->checkersBox(), dialog.button(),
           dialog.addFilesButton(), dialog.addFolderButton()})
    QVERIFY2(!QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
             qPrintable(control->objectName()));
  QString keys;
  for (QWidget* control : dialog.findChildren<QWidget*>()) {
    auto* label = qobject_cast<QLabel*>(control);
    auto* button = qobject_cast<QAbstractButton*>(control);
    const QString text = label && label->buddy()               ? label->text()
                         : button && button != dialog.button() ? button->text()
                                                               : "";
    QVERIFY2(text.isEmpty() || text.contains('&'), qPrintable(text));
    if (!text.isEmpty()) keys += text.mid(text.indexOf('&') + 1, 1).toLower();
  }
  QCOMPARE(QSet<QChar>(keys.begin(), keys.end()).size(), 7);  // and none twice
}

// Resized, the table and the report box take the room and the controls keep their places at the bottom;
// the next start opens at that size, also at another scale (a start of this test at twice
// the scale, on a screen as large), and maximised when left so.
void WindowTest::roomGoesToTheReportAndTheSizeIsKept() {
  QSettings settings = WindowSettings();
  settings.remove("place"), settings.remove("maximized"), settings.sync();
  QSize first, report;
  QPoint button;
  const QSize more(60, -30);
  {
    MainDialog dialog;
    VELK_SHOW(dialog);
    first = dialog.size(), report = dialog.splitter()->size();
    // The first start shows 25 rows of the table, or is as tall as the screen lets it be.
    const QTableView* table = dialog.results()->table();
    QVERIFY(table->viewport()->height() >= 25 * table->verticalHeader()->defaultSectionSize() ||
            dialog.frameGeometry().height() >=
                dialog.screen()->availableGeometry().height() - 2 * dialog.fontMetrics().height());
    button = dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight();
    dialog.resize(first + more);
    QTRY_COMPARE(dialog.splitter()->size(), report + more);
    QCOMPARE(dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight(), button);
    dialog.close();
  }
  Scratch dir;
  QFile screen(dir.dir.filePath("screen.json"));
  QVERIFY(screen.open(QIODevice::WriteOnly) &&
          screen.write(R"({"screens": [{"width": 2400, "height": 1800}]})"));
  screen.close();
  qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screen.fileName().toUtf8()),
      qputenv("QT_SCALE_FACTOR", "2");
  qputenv("VELKSCAN_KEPT_SIZE",
          QString("%1x%2").arg((first + more).width()).arg((first + more).height()).toUtf8());
  Program scaled(QCoreApplication::applicationFilePath(), {"openedAtAnotherScale"});
  qputenv("QT_QPA_PLATFORM", "offscreen"), qunsetenv("QT_SCALE_FACTOR"), qunsetenv("VELKSCAN_KEPT_SIZE");
  QVERIFY2(scaled.EndsCleanly(), scaled.output());
  {  // Kept where no screen is now, it opens whole on this one, at its size.
    settings.setValue("place", QRect(QPoint(1 << 20, 1 << 20), first + more)), settings.sync();
    MainDialog dialog;
    VELK_SHOW(dialog);
    const QRect room = dialog.screen()->availableGeometry(), place = dialog.geometry();
    QVERIFY2(room.contains(place) && place.right() == room.right(),
             qPrintable(QString("%1 %2").arg(place.right()).arg(room.right())));
    dialog.close();
  }
  {
    MainDialog dialog;
    VELK_SHOW(dialog);
    QCOMPARE(dialog.size(), first + more);
    dialog.showMaximized();
    QTRY_VERIFY(dialog.isMaximized());
    dialog.close();
  }
  MainDialog dialog;
  VELK_SHOW(dialog);
  QVERIFY(dialog.isMaximized());
  QCOMPARE(dialog.button()->geometry().bottomRight() - dialog.rect().bottomRight(), button);
}

void WindowTest::openedAtAnotherScale() {
  if (qEnvironmentVariableIsEmpty("VELKSCAN_KEPT_SIZE"))
    QSKIP("started by roomGoesToTheReportAndTheSizeIsKept");
  MainDialog dialog;
  VELK_SHOW(dialog);
  QCOMPARE(QString("%1x%2").arg(dialog.width()).arg(dialog.height()),
           qEnvironmentVariable("VELKSCAN_KEPT_SIZE"));
}

void WindowTest::floodOfLinesKeepsTheBoxUsable() {
  constexpr int kFiles = 10000;
  Scratch dir;
  const fs::path master = WriteStream(dir / "master.bin", 16, 5, true);
  WriteStream(dir / "more" / "whole.vlk", 16, 6);
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
}

// Whatever becomes of broken files, the window's report (one line for an only-reported file), the files and
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
  QCOMPARE(dialog.progressBar()->value(), 100);
}

// Copies picked from the open list of choices ask for their folder, and a cancel keeps them only when they
// have one (the arrows on the closed list ask nothing: e2e.sh).
void WindowTest::pickingCopiesAsksForTheirFolder() {
  Scratch dir;
  WindowSettings().remove("salvageFolder");
  MainDialog dialog;
  VELK_SHOW(dialog);
  QComboBox* broken = dialog.choices()->brokenBox();
  for (bool hasFolder : {false, true}) {
    if (hasFolder) dialog.choices()->SetSalvageFolder(dir.dir.path());
    broken->setCurrentIndex(Choices::kReport);
    broken->showPopup();
    QTRY_VERIFY(broken->view()->isVisible());
    QTest::keyClick(broken->view(), Qt::Key_Up);
    QTest::keyClick(broken->view(), Qt::Key_Return);
    QFileDialog* ask = nullptr;
    QTRY_VERIFY((ask = dialog.findChild<QFileDialog*>("salvageFolderDialog")) && ask->isVisible());
    QCOMPARE(ask->fileMode(), QFileDialog::Directory);
    ask->reject();
    QTRY_COMPARE(broken->currentIndex(), hasFolder ? Choices::kSalvage : Choices::kReport);
  }
}

// Ctrl+D adds the folder its dialog gives (Ctrl+O: e2e.sh); after a run its report stays until the next Scan,
// the files waiting named under it.
void WindowTest::addedFilesWaitUnderTheLastReport() {
  Scratch dir;
  WriteStream(dir / "sub" / "b.vlk", 20, 2), WriteStream(dir / "sub" / "c.vkq", 20, 3);
  MainDialog dialog({ToText(QString::fromStdString(WriteStream(dir / "a.vlk", 20, 1).string()))});
  dialog.job().settings.idlePriority = false;
  VELK_SHOW(dialog);
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  const QString report = Report(dialog);
  // A right click at the end of the selection keeps it, for the menu's Copy.
  QTextCursor line(dialog.reportBox()->document());
  line.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  dialog.reportBox()->setTextCursor(line);
  emit dialog.reportBox()->customContextMenuRequested(dialog.reportBox()->cursorRect(line).center());
  QTRY_VERIFY(dialog.findChild<QMenu*>("reportMenu"));
  dialog.findChild<QMenu*>("reportMenu")->close();
  QCOMPARE(dialog.reportBox()->textCursor().selectedText(), line.selectedText());
  dialog.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&dialog));
  QTest::keyClick(&dialog, Qt::Key_D, Qt::ControlModifier);
  QFileDialog* chooser = nullptr;
  QTRY_VERIFY((chooser = dialog.findChild<QFileDialog*>("addFolderDialog")) && chooser->isVisible());
  chooser->selectFile(QString::fromStdString((dir / "sub").string()));
  QMetaObject::invokeMethod(chooser, "accept");
  QTRY_COMPARE(dialog.figuresLine()->text(), QString("2 files waiting for scanning..."));
  QVERIFY(Report(dialog) == report && report.endsWith("Scanned 1 file, no errors found."));
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY2(Report(dialog).startsWith("Scanning 2 files...\n"), qPrintable(Report(dialog)));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
