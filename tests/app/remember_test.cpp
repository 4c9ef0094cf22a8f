// The window's remembered checks: recorded in the default store, unchanged files skipped by
// choices kept between starts, store faults reported, a close that commits (failio preloaded).
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSpinBox>
#include <chrono>
#include <fstream>
#include <thread>

#include "../support/storefile.h"
#include "apptest.h"
#include "store/checkstore.h"

using namespace velkscan;
using namespace velkscan::apptest;
using velkscan::test::StoreRows;

class RememberTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void recordsAndSkipsWhatIsUnchanged();
  void theChoicesAreKeptBetweenStarts();
  void aStoreThatCannotServeIsLeftAlone();
  void aCloseDuringARunCommitsWhatWasChecked();
  void aSilentChangeStaysFlaggedUntilAccepted();

 private:
  // One run of a new window over path, the choice set as given; its report. then: the window after it.
  void Run(const fs::path& path, bool skip, QString& report, std::function<void(MainDialog&)> then = {});

  Scratch home_;
  std::string db_;
  fs::path config_;
};

void RememberTest::initTestCase() {
  // Before anything reads them: the store and the settings in scratch.
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString((home_ / "state").string()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home_ / "config").string()));
  db_ = (home_ / "state" / "velkscan" / "checks.sqlite").string();
  config_ = home_ / "config" / "velkscan" / "velkscan.conf";
  QCOMPARE(QString::fromStdString(store::CheckStore::DefaultPath()), QString::fromStdString(db_));
}

void RememberTest::Run(const fs::path& path, bool skip, QString& report,
                       std::function<void(MainDialog&)> then) {
  MainDialog dialog({path.string()});
  dialog.job().settings.idlePriority = false;
  VELK_SHOW(dialog);
  if (dialog.skipUnchangedBox()->isChecked() != skip)
    QTest::keyClick(dialog.skipUnchangedBox(), Qt::Key_Space);
  QCOMPARE(dialog.skipUnchangedBox()->isChecked(), skip);
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  VELK_SETTLE(dialog);
  report = Report(dialog);
  if (then) then(dialog);
}

// A first run records; with the choice on, a file whose last check found it whole and that is unchanged is
// not read (its reads fail) and is counted (not listed); a broken one is read again (even repaired); with the
// choice off everything is read again. (A touched file read again: the store's tests.)
void RememberTest::recordsAndSkipsWhatIsUnchanged() {
  Scratch dir;
  const fs::path whole = WriteStream(dir / "lib" / "a.vlk", 20, 1);
  const fs::path broken = WriteStream(dir / "lib" / "c.vlk", 20, 2, true);
  struct Round {
    bool skip;
    bool skipped;              // the whole file
    const char* failingReads;  // files whose names end so fail to be read
    const char* summary;
  };
  // The broken file, repaired to no frames, stays broken and is read every time.
  const Round rounds[] = {
      {true, false, "", "Scanned 2 files, errors with 1."},  // nothing recorded yet: all read
      {true, true, "a.vlk:0", "Scanned 2 files (1 unchanged), errors with 1."},
      {false, false, "", "Scanned 2 files, errors with 1."},
  };
  int64_t rows = 0;
  for (const Round& round : rounds) {
    qputenv("VELKSCAN_FAIL_READ", round.failingReads);
    QString report;
    Run(dir / "lib", round.skip, report);
    const QString context = QString("round %1:\n%2").arg(&round - rounds).arg(report);
    // Counted in the summary, not listed.
    QVERIFY2(!report.contains("unchanged since"), qPrintable(context));
    QVERIFY2(report.endsWith(round.summary), qPrintable(context));
    // Each file read is recorded; a skipped one is not.
    rows += round.skipped ? 1 : 2;
    QCOMPARE(StoreRows(db_), rows);
  }
  qunsetenv("VELKSCAN_FAIL_READ");
}

// Each choice is written to the settings file as it is made, and a new window starts with it: skipping
// unchanged files, what becomes of broken files (and the folder for copies), the files checked at once.
void RememberTest::theChoicesAreKeptBetweenStarts() {
  const int processors = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const QString folder = QString::fromStdString((home_ / "copies").string());
  const int brokenChoices[] = {Choices::kSalvage, Choices::kReport, Choices::kRepair};
  for (int round = 0; round < 3; ++round) {
    bool skip = false;
    const int checkers = round % 2 == 0 ? 1 : processors;
    {
      MainDialog dialog;
      VELK_SHOW(dialog);
      skip = !dialog.skipUnchangedBox()->isChecked();
      QTest::keyClick(dialog.skipUnchangedBox(), Qt::Key_Space);
      QCOMPARE(dialog.skipUnchangedBox()->isChecked(), skip);
      if (round == 0) dialog.choices()->SetSalvageFolder(folder);
      dialog.choices()->brokenBox()->setCurrentIndex(brokenChoices[round]);
      dialog.choices()->checkersBox()->setValue(checkers);
    }
    QVERIFY2(ReadAll(config_).contains(skip ? "skipUnchanged=true" : "skipUnchanged=false"),
             ReadAll(config_).constData());
    MainDialog next;
    QCOMPARE(next.skipUnchangedBox()->isChecked(), skip);
    QCOMPARE(next.choices()->brokenBox()->currentIndex(), brokenChoices[round]);
    QCOMPARE(next.choices()->salvageFolder(), folder);
    QCOMPARE(next.choices()->checkersBox()->value(), checkers);
  }
}

