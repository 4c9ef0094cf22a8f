// The window's own glue, driven through the application's event queue:
// Escape and Enter, the icon, and a flood of report lines (one small broken
// file under thousands of names) during which the box follows its end,
// drops are refused, and Stop, Enter or closing ends the worker at once with
// no file changed after the input beyond the one being checked. A smoke
// test compares the finished report with velkscan-cli's.
#include <QCloseEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "apptest.h"

using namespace velkscan;
using namespace velkscan::apptest;

namespace {

void Post(QObject* target, QEvent::Type type, int key) {
  QCoreApplication::postEvent(target, new QKeyEvent(type, key, Qt::NoModifier));
}

void PostClick(QWidget* widget) {
  const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QCoreApplication::postEvent(
        widget,
        new QMouseEvent(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                        type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier));
  }
}

// A drop of local files delivered as the platform delivers one; true when
// the window took it.
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

// Calls `seen` when the application delivers the first event of a type.
class EventSeen : public QObject {
 public:
  EventSeen(QEvent::Type type, std::function<void()> seen) : type_(type), seen_(std::move(seen)) {
    qApp->installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == type_ && seen_) std::exchange(seen_, nullptr)();
    return false;
  }

 private:
  QEvent::Type type_;
  std::function<void()> seen_;
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void escapeDoesNothingEnterScans();
  void aPathNotCheckedIsAnError();
  void windowHasItsIcon();
  void floodOfLinesLeavesInputAtOnce_data();
  void floodOfLinesLeavesInputAtOnce();
  void reportEqualsTheCommandLineProgram();
};

void WindowTest::escapeDoesNothingEnterScans() {
  Scratch dir;
  MainDialog dialog({ToText(QString::fromStdString(WriteStream(dir / "a.vlk", 20, 1).string()))});
  dialog.job().idlePriority = false;
  VELK_SHOW(dialog);
  for (QWidget* target :
       {static_cast<QWidget*>(dialog.reportBox()), static_cast<QWidget*>(dialog.button())}) {
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(dialog.job().fileCount(), 1u);
  }
  QTest::keyClick(dialog.reportBox(), Qt::Key_Return);
  VELK_SETTLE(dialog);
  QVERIFY2(dialog.reportBox()->toPlainText().endsWith("Scanned 1 file, no errors found.\n"),
           qPrintable(dialog.reportBox()->toPlainText()));
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
  QVERIFY2(dialog.reportBox()->toPlainText().endsWith("Scanned 0 files, errors with 1.\n"),
           qPrintable(dialog.reportBox()->toPlainText()));
}

void WindowTest::windowHasItsIcon() {
  MainDialog dialog;
  QVERIFY(!dialog.windowIcon().availableSizes().isEmpty());
}

void WindowTest::floodOfLinesLeavesInputAtOnce_data() {
  QTest::addColumn<QString>("input");
  QTest::addColumn<int>("files");
  QTest::newRow("click on Stop") << "click" << 10000;
  QTest::newRow("Enter") << "enter" << 10000;
  QTest::newRow("close") << "close" << 10000;
}

