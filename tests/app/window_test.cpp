// The window's own glue through the event queue: Escape and Enter, the icon, the tab order and
// mnemonics, resizing and the size kept, moving through the choices asks nothing, files added by the
// dialogs wait under the last report (the report box and progress: reportbox_test).
// Stop, Enter, closing, a second start and the keys through the display server: e2e.sh.
#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QProgressBar>
#include <QSettings>
#include <QSplitter>
#include <QTableView>
#include <QTextCursor>
#include <QToolButton>

#include "apptest.h"
#include "qt/resultsview.h"
#include "qt/windowsettings.h"

using namespace velkscan;
using namespace velkscan::apptest;

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
  // A right click at either end of the selection keeps it, for the menu's Copy.
  QTextCursor line(dialog.reportBox()->document());
  line.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  for (const int end : {line.selectionStart(), line.selectionEnd()}) {
    QTextCursor at(dialog.reportBox()->document());
    at.setPosition(end);
    dialog.reportBox()->setTextCursor(line);
    emit dialog.reportBox()->customContextMenuRequested(dialog.reportBox()->cursorRect(at).center());
    QTRY_VERIFY(dialog.findChild<QMenu*>("reportMenu"));
    dialog.findChild<QMenu*>("reportMenu")->close();
    QTRY_VERIFY(!dialog.findChild<QMenu*>("reportMenu"));
    QCOMPARE(dialog.reportBox()->textCursor().selectedText(), line.selectedText());
  }
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
