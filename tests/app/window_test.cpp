// The window's own glue through the event queue: Escape and Enter, the icon, a flood of
// lines the box follows while a selection stays and drops are refused, the report against
// velkscan-cli's for each choice for broken files. Stop, Enter and closing through the display server:
// e2e.sh.
#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <atomic>
#include <chrono>
#include <thread>

#include "../support/snapshot.h"
#include "apptest.h"

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

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void escapeDoesNothingEnterScans();
  void aPathNotCheckedIsAnError();
  void windowHasItsIcon();
  void floodOfLinesKeepsTheBoxUsable();
  void eachChoiceMatchesTheCommandLineProgram();
};

void WindowTest::escapeDoesNothingEnterScans() {
  Scratch dir;
  MainDialog dialog({ToText(QString::fromStdString(WriteStream(dir / "a.vlk", 20, 1).string()))});
  dialog.job().idlePriority = false;
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

// Only a folder that is not there: Scan is offered, and the summary counts it.
void WindowTest::aPathNotCheckedIsAnError() {
  Scratch dir;
  MainDialog dialog({ToText(QString::fromStdString((dir / "no such folder").string()))});
  dialog.job().idlePriority = false;
  VELK_SHOW(dialog);
  QTRY_VERIFY(dialog.button()->isEnabled());
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY2(Report(dialog).endsWith("Scanned 0 files, errors with 1."), qPrintable(Report(dialog)));
}

void WindowTest::windowHasItsIcon() {
  MainDialog dialog;
  QVERIFY(!dialog.windowIcon().availableSizes().isEmpty());
}

void WindowTest::floodOfLinesKeepsTheBoxUsable() {
  constexpr int kFiles = 10000;
  Scratch dir;
  const fs::path master = WriteStream(dir / "master.bin", 16, 5, true);
  fs::create_directories(dir / "flood");
  for (int i = 0; i < kFiles; ++i)
    fs::copy_file(master, dir / "flood" / ("f" + std::to_string(10000 + i) + ".vlk"));
  MainDialog dialog;
  dialog.job().idlePriority = false;  // else it waits for every other test beside it
  // However fast the check, lines come in while the test looks: over the last 200 files
  // the worker slows to 100 a second, and before the last it waits for the Stop.
  std::atomic<int> rewrites{0};
  dialog.job().beforeRewrite = [&](TextView, const FileOutcome&) {
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
  QTest::qWait(300);
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
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QVERIFY(!dialog.job().running());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // One update per repaint interval and one per slice of a long text (the
  // start and the Stop replace the text), not one per line.
  const double slices = addedChars / QtDisplay::kSliceBytes;
  const double intervals = seconds / std::chrono::duration<double>(QtDisplay::kRepaintInterval).count();
  QVERIFY2(boxUpdates <= 10 + intervals + slices, qPrintable(QString("%1 slices").arg(slices)));
}

// Whatever becomes of broken files, the window's report (an only-reported file's line apart), the files and
// the copies it leaves are velkscan-cli's with as many checkers as the window has by default, one per
// processor.
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
    }
    const test::Snapshot before = files(dir / "cli");
    // Both name the library by the same relative path, so the paths agree.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(QString::fromStdString((dir / "window").string())));
    QString report;
    {
      MainDialog dialog({"lib", "missing.vlk"});
      dialog.job().idlePriority = false;
      QCOMPARE(dialog.choices()->checkersBox()->value(), jobs.toInt());
      dialog.choices()->SetSalvageFolder(copies);
      dialog.choices()->brokenBox()->setCurrentIndex(c.broken);
      VELK_SHOW(dialog);
      QTest::mouseClick(dialog.button(), Qt::LeftButton);
      VELK_SETTLE(dialog);
      QCOMPARE(dialog.job().checkers, static_cast<uint32_t>(jobs.toInt()));
      report = Report(dialog) + '\n';
      // No empty line after the summary: Ctrl+End goes to it.
      QTest::keyClick(dialog.reportBox(), Qt::Key_End, Qt::ControlModifier);
      QCOMPARE(dialog.reportBox()->textCursor().block().text() + '\n', report.section('\n', -2));
    }
    QVERIFY(QDir::setCurrent(previous));
    const test::Snapshot windowCopies = files(dir / "copies");
    fs::remove_all(dir / "copies");
    Program cli(VELKSCAN_CLI, c.options + QStringList{"-j", jobs, "lib", "missing.vlk"}, dir / "cli");
    QTRY_VERIFY_WITH_TIMEOUT(!cli.running(), 15000);
    const QString expected = QString::fromUtf8(cli.output());
    QVERIFY2(expected.contains("broken after frame"), qPrintable(expected));
    QCOMPARE(report.count(onlyReported), c.broken == Choices::kReport ? expected.count("broken after") : 0);
    QCOMPARE(report.remove(onlyReported), expected);
    QVERIFY(files(dir / "window") == files(dir / "cli"));
    QCOMPARE(files(dir / "cli") == before, c.broken != Choices::kRepair);
    QVERIFY(windowCopies == files(dir / "copies"));
    QCOMPARE(windowCopies.empty(), c.broken != Choices::kSalvage);
    fs::remove_all(dir / "copies");
  }
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