void WindowTest::floodOfLinesLeavesInputAtOnce() {
  QFETCH(QString, input);
  QFETCH(int, files);
  Scratch dir;
  const fs::path master = WriteStream(dir / "master.bin", 16, 5, true);
  fs::create_directories(dir / "flood");
  for (int i = 0; i < files; ++i)
    fs::copy_file(master, dir / "flood" / ("f" + std::to_string(10000 + i) + ".vlk"));
  MainDialog dialog;
  // At idle priority the worker would wait for every other test beside it.
  dialog.job().idlePriority = false;
  // However fast this machine checks, lines must still come in when the
  // input does: over its last 200 files (2 s) the worker slows to 100 files
  // a second, and before the last it waits (20 s at most) for the input.
  std::atomic<int> rewrites{0};
  dialog.job().beforeRewrite = [&](TextView, const FileOutcome&) {
    const int n = ++rewrites;
    for (int i = 0; n > files - 200 && i < (n == files ? 2000 : 1) && dialog.job().running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return true;
  };
  VELK_SHOW(dialog);
  QVERIFY(Drop(dialog, dir / "flood"));
  QCOMPARE(dialog.job().fileCount(), static_cast<uint32_t>(files));
  int boxUpdates = 0;
  double addedChars = 0;
  connect(dialog.reportBox()->document(), &QTextDocument::contentsChange, [&](int, int, int added) {
    ++boxUpdates;
    addedChars += added;
  });
  QTRY_VERIFY(dialog.button()->isEnabled());
  const auto start = std::chrono::steady_clock::now();
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QTest::qWait(300);
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");
  // No drop while scanning.
  QVERIFY(!Drop(dialog, master));
  if (input == "click") {
    // The box follows the end, stays where the user scrolled to, and goes
    // to the end with Ctrl+End.
    QScrollBar* bar = dialog.reportBox()->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(0);
    QTest::qWait(400);
    QCOMPARE(bar->value(), 0);
    // Ctrl+End shows the last line (and the box follows the end again).
    QTest::keyClick(dialog.reportBox(), Qt::Key_End, Qt::ControlModifier);
    QVERIFY(bar->value() >= bar->maximum() - 1);
    QTest::qWait(400);
    QCOMPARE(bar->value(), bar->maximum());
  }
  QVERIFY2(dialog.job().running(), "the job ended before the test was done with it");
  // Files changed once the window has the input: the header writes after it.
  int rewritesAtInput = -1;
  const QEvent::Type inputType = input == "click"   ? QEvent::MouseButtonRelease
                                 : input == "enter" ? QEvent::KeyPress
                                                    : QEvent::Close;
  EventSeen seen(inputType, [&] { rewritesAtInput = rewrites; });
  const auto inputAt = std::chrono::steady_clock::now();
  if (input == "click") PostClick(dialog.button());
  if (input == "enter") Post(&dialog, QEvent::KeyPress, Qt::Key_Return);
  if (input == "close") QCoreApplication::postEvent(&dialog, new QCloseEvent);
  QTRY_VERIFY_WITH_TIMEOUT(!dialog.job().running(), 15000);
  const auto stoppedAt = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(stoppedAt - start).count();
  QVERIFY(rewritesAtInput >= 0);
  const int changed = rewrites - rewritesAtInput;
  qInfo("%s: worker ended %.1f ms after the input; %d files changed after it; %d box updates in %.1f s",
        qPrintable(input), std::chrono::duration<double, std::milli>(stoppedAt - inputAt).count(), changed,
        boxUpdates, seconds);
  QVERIFY2(changed <= 1, "files were changed after the input");
  // One update per repaint interval and one per slice of a long text (the
  // start and the Stop replace the text), not one per line.
  const double slices = addedChars / QtDisplay::kSliceBytes;
  const double intervals = seconds / std::chrono::duration<double>(QtDisplay::kRepaintInterval).count();
  QVERIFY2(boxUpdates <= 10 + intervals + slices, qPrintable(QString("%1 slices").arg(slices)));
}

void WindowTest::reportEqualsTheCommandLineProgram() {
  Scratch dir;
  for (const char* side : {"window", "cli"}) {
    WriteStream(dir / side / "lib" / "good.vlk", 30, 1);
    WriteStream(dir / side / "lib" / "with space" / "x y.vlk", 30, 3, true);
    WriteStream(dir / side / "lib" / "z.vqk", 60, 4, true);
  }
  // Both name the library by the same relative path, so the paths agree.
  const QString previous = QDir::currentPath();
  QVERIFY(QDir::setCurrent(QString::fromStdString((dir / "window").string())));
  MainDialog dialog({"lib", "missing.vlk"});
  dialog.job().idlePriority = false;
  VELK_SHOW(dialog);
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  QVERIFY(QDir::setCurrent(previous));
  Program cli(VELKSCAN_CLI, {"--repair", "-j", "1", "lib", "missing.vlk"}, dir / "cli");
  QTRY_VERIFY_WITH_TIMEOUT(!cli.running(), 15000);
  QVERIFY(dialog.reportBox()->toPlainText().contains("broken after frame"));
  QCOMPARE(dialog.reportBox()->toPlainText(), QString::fromUtf8(cli.output()));
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
