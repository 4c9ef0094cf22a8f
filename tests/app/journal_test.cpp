// The window's journal of its repairs, undone from the report's menu and by velkscan-cli (failio preloaded).
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <memory>
#include <tuple>

#include "apptest.h"

using namespace velkscan;
using namespace velkscan::apptest;

class JournalTest : public QObject {
  Q_OBJECT

  std::unique_ptr<MainDialog> dialog;

  void Scan(const fs::path& file) {
    dialog = std::make_unique<MainDialog>(std::vector<Text>{file.string()});
    dialog->job().settings.idlePriority = false;
    VELK_SHOW(*dialog);
    QTest::mouseClick(dialog->button(), Qt::LeftButton);
    VELK_SETTLE(*dialog);
  }

 private slots:
  // A scan's repair has its line (old and new header) in a new journal of the state folder, which the
  // report's menu names and whose Undo there puts the bytes back; velkscan-cli --undo reads it too.
  void eachRepairIsJournalledAndUndone() {
    Scratch dir;
    const fs::path file = WriteStream(dir / "f.vlk", 20, 1, true);
    const QByteArray original = ReadAll(file);
    for (const bool byMenu : {true, false}) {
      const fs::path state = dir / (byMenu ? "menu" : "cli"), journals = state / "velkscan" / "journals";
      qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.string()));
      Scan(file);
      const QByteArray repaired = ReadAll(file);
      QVERIFY(repaired != original && fs::exists(journals));
      const std::vector<fs::path> journal = {fs::directory_iterator(journals), {}};
      QCOMPARE(journal.size(), 1u);
      const QString path = QString::fromStdString(journal[0].string());
      const QList<QByteArray> lines = ReadAll(journal[0]).split('\n');
      QVERIFY(lines.size() == 3 && lines[0].startsWith("# velkscan-cli repair journal"));  // and the end
      // velkscan-cli's line: the header's offset, its bytes before and after, the path.
      QCOMPARE(lines[1], "velkscan-repair\t0\t" + original.left(32).toHex() + '\t' +
                             repaired.left(32).toHex() + '\t' + QByteArray::fromStdString(file.string()));
      if (byMenu) {
        emit dialog->reportBox()->customContextMenuRequested(QPoint(5, 5));
        QMenu* menu = dialog->findChild<QMenu*>("reportMenu");
        QCOMPARE(menu->findChild<QAction*>("journalPathItem")->text(), "Journal: " + path);
        for (QAction* action : menu->actions())
          if (action->text() == "Undo the repairs of this run" && action->isEnabled()) action->trigger();
        const QMessageBox* box = dialog->findChild<QMessageBox*>("undoneBox");
        QCOMPARE(box ? box->detailedText() : "",
                 QString::fromStdString(file.string()) + ": header at 0 restored.\n");
      } else {
        QVERIFY(Program(VELKSCAN_CLI, {"--undo", path}).EndsCleanly());
      }
      QCOMPARE(ReadAll(file), original);
    }
  }

  // No state folder to be had (a file there), a journal that cannot be made, opened or take the line: the
  // file as it was, its line and the reason in the report, and the run ends with its summary.
  void aRepairThatCannotBeJournalledIsNotMade() {
    Scratch dir;
    const fs::path file = WriteStream(dir / "f.vlk", 20, 2, true);
    const QByteArray original = ReadAll(file);
    const std::tuple<const char*, const char*, fs::path> faults[] = {
        {"VELKSCAN_FAIL_WRITE", "", file},
        {"VELKSCAN_FAIL_WRITE", ".journal.velkscan-partial", dir / "s"},
        {"VELKSCAN_FAIL_OPEN", ".journal", dir / "s"},
        {"VELKSCAN_FAIL_WRITE", ".journal", dir / "s"}};
    for (const auto& [fault, failing, state] : faults) {
      qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.string()));
      qputenv(fault, failing);
      Scan(file);
      QVERIFY2(Report(*dialog).contains(
                   "f.vlk: repair failed (journal not written).\nCannot write the journal of this "
                   "run's repairs (") &&
                   QRegularExpression(*failing ? "/repairs-[0-9-]{17,}\\.journal: Input/output error\\)"
                                               : "f\\.vlk: not a folder")
                       .match(Report(*dialog))
                       .hasMatch() &&
                   Report(*dialog).endsWith("Scanned 1 file, errors with 1."),
               qPrintable(Report(*dialog)));
      QCOMPARE(ReadAll(file), original);
      qunsetenv(fault);
    }
  }
};

QTEST_MAIN(JournalTest)
#include "journal_test.moc"