// A store that cannot serve (which ones: the store's tests): one line in the report, the files checked all
// the same, the store byte for byte as it was. One that fails during the run: said before the summary.
void RememberTest::aStoreThatCannotServeIsLeftAlone() {
  Scratch dir;
  const fs::path file = WriteStream(dir / "f.vlk", 20, 4);
  const QByteArray garbage(5000, 'x');
  fs::create_directories(fs::path(db_).parent_path());
  fs::remove(db_ + "-wal");
  std::ofstream(db_, std::ios::binary | std::ios::trunc).write(garbage.constData(), garbage.size());
  QString report;
  Run(file, true, report);
  QVERIFY2(
      report.contains("Cannot use the store of checks " + QString::fromStdString(db_) + ": not a store") &&
          report.contains("this run is not recorded and no file is skipped.") &&
          report.endsWith("Scanned 1 file, no errors found."),
      qPrintable(report));
  QCOMPARE(ReadAll(db_), garbage);
  fs::remove(db_);
  Run(file, false, report);
  qputenv("VELKSCAN_FAIL_WRITE", "checks.sqlite-wal");
  Run(file, false, report);
  qunsetenv("VELKSCAN_FAIL_WRITE");
  QVERIFY2(report.contains("The store of checks " + QString::fromStdString(db_) + " failed (") &&
               report.contains("): the results of this run are not all recorded.\n") &&
               report.endsWith("Scanned 1 file, no errors found."),
           qPrintable(report));
  QCOMPARE(StoreRows(db_), 1);
}

// Closed during a run, the window commits the checks made and closes the store: no log is left beside it.
void RememberTest::aCloseDuringARunCommitsWhatWasChecked() {
  Scratch dir;
  fs::remove(db_);
  const fs::path master = WriteStream(dir / "master.bin", 12, 5, true);
  fs::create_directories(dir / "lib");
  for (int i = 0; i < 400; ++i)
    fs::copy_file(master, dir / "lib" / ("f" + std::to_string(1000 + i) + ".vlk"));
  MainDialog dialog({(dir / "lib").string()});
  dialog.job().settings.idlePriority = false;
  std::atomic<int> repaired{0};
  dialog.job().hooks.beforeRewrite = [&](TextView, const FileOutcome&) {
    ++repaired;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
  };
  VELK_SHOW(dialog);
  dialog.choices()->brokenBox()->setCurrentIndex(Choices::kRepair);  // whatever an earlier test left
  QTest::mouseClick(dialog.button(), Qt::LeftButton);
  QTRY_VERIFY(repaired.load() > 20);
  dialog.close();
  QVERIFY(!dialog.job().running());
  QVERIFY2(repaired.load() < 400, "the job ended before the close");
  QVERIFY(!fs::exists(db_ + "-wal"));
  // Every file repaired is recorded (the one the close came in finishes first).
  QCOMPARE(StoreRows(db_), static_cast<int64_t>(repaired.load()));
}

// A change the frame check cannot see (a byte of the tag, times kept) is reported, skipping unchanged files
// or not, until the report's menu accepts it (every run until then, and after: the store's tests).
void RememberTest::aSilentChangeStaysFlaggedUntilAccepted() {
  Scratch dir;
  gen::StreamOptions options;
  options.frameCount = 20, options.seed = 8, options.tag = gen::TagKind::Id3v2;
  gen::GeneratedStream stream = gen::GenerateStream(options);
  const fs::path file = dir / "t.vlk";
  gen::WriteFile(file, stream.bytes);
  QString report;
  Run(file, false, report);
  const auto times = fs::last_write_time(file);
  stream.bytes[static_cast<std::size_t>(stream.headerPos) / 2] ^= 0x10;
  gen::WriteFile(file, stream.bytes);
  fs::last_write_time(file, times);
  const QString changed = QString::fromStdString(file.string()) + ": changed since the check of ";
  QString accepted;
  Run(file, true, report, [&](MainDialog& dialog) {
    dialog.acceptAction()->trigger();
    if (auto* box = dialog.findChild<QMessageBox*>("acceptedBox")) accepted = box->text();
  });
  QVERIFY2(report.contains(changed) && accepted.endsWith("t.vlk: its content now is accepted.\n"),
           qPrintable(report));
}

QTEST_MAIN(RememberTest)
#include "remember_test.moc"
